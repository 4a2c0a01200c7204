// Asking every port for a card (--all): the ports are probed side by side, at most a few at
// once, each for a bounded time and all of them within an overall bound, so a port whose open
// blocks for seconds (a Bluetooth port reaching for its far device, a driver that hangs) holds
// up neither the others nor the command. Ports the system names as Bluetooth are not opened.
//
// Threads: the caller's; the prober runs the probes in the background.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/PortCatalogue.h"

enum tProbeResult : uint8_t {
  pr_Card,      // a card answered
  pr_NoCard,    // the probe ended without a card (or could not start)
  pr_Skipped,   // not probed: a Bluetooth port
  pr_TimedOut,  // given up: the probe outlasted its bound, or was not started within the overall
                // one
};

struct tProbeBounds {
  std::size_t MaxAtOnce = 8;
  std::chrono::milliseconds PerPort{10'000};
  std::chrono::milliseconds Overall{30'000};
};

// What runs the probes, each in the background.
class tProber {
 public:
  virtual ~tProber() = default;
  // Starts probing Port; false when the probe cannot start.
  virtual bool Start(int32_t Port) = 0;
  // Waits at most Limit for a probe to end: true with its port and whether a card answered.
  virtual bool Next(std::chrono::milliseconds Limit, int32_t& Port, bool& Card) = 0;
  // Gives up on the probe of Port; its end is not waited for.
  virtual void Stop(int32_t Port) = 0;
  // The steady clock the bounds are counted on.
  virtual std::chrono::steady_clock::time_point Now() = 0;
  // True when the operator asked the command to stop: no more probes start.
  virtual bool Stopping() { return false; }
};

struct tProbeOutcome {
  int32_t Port = 0;
  tProbeResult Result = pr_NoCard;
};

// Whether --all leaves Port alone.
bool SkipWhenProbing(const tPortCatalogue::tPort& Port);

// Probes the ports of Ports (less those SkipWhenProbing names) within Bounds; the outcomes in
// Ports' order. Note gets a line for every port skipped or given up ("COM7 skipped: a
// Bluetooth port").
std::vector<tProbeOutcome> ProbePorts(const std::vector<tPortCatalogue::tPort>& Ports,
                                      tProber& Prober, const tProbeBounds& Bounds,
                                      const std::function<void(const std::string&)>& Note = {});
