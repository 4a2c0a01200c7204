// Runs the caddis-card-sim program for a test, in its own runtime folder, and always ends it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/HostTestSupport.h"

extern char** environ;

// Points this process's runtime, config and state folders (and the service record) at a
// temporary folder while it lives, so the port catalogue and the simulator meet there and
// nothing of the user's is touched.
class tTestRuntime {
 public:
  std::string PortLink(int Com) const {
    return Folder.Path + "/run/ports/COM" + std::to_string(Com);
  }

  tTempFolder Folder;

 private:
  tScopedEnv fRuntime{"CADDIS_RUNTIME_DIR", Folder.Path + "/run"};
  tScopedEnv fConfig{"CADDIS_CONFIG_DIR", Folder.Path + "/config"};
  tScopedEnv fState{"XDG_STATE_HOME", Folder.Path + "/state"};
  tScopedEnv fRecord{"CADDIS_RECORD", Folder.Path + "/state/caddis/service-record.jsonl"};
};

// Polls Done every 10 ms for up to Limit; true when it came true.
template <typename Pred>
bool WaitFor(Pred Done, std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
  const auto Until = std::chrono::steady_clock::now() + Limit;
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Starts Program with Args, its standard output in OutPath and its standard error in ErrPath
// (in OutPath too when ErrPath is empty); its process ID, or -1 when it could not start.
inline pid_t SpawnProgram(const std::string& Program, const std::vector<std::string>& Args,
                          const std::string& OutPath, const std::string& ErrPath = {}) {
  std::vector<std::string> Argv{Program};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  std::vector<char*> Pointers;
  for (auto& A : Argv)
    Pointers.push_back(A.data());
  Pointers.push_back(nullptr);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  const int Flags = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&Actions, 1, OutPath.c_str(), Flags, 0644);
  if (ErrPath.empty())
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&Actions, 2, ErrPath.c_str(), Flags, 0644);
  pid_t Pid = -1;
  if (posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, Pointers.data(), environ) != 0)
    Pid = -1;
  posix_spawn_file_actions_destroy(&Actions);
  return Pid;
}

class tSimProcess {
 public:
  // Starts the simulator with Args; its output goes to a file in the runtime's folder.
  tSimProcess(const tTestRuntime& Runtime, const std::vector<std::string>& Args)
      : OutputPath(Runtime.Folder.Path + "/sim-" + std::to_string(++Count) + ".out"),
        Pid(SpawnProgram(SIM_PATH, Args, OutputPath)) {}
  ~tSimProcess() { Stop(); }

  // Ends the simulator with SIGTERM (SIGKILL if it does not end within 5 s); its exit code,
  // or -1 when it had to be killed or did not run.
  int Stop() {
    if (Pid <= 0) return ExitCode;
    kill(Pid, SIGTERM);
    int Status = 0;
    const bool Ended =
        WaitFor([&] { return waitpid(Pid, &Status, WNOHANG) == Pid; }, std::chrono::seconds(5));
    if (!Ended) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
    }
    Pid = -1;
    ExitCode = Ended && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return ExitCode;
  }
  // Ends the simulator at once with SIGKILL: nothing of its own clean-up runs.
  void Kill() {
    if (Pid <= 0) return;
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
  }
  // Waits for the simulator to end by itself; its exit code, or -1.
  int Wait() {
    int Status = 0;
    if (Pid <= 0 || !WaitFor([&] { return waitpid(Pid, &Status, WNOHANG) == Pid; })) return -1;
    Pid = -1;
    return ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  std::string Output() const { return FileText(OutputPath); }
  bool Running() const { return Pid > 0; }

 private:
  static inline int Count = 0;
  std::string OutputPath;
  pid_t Pid = -1;
  int ExitCode = -1;
};
