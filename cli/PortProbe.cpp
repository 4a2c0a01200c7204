#include "cli/PortProbe.h"

#include <algorithm>
#include <map>

#include "serial/ComPorts.h"

namespace {

// The longest single wait for a probe's end: a stop request is looked at this often.
constexpr std::chrono::milliseconds WaitSlice{100};

}  // namespace

bool SkipWhenProbing(const tPortCatalogue::tPort& Port) {
  return Port.Bluetooth;
}

std::vector<tProbeOutcome> ProbePorts(const std::vector<tPortCatalogue::tPort>& Ports,
                                      tProber& Prober, const tProbeBounds& Bounds,
                                      const std::function<void(const std::string&)>& Note) {
  using tClock = std::chrono::steady_clock;
  const auto Say = [&Note](int32_t Port, const std::string& Text) {
    if (Note) Note(ComPortName(Port) + " " + Text);
  };
  std::vector<tProbeOutcome> Outcomes;
  std::vector<std::size_t> Waiting;  // indexes into Outcomes, in order
  for (const auto& Port : Ports) {
    Outcomes.push_back({Port.Number, pr_NoCard});
    if (SkipWhenProbing(Port)) {
      Outcomes.back().Result = pr_Skipped;
      Say(Port.Number, "skipped: a Bluetooth port");
    } else {
      Waiting.push_back(Outcomes.size() - 1);
    }
  }
  const std::size_t AtOnce = std::max<std::size_t>(Bounds.MaxAtOnce, 1);
  const tClock::time_point End = Prober.Now() + Bounds.Overall;
  std::map<int32_t, std::pair<std::size_t, tClock::time_point>> Running;  // port: index, end
  std::size_t Next = 0;
  const auto GiveUp = [&](int32_t Port, std::size_t Index) {
    Prober.Stop(Port);
    Outcomes[Index].Result = pr_TimedOut;
    Say(Port, "given up: no answer in time");
  };
  for (;;) {
    tClock::time_point Now = Prober.Now();
    const bool Stopping = Prober.Stopping();
    while (!Stopping && Running.size() < AtOnce && Next < Waiting.size() && Now < End) {
      const std::size_t Index = Waiting[Next++];
      const int32_t Port = Outcomes[Index].Port;
      if (Prober.Start(Port)) Running[Port] = {Index, std::min(End, Now + Bounds.PerPort)};
    }
    if (Running.empty()) break;
    // Probes past their bound are given up; the soonest bound left limits the wait.
    tClock::time_point Soonest = tClock::time_point::max();
    for (auto It = Running.begin(); It != Running.end();) {
      if (Stopping || It->second.second <= Now) {
        GiveUp(It->first, It->second.first);
        It = Running.erase(It);
      } else {
        Soonest = std::min(Soonest, It->second.second);
        ++It;
      }
    }
    if (Running.empty()) continue;
    const auto Limit =
        std::min(WaitSlice, std::chrono::ceil<std::chrono::milliseconds>(Soonest - Now));
    int32_t Port = 0;
    bool Card = false;
    if (!Prober.Next(Limit, Port, Card)) continue;
    // The end of a probe already given up changes nothing.
    const auto Found = Running.find(Port);
    if (Found == Running.end()) continue;
    Outcomes[Found->second.first].Result = Card ? pr_Card : pr_NoCard;
    Running.erase(Found);
  }
  // Ports never started within the overall bound (or before a stop request).
  for (; Next < Waiting.size(); ++Next) {
    Outcomes[Waiting[Next]].Result = pr_TimedOut;
    Say(Outcomes[Waiting[Next]].Port, "not probed: no time left");
  }
  return Outcomes;
}
