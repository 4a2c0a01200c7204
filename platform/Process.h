// Other programs started by this one, and a lock several programs of this user share.
//
// A child program runs with its standard output and error each on a pipe to this program and
// its standard input as this program's; the command line runs itself once per card this way
// and reads what each child reports. Either stream is read with a blocking call, so each is
// read on a thread of its own.
//
// Threads: Start, Wait, Stop and the destructor on the owner's thread; ReadOutput on one
// reader thread per stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class tChildProcess {
 public:
  enum tStream { ps_Output, ps_Error };
  enum tStop { ps_Interrupt, ps_Terminate };

  // Starts Argv[0] (a path) with the arguments after it. Null with Error set ("cannot start
  // <program>: <reason>") when it could not be started.
  static std::unique_ptr<tChildProcess> Start(const std::vector<std::string>& Argv,
                                              std::string& Error);
  // Waits for the child to end when it has not been waited for (it is never left behind).
  virtual ~tChildProcess() = default;
  tChildProcess(const tChildProcess&) = delete;
  tChildProcess& operator=(const tChildProcess&) = delete;

  // Reads what the child wrote to Stream: up to Size bytes, at least one; 0 once the child
  // has closed it (ended), -1 on a failure.
  virtual long ReadOutput(tStream Stream, char* Buffer, std::size_t Size) = 0;
  // Asks the child to stop as the operator would (Ctrl-C, or a termination request); the
  // child ends its work cleanly and exits 130 or 143.
  virtual void Stop(tStop How) = 0;
  // Waits for the child to end: its exit status, 128 + the signal that ended it, or -1.
  virtual int Wait() = 0;
  // The system's number for the child.
  virtual unsigned long Id() const = 0;

 protected:
  tChildProcess() = default;
};

// An exclusive lock on a file, held by one program at a time among those of this user that
// take it, and released when its holder ends however it ends.
class tFileLock {
 public:
  // Path is created when missing (its folder must exist).
  explicit tFileLock(std::string Path);
  ~tFileLock();
  tFileLock(const tFileLock&) = delete;
  tFileLock& operator=(const tFileLock&) = delete;

  // Takes the lock without waiting: false when another holds it, or with Error set (the
  // system's text) when the file cannot be opened.
  bool TryTake(std::string& Error);
  void Release();
  bool Held() const { return fHandle != Closed; }

 private:
  static constexpr std::intptr_t Closed = -1;
  std::string fPath;
  std::intptr_t fHandle = Closed;
};
