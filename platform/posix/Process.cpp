#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

class tPosixChild : public tChildProcess {
 public:
  tPosixChild(pid_t Pid, int Output, int Error) : fId(Pid), fPid(Pid), fPipes{Output, Error} {}
  ~tPosixChild() override {
    Wait();
    for (int& Pipe : fPipes)
      if (Pipe >= 0) close(Pipe);
  }

  long ReadOutput(tStream Stream, char* Buffer, std::size_t Size) override {
    for (;;) {
      const ssize_t Got = read(fPipes[Stream], Buffer, Size);
      if (Got >= 0) return static_cast<long>(Got);
      if (errno != EINTR) return -1;
    }
  }

  void Stop(tStop How) override {
    if (fPid > 0) kill(fPid, How == ps_Interrupt ? SIGINT : SIGTERM);
  }

  int Wait() override {
    if (fPid <= 0) return fStatus;
    int Status = 0;
    pid_t Ended;
    while ((Ended = waitpid(fPid, &Status, 0)) < 0 && errno == EINTR) {
    }
    fPid = -1;
    if (Ended < 0)
      fStatus = -1;
    else if (WIFEXITED(Status))
      fStatus = WEXITSTATUS(Status);
    else if (WIFSIGNALED(Status))
      fStatus = 128 + WTERMSIG(Status);
    return fStatus;
  }

  unsigned long Id() const override { return static_cast<unsigned long>(fId); }

 private:
  pid_t fId;
  pid_t fPid;  // -1 once waited for
  int fPipes[2];
  int fStatus = -1;
};

}  // namespace

std::unique_ptr<tChildProcess> tChildProcess::Start(const std::vector<std::string>& Argv,
                                                    std::string& Error) {
  if (Argv.empty()) {
    Error = "cannot start a program without a name";
    return nullptr;
  }
  int Out[2], Err[2];
  if (pipe2(Out, O_CLOEXEC) != 0) {
    Error = "cannot start " + Argv[0] + ": " + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(Err, O_CLOEXEC) != 0) {
    Error = "cannot start " + Argv[0] + ": " + std::strerror(errno);
    close(Out[0]);
    close(Out[1]);
    return nullptr;
  }
  std::vector<char*> Pointers;
  for (const std::string& Word : Argv)
    Pointers.push_back(const_cast<char*>(Word.c_str()));
  Pointers.push_back(nullptr);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
  posix_spawn_file_actions_adddup2(&Actions, Err[1], 2);
  pid_t Pid = -1;
  const int Failed =
      posix_spawn(&Pid, Argv[0].c_str(), &Actions, nullptr, Pointers.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(Out[1]);
  close(Err[1]);
  if (Failed != 0) {
    close(Out[0]);
    close(Err[0]);
    Error = "cannot start " + Argv[0] + ": " + std::strerror(Failed);
    return nullptr;
  }
  return std::make_unique<tPosixChild>(Pid, Out[0], Err[0]);
}

tFileLock::tFileLock(std::string Path) : fPath(std::move(Path)) {}

tFileLock::~tFileLock() {
  Release();
}

bool tFileLock::TryTake(std::string& Error) {
  if (Held()) return true;
  const int File = open(fPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (File < 0) {
    Error = "cannot open " + fPath + ": " + std::strerror(errno);
    return false;
  }
  if (flock(File, LOCK_EX | LOCK_NB) != 0) {
    const int Code = errno;
    close(File);
    if (Code != EWOULDBLOCK) Error = "cannot lock " + fPath + ": " + std::strerror(Code);
    return false;
  }
  fHandle = File;
  return true;
}

void tFileLock::Release() {
  if (!Held()) return;
  flock(static_cast<int>(fHandle), LOCK_UN);
  close(static_cast<int>(fHandle));
  fHandle = Closed;
}
