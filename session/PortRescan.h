// A safety net under the system's port notices: the port list read again every few seconds,
// its differences from what was last known handed on as arrival and removal notices.
//
// Some serial drivers announce their ports only to those who registered for them, and a notice
// can be lost; a front end that waits on notices alone would then never see that card. The
// window and the station both pass every notice they get through Noted, so what the re-scan
// knows follows the notices and it repeats none of them, and call Due on every round of their
// loop; Due reads the list only once a period has passed (reading it is cheap: on Windows one
// registry key).
//
// The rescan keeps no clock: the front end passes the time with each call.
// Threads: any one thread (the front end's user-interface thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "platform/DeviceNotifier.h"

class tPortRescan {
 public:
  using tClock = std::chrono::steady_clock;
  // The numbers of the ports present now.
  using tLister = std::function<std::vector<int32_t>()>;
  // Long enough that the list is read rarely, short enough that a missed notice costs a card
  // seconds, well inside the time an operator waits for a card to be taken.
  static constexpr std::chrono::milliseconds DefaultPeriod{3000};

  // Lister empty: the machine's port list (tPortCatalogue::PortNumbers).
  explicit tPortRescan(tLister Lister = {}, std::chrono::milliseconds Period = DefaultPeriod);

  // Takes the ports present now as known, without telling them: the front end has just read
  // the list itself. The next reading comes a period after Now.
  void Start(tClock::time_point Now);
  // Takes the ports as known (they came from the front end's own reading of the list).
  void Known(const std::vector<int32_t>& Ports);
  // A notice the system delivered: the rescan follows it and does not tell it again. False
  // when it is no news (the rescan told it already, or a removal of a port not known), which
  // a front end that must not act twice on one change may ignore.
  bool Noted(const tDeviceChange& Change);
  // When a period has passed since the last reading (or no reading was taken yet): reads the
  // list and returns what changed since, removals first, each port once, in port order; empty
  // otherwise.
  std::vector<tDeviceChange> Due(tClock::time_point Now);

  std::chrono::milliseconds Period() const { return fPeriod; }
  // How many readings found a change no notice had told (for -v and the log).
  uint64_t Caught() const { return fCaught; }

 private:
  tLister fLister;
  std::chrono::milliseconds fPeriod;
  std::set<int32_t> fKnown;
  std::optional<tClock::time_point> fLastReading;
  uint64_t fCaught = 0;
};
