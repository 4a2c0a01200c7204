// Seeing a card that was told to restart actually leave its link.
//
// A restarting card leaves in one of two ways: its port goes away (an adapter on the card
// loses power; a simulated card unregisters), possibly coming back as another device, or,
// where the port stays, the card stops answering on it for a while. Only after one of these
// may a restart be reported as done once the card is back: a Restart lost on its way, or a
// card that ignores it, would otherwise look exactly like a quick restart.
//
// Use: make the watch before the Restart is sent (it records the device behind the port),
// send the Restart and close the link, then call Step on every main-loop tick. Where the
// port stays, Step opens it and sends a keep-alive every ProbePeriod; SilenceLimit without
// an answer counts as leaving. User-interface thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class tOrvaneHost;

class tCardLeaveWatch {
 public:
  using tClock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds ProbePeriod{100};
  static constexpr std::chrono::milliseconds SilenceLimit{500};

  explicit tCardLeaveWatch(int32_t aComPort);
  ~tCardLeaveWatch();
  tCardLeaveWatch(const tCardLeaveWatch&) = delete;
  tCardLeaveWatch& operator=(const tCardLeaveWatch&) = delete;

  void Step(tClock::time_point Now);
  bool Left() const { return !fHow.empty(); }
  // How the card was seen to leave ("its port went away", "it fell silent"); empty before.
  const std::string& How() const { return fHow; }

 private:
  void Leave(const std::string& How);

  int32_t ComPort;
  std::string Device;  // the device behind the port when the watch began
  std::string fHow;
  std::unique_ptr<tOrvaneHost> Probe;
  bool Watching = false;  // the first Step has run
  uint32_t RepliesSeen = 0;
  tClock::time_point LastAnswer{};
  tClock::time_point NextProbe{};
};
