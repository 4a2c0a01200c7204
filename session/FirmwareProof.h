// What a new firmware has to show after its download before the update counts as done: the
// card back on its link and identified (the update flow sees to that), then for a settling
// time an answer to every keep-alive, and its temperature and supply voltages within the
// limits a release gives. A firmware that fails this is rolled back by the update flow
// (session/CardFlows.h) to the firmware kept before the download.
//
// Threads: user-interface thread, like the session the watch works on.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>

#include "hostlink/OrvaneHost.h"
#include "session/Flow.h"

class tCardSession;

// Limits of the card's readings; a limit not given is not checked.
struct tHealthLimits {
  std::optional<double> TemperatureMin, TemperatureMax;  // degrees C
  // Per supply voltage, by its index in the card's Voltages report.
  std::array<std::optional<double>, OrvaneVoltageCount> VoltageMin{}, VoltageMax{};  // volts
  bool Empty() const;
};

struct tFirmwareProof {
  bool Rollback = true;  // restore the kept firmware when the proof fails
  // How long the card must answer every keep-alive after it came back (0: not watched).
  std::chrono::milliseconds Settle{10000};
  tHealthLimits Limits;
};

// Why the readings are outside Limits ("supply voltage 0 is 2.5 V, below its limit 4.5 V"),
// each reading out of its limits named; empty when every one is within them.
std::string LimitsFailure(const tHealthLimits& Limits, double Temperature,
                          const std::array<float, OrvaneVoltageCount>& Voltages);

// The watch on the identified card of the session's open link: for Proof.Settle it sends a
// keep-alive every ProbePeriod and each must be answered within ProbeAnswer (the link's own
// keep-alive count must not grow either); with limits, the card is asked for its temperature
// and voltages at the start and its latest readings must be within them at the end (waiting
// at most ReadingsLimit for them). fk_Verify with the reason otherwise.
inline constexpr std::chrono::milliseconds ProbePeriod{250};
inline constexpr std::chrono::milliseconds ProbeAnswer{1000};
inline constexpr std::chrono::milliseconds ReadingsLimit{3000};
tFlow SettleFlow(tCardSession& Session, tFirmwareProof Proof);
