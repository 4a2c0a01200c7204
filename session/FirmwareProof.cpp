#include "session/FirmwareProof.h"

#include <algorithm>
#include <cstdio>

#include "session/CardSession.h"

namespace {

using tClock = std::chrono::steady_clock;

std::string Amount(double Value, const char* Unit) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f %s", Value, Unit);
  return Text;
}

// One reading against its limits: "" within them, else what is wrong with it.
std::string Outside(const std::string& What, double Value, const std::optional<double>& Min,
                    const std::optional<double>& Max, const char* Unit) {
  if (Min && Value < *Min)
    return What + " is " + Amount(Value, Unit) + ", below its limit " + Amount(*Min, Unit);
  if (Max && Value > *Max)
    return What + " is " + Amount(Value, Unit) + ", above its limit " + Amount(*Max, Unit);
  return {};
}

std::string SecondsOf(tClock::duration Span) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", std::chrono::duration<double>(Span).count());
  return Text;
}

}  // namespace

bool tHealthLimits::Empty() const {
  auto None = [](const auto& Limits) {
    return std::none_of(Limits.begin(), Limits.end(), [](const auto& L) { return L.has_value(); });
  };
  return !TemperatureMin && !TemperatureMax && None(VoltageMin) && None(VoltageMax);
}

std::string LimitsFailure(const tHealthLimits& Limits, double Temperature,
                          const std::array<float, OrvaneVoltageCount>& Voltages) {
  std::string Failures;
  auto Add = [&](const std::string& Text) {
    if (!Text.empty()) Failures += (Failures.empty() ? "" : ", ") + Text;
  };
  Add(Outside("the temperature", Temperature, Limits.TemperatureMin, Limits.TemperatureMax, "C"));
  for (int i = 0; i < OrvaneVoltageCount; ++i)
    Add(Outside("supply voltage " + std::to_string(i), Voltages[i], Limits.VoltageMin[i],
                Limits.VoltageMax[i], "V"));
  return Failures;
}

tFlow SettleFlow(tCardSession& Session, tFirmwareProof Proof) {
  if (!Session.Host) co_return tFlowOutcome::Failed(fk_Verify, "no link to the card");
  tOrvaneHost& Host = *Session.Host;
  auto HungUp = [&] { return Host.ComPort && Host.ComPort->HungUp(); };
  const bool Readings = !Proof.Limits.Empty();
  constexpr uint32_t Wanted = or_Temperature | or_Voltages;
  const auto Start = tClock::now();
  if (Readings) {
    // Only readings the card gives from now on count: its new firmware's.
    Host.ReportsReceived &= ~Wanted;
    Host.SendHeaders({tHostId::Temperature, tHostId::Voltages});
  }
  // The watch's probes are the only keep-alives meanwhile: one of the host's own going out
  // while a probe awaits its answer would count as unanswered though the card answers both.
  struct tOwnKeepAlive {
    tOrvaneHost& Host;
    bool Active;
    ~tOwnKeepAlive() { Host.AYTActive = Active; }
  } Restore{Host, Host.AYTActive};
  Host.AYTActive = false;
  // Counted from the first probe on: a keep-alive of the host's still out when the watch
  // begins is not the new firmware's to answer.
  std::optional<uint32_t> Unanswered;
  const auto End = Start + Proof.Settle;
  while (tClock::now() < End) {
    const uint32_t Replies = Host.GetAYTReplies();
    Host.NoteKeepAliveSent();
    Host.SendHeader(tHostId::AYT);
    if (!Unanswered) Unanswered = Host.LinkHealth().KeepAlivesUnanswered;
    const tLoopEnd Answered =
        co_await Until([&] { return Host.GetAYTReplies() != Replies || HungUp(); }, ProbeAnswer);
    if (Answered == le_Stopped) co_return tFlowOutcome::Interrupted();
    const std::string After = " " + SecondsOf(tClock::now() - Start) + " s after it came back";
    if (HungUp()) co_return tFlowOutcome::Failed(fk_Verify, "the card's port hung up" + After);
    if (Answered != le_Done || Host.LinkHealth().KeepAlivesUnanswered != *Unanswered)
      co_return tFlowOutcome::Failed(fk_Verify, "the card left a keep-alive unanswered" + After);
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - tClock::now());
    if (Left <= std::chrono::milliseconds::zero()) break;
    if (co_await For(std::min(Left, ProbePeriod)) == le_Stopped)
      co_return tFlowOutcome::Interrupted();
  }
  if (!Readings) co_return tFlowOutcome::Success();
  const tLoopEnd Read = co_await Until(
      [&] { return (Host.ReportsReceived & Wanted) == Wanted || HungUp(); },
      std::max<std::chrono::milliseconds>(
          ReadingsLimit -
              std::chrono::duration_cast<std::chrono::milliseconds>(tClock::now() - Start),
          std::chrono::milliseconds::zero()));
  if (Read == le_Stopped) co_return tFlowOutcome::Interrupted();
  if ((Host.ReportsReceived & Wanted) != Wanted)
    co_return tFlowOutcome::Failed(fk_Verify,
                                   "the card gave no temperature and voltage readings within " +
                                       SecondsOf(ReadingsLimit) + " s after it came back");
  if (const std::string Failures = LimitsFailure(Proof.Limits, Host.Temperature, Host.Voltages);
      !Failures.empty())
    co_return tFlowOutcome::Failed(fk_Verify,
                                   "the card's readings fail the release's limits: " + Failures);
  co_return tFlowOutcome::Success();
}
