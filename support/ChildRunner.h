// Child programs and their output as one stream of happenings: each line a child writes to its
// standard output or error, and its end with its exit status, in the order they come. The
// command line runs itself once per card this way, and its station once per step of a card.
//
// Threads: the readers run on threads of their own (two per child); everything else on the
// owner's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Process.h"

class tChildRunner {
 public:
  struct tHappening {
    enum tKind { ch_Output, ch_ErrorLine, ch_Ended } Kind;
    int32_t Port;
    std::string Text;  // a line of the child's standard output or error
    int Exit = -1;     // ch_Ended
  };

  tChildRunner() = default;
  ~tChildRunner();
  tChildRunner(const tChildRunner&) = delete;
  tChildRunner& operator=(const tChildRunner&) = delete;

  // Starts a child for Port with Argv. False with Error when it could not be started.
  bool Start(int32_t Port, const std::vector<std::string>& Argv, std::string& Error);
  // Waits up to Limit for the next happening; false when none came.
  bool Next(tHappening& Happening, std::chrono::milliseconds Limit);
  // Asks every running child to stop.
  void StopAll(tChildProcess::tStop How);
  // Asks the child for Port, if it runs, to stop.
  void Stop(int32_t Port, tChildProcess::tStop How);
  std::size_t Running() const { return fChildren.size(); }

 private:
  struct tChild {
    std::unique_ptr<tChildProcess> Process;
    std::thread Readers[2];
    int Open = 2;  // streams not yet at their end
  };
  void Read(int32_t Port, tChildProcess* Process, tChildProcess::tStream Stream);

  std::map<int32_t, tChild> fChildren;
  std::mutex fLock;
  std::condition_variable fArrived;
  std::deque<tHappening> fQueue;  // guarded by fLock
};

// How the children are asked to stop when this program was asked with Reason (a stop reason
// of platform/Console.h): a termination request is passed on as one; anything else (Ctrl-C,
// Ctrl-Break) as Ctrl-C.
tChildProcess::tStop ChildStopFor(int Reason);
