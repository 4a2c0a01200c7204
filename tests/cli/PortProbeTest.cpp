// The --all search over a stand-in prober on a made-up clock: nothing here waits for real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "cli/PortProbe.h"

namespace {

using namespace std::chrono_literals;
using tClock = std::chrono::steady_clock;

// Probes end in the order they started, at once, except on the ports that hang (their open
// never returns); a wait with nothing to end moves the clock on by the whole wait.
class tFakeProber : public tProber {
 public:
  std::set<int32_t> Cards, Hanging, Unstartable;
  int StopAfterWaits = -1;  // the operator asks to stop after this many waits (-1: never)

  std::vector<int32_t> Started, Stopped;
  std::vector<int32_t> Running;
  std::size_t MostAtOnce = 0;
  tClock::duration Elapsed{};
  int Waits = 0;

  bool Start(int32_t Port) override {
    if (Unstartable.count(Port)) return false;
    Started.push_back(Port);
    Running.push_back(Port);
    MostAtOnce = std::max(MostAtOnce, Running.size());
    return true;
  }
  bool Next(std::chrono::milliseconds Limit, int32_t& Port, bool& Card) override {
    ++Waits;
    EXPECT_GT(Limit.count(), 0);
    for (auto It = Running.begin(); It != Running.end(); ++It)
      if (!Hanging.count(*It)) {
        Port = *It;
        Card = Cards.count(Port) > 0;
        Running.erase(It);
        return true;
      }
    Elapsed += Limit;
    return false;
  }
  void Stop(int32_t Port) override {
    Stopped.push_back(Port);
    std::erase(Running, Port);
  }
  tClock::time_point Now() override { return tClock::time_point{} + 1h + Elapsed; }
  bool Stopping() override { return StopAfterWaits >= 0 && Waits >= StopAfterWaits; }
};

std::vector<tPortCatalogue::tPort> PortsNumbered(int32_t First, int32_t Last,
                                                 std::set<int32_t> Bluetooth = {}) {
  std::vector<tPortCatalogue::tPort> Ports;
  for (int32_t n = First; n <= Last; ++n)
    Ports.push_back({n, "Serial" + std::to_string(n), "\\\\.\\COM" + std::to_string(n), "",
                     Bluetooth.count(n) > 0});
  return Ports;
}

std::string Results(const std::vector<tProbeOutcome>& Outcomes) {
  std::string Text;
  for (const auto& Outcome : Outcomes)
    Text += "CNST"[Outcome.Result];
  return Text;
}

TEST(PortProbe, BluetoothPortsAreSkippedAndOthersProbed) {
  const struct {
    tPortCatalogue::tPort Port;
    bool Skipped;
  } Cases[] = {
      {{3, "Serial0", "\\\\.\\COM3", "0403:6001 FTDI", false}, false},
      {{4, "BthModem0", "\\\\.\\COM4", "", true}, true},
      {{5, "rfcomm0", "/dev/rfcomm0", "", true}, true},
      {{6, "ttyACM0", "/dev/ttyACM0", "", false}, false},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(SkipWhenProbing(Case.Port), Case.Skipped) << Case.Port.Name;
}

// Each row: the ports 1..Count, which are Bluetooth, have a card, hang or cannot start, the
// bounds, and what comes out: a letter per port (C card, N no card, S skipped, T given up),
// the ports started, and the most probes running at once.
TEST(PortProbe, ParallelWithinBounds) {
  const struct {
    const char* Name;
    int32_t Count;
    std::set<int32_t> Bluetooth, Cards, Hanging, Unstartable;
    tProbeBounds Bounds;
    int StopAfterWaits;
    const char* Expected;
    std::size_t StartedCount;
    std::size_t MostAtOnce;
  } Cases[] = {
      {"one port hangs, the others are answered",
       12,
       {},
       {2, 9},
       {5},
       {},
       {8, 5s, 15s},
       -1,
       "NCNNTNNNCNNN",
       12,
       8},
      {"Bluetooth ports are never opened",
       6,
       {2, 4},
       {6},
       {},
       {},
       {8, 5s, 15s},
       -1,
       "NSNSNC",
       4,
       4},
      {"a probe that cannot start counts as no card",
       3,
       {},
       {1},
       {},
       {2},
       {8, 5s, 15s},
       -1,
       "CNN",
       2,
       2},
      // Four slots, all taken by hanging ports: each wave is given up after its bound, and
      // what the overall bound leaves no time for is not started at all.
      {"hanging ports in every slot",
       10,
       {},
       {},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
       {},
       {4, 1s, 1500ms},
       -1,
       "TTTTTTTTTT",
       8,
       4},
      {"a stop request gives up the rest",
       10,
       {},
       {1},
       {3, 4},
       {},
       {2, 5s, 15s},
       3,
       "CNTTTTTTTT",
       4,
       2},
      {"no ports", 0, {}, {}, {}, {}, {8, 5s, 15s}, -1, "", 0, 0},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    tFakeProber Prober;
    Prober.Cards = Case.Cards;
    Prober.Hanging = Case.Hanging;
    Prober.Unstartable = Case.Unstartable;
    Prober.StopAfterWaits = Case.StopAfterWaits;
    std::vector<std::string> Notes;
    const auto Outcomes =
        ProbePorts(PortsNumbered(1, Case.Count, Case.Bluetooth), Prober, Case.Bounds,
                   [&Notes](const std::string& Line) { Notes.push_back(Line); });
    EXPECT_EQ(Results(Outcomes), Case.Expected);
    EXPECT_EQ(Prober.Started.size(), Case.StartedCount);
    EXPECT_EQ(Prober.MostAtOnce, Case.MostAtOnce);
    for (int32_t Port : Case.Bluetooth)
      EXPECT_EQ(std::count(Prober.Started.begin(), Prober.Started.end(), Port), 0) << Port;
    // Nothing is left running, and no probe outlives the overall bound by more than a wait.
    EXPECT_TRUE(Prober.Running.empty());
    EXPECT_LE(Prober.Elapsed, Case.Bounds.Overall + 100ms);
    // Every port skipped or given up is named in a note.
    const std::size_t Named = std::count_if(Outcomes.begin(), Outcomes.end(), [](auto& O) {
      return O.Result == pr_Skipped || O.Result == pr_TimedOut;
    });
    EXPECT_EQ(Notes.size(), Named);
  }
}

// The hanging port costs its own bound, not the others' time: every other port has its
// answer before the hanging one is given up.
TEST(PortProbe, AHangingPortDoesNotHoldTheOthers) {
  tFakeProber Prober;
  Prober.Hanging = {1};
  Prober.Cards = {2, 3};
  const auto Outcomes = ProbePorts(PortsNumbered(1, 3), Prober, {8, 4s, 12s});
  EXPECT_EQ(Results(Outcomes), "TCC");
  EXPECT_EQ(Prober.Stopped, std::vector<int32_t>{1});
  EXPECT_GE(Prober.Elapsed, 4s);
  EXPECT_LE(Prober.Elapsed, 4s + 100ms);
}

}  // namespace
