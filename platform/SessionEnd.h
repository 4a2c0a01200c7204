// The end of the user's session (shutdown, restart, log-off) as the system announces it to a
// program, and the program's request to hold it off while an update runs.
//
//   - Windows asks every top-level window (WM_QUERYENDSESSION) whether the session may end,
//     then tells it that it ends (WM_ENDSESSION) and ends the program as soon as the window has
//     answered. A program that loads user32.dll is never told through its console handler, so
//     both programs keep a hidden top-level window of their own, on a thread of its own, for
//     these messages. While a hold reason is set, the window refuses the end and gives the
//     reason (ShutdownBlockReasonCreate), which Windows shows beside the program's name.
//   - Linux ends a session with SIGTERM, which the programs' stop handling takes already:
//     nothing is watched there.
#pragma once

#include <functional>
#include <memory>
#include <string>

class tSessionEndWatch {
 public:
  // OnEnd runs on the watch's own thread when the session ends; the program is ended as soon
  // as it returns, so it does what must be done first (its waits bounded).
  explicit tSessionEndWatch(std::function<void()> OnEnd);
  ~tSessionEndWatch();
  tSessionEndWatch(const tSessionEndWatch&) = delete;
  tSessionEndWatch& operator=(const tSessionEndWatch&) = delete;

  // Any thread. A reason: the end of the session is refused with it; empty: allowed again.
  void Hold(const std::string& Reason);
  // True where the system's announcements are watched (Windows, once its window exists).
  bool Watching() const;

 private:
  struct tImpl;
  std::unique_ptr<tImpl> Impl;
};
