// Seeing a card that was told to restart actually leave its link.
//
// A restarting card leaves in one of two ways: its port goes away (an adapter on the card
// loses power; a simulated card unregisters), possibly coming back as another device, or,
// where the port stays, its microcontroller stops answering for as long as it takes to start
// again, which may be only a few tens of milliseconds. Only after one of these may a restart
// be reported as done once the card is back: a Restart lost on its way, or a card that
// ignores it, would otherwise look exactly like a quick restart.
//
// The watch keeps the link open and probes the card with keep-alives, one at a time: a probe
// goes out ProbePeriod after the one before, or as soon as that one is answered when its
// answer takes longer. Before the Restart, CalibrationProbes answered probes measure the
// link's round trip (the wire, the adapters and the card together). The Restart then leaves
// with a probe right behind it in the same write, so a card that restarts at once never
// answers that probe. From then on a probe left unanswered for longer than SilenceLimit()
// (the round trip plus a margin of the round trip again, at least MinMargin) counts as the
// card leaving, whether its microcontroller drops what arrives while it starts or answers it
// late. Nothing assumes the card to be slower than the wire.
//
// Nor that the tool itself never stalls: silence counts only while the tool was listening.
// A gap between two steps longer than StallLimit (the machine was busy, the program was
// stopped) is time the tool did not run: a probe's deadline that passed then proves nothing,
// and an answer taken late after it is not a late answer. A card that restarted during such a
// stall lost the probe for good, so the silence that follows, with the tool listening, still
// shows it. StallLimit is no longer than MinMargin, so a gap counted as listening can never
// make an answer of a card that stayed look overdue.
//
// Use: make the watch on the open link before the Restart (it notes the device behind the
// port), call Calibrate on every main-loop tick until it is true, SendRestart, then Step on
// every tick until Left() or the time given to the card has passed. The host's own
// keep-alive must be off meanwhile (its answers would count for the probes'). The times
// given are the host's clock (tOrvaneHost::Clock): the answers are timed by it.
// User-interface thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class tOrvaneHost;

class tCardLeaveWatch {
 public:
  using tClock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds ProbePeriod{20};
  static constexpr std::chrono::milliseconds MinMargin{20};
  static constexpr std::chrono::milliseconds StallLimit{20};
  static constexpr int CalibrationProbes = 4;
  // How long the first probe waits for the answer to a keep-alive the host sent before (that
  // answer would otherwise be taken for the probe's).
  static constexpr std::chrono::milliseconds SettleLimit{1000};

  tCardLeaveWatch(tOrvaneHost& aHost, int32_t aComPort);

  // Before the Restart: probes the card and measures the answers. True once
  // CalibrationProbes of them have come.
  bool Calibrate(tClock::time_point Now);
  // Sends the Restart with a probe right behind it in one write.
  void SendRestart(tClock::time_point Now);
  // After SendRestart: takes the probe's answer or notices that it is overdue, notices a port
  // that went away, and sends the next probe when it is due.
  void Step(tClock::time_point Now);

  bool Left() const { return !fHow.empty(); }
  // How the card was seen to leave ("its port went away", "it fell silent"); empty before.
  const std::string& How() const { return fHow; }
  // The longest round trip measured, and the silence that counts as leaving.
  tClock::duration RoundTrip() const { return fRoundTrip; }
  tClock::duration SilenceLimit() const { return fSilenceLimit; }

 private:
  void SendProbe(tClock::time_point Now);
  // A probe has just gone out.
  void Sent(tClock::time_point Now);
  // No probe waits for its answer and the next one is due.
  bool ProbeDue(tClock::time_point Now) const;
  // True when the probe outstanding has been answered (it is then no longer outstanding);
  // Took is how long the answer took.
  bool TakeAnswer(tClock::time_point Now, tClock::duration& Took);
  void Leave(const std::string& How);

  tOrvaneHost& Host;
  int32_t ComPort;
  std::string Device;  // the device behind the port when the watch began
  std::string fHow;
  uint32_t RepliesSeen = 0;
  int Measured = 0;
  std::optional<tClock::time_point> Started;    // the first Calibrate
  std::optional<tClock::time_point> SentAt;     // the probe that waits for its answer
  std::optional<tClock::time_point> NextProbe;  // empty: the first probe, due at once
  std::optional<tClock::time_point> LastStep;   // the step before, to tell a stall
  tClock::duration Listened{};  // since SentAt, with the tool running
  bool StalledSinceSent = false;
  tClock::duration fRoundTrip{};
  tClock::duration fSilenceLimit{};
};
