// The main loop without a window: the window's 10 ms timer in plain-loop form, on the
// user-interface thread. Every tick it services the host object's receive queue and
// keep-alive, serves the hand-offs waiting from worker threads (a port's I/O thread
// reporting through DisplayMessageProc), then runs the caller's own step. Between ticks it
// waits for hand-offs rather than sleeping, so a worker never waits long.
//
// An event-driven loop also handles received frames as soon as the port's I/O thread has
// stored them, between ticks: a reply is answered at once instead of on the next tick, so a
// file transfer runs at the wire's pace. The keep-alive and the steps still count ticks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

class tOrvaneHost;

enum tLoopEnd { le_Done, le_TimedOut, le_Stopped };

class tHostLoop {
 public:
  static constexpr std::chrono::milliseconds Tick{10};

  // Host may be null (a loop that only serves hand-offs and steps).
  explicit tHostLoop(tOrvaneHost* Host, bool EventDriven = false)
      : fHost(Host), fEventDriven(EventDriven) {}

  // Ticks until Done() holds (checked after every tick's work), Limit has passed, or a stop
  // was requested (RequestLoopStop).
  tLoopEnd RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit,
                    const std::function<void()>& Step = {});
  tLoopEnd RunFor(std::chrono::milliseconds Span, const std::function<void()>& Step = {});

 private:
  void WaitForNextTick(std::chrono::steady_clock::time_point Next);

  tOrvaneHost* fHost;
  bool fEventDriven;
};

// A stop request (Ctrl-C, SIGTERM) ends every running loop with le_Stopped instead of
// killing the program, so ports are closed and updates released properly. Safe to call from
// a signal handler; Signal is kept for the exit status.
void RequestLoopStop(int Signal);
bool LoopStopRequested();
int LoopStopSignal();
// For tests: forgets a stop request.
void ClearLoopStop();

// Seconds as a loop's limit.
std::chrono::milliseconds Seconds(double Value);
