// The port list read again under the notices: scripts of listings and notices on a hand-moved
// clock, each reading with the changes it must tell; and the station fed by the rescan alone,
// whose card must be started within one period although no notice came.
#include "session/PortRescan.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "session/StationRules.h"

namespace {

using namespace std::chrono_literals;
using tClock = std::chrono::steady_clock;
using tMs = std::chrono::milliseconds;

constexpr tMs Period = 3s;

// A fake clock starts well after the real clock's epoch.
const tClock::time_point Origin = tClock::time_point{} + 24h;

struct tStep {
  enum tKind { st_List, st_Notice, st_Due } Kind;
  tMs At;
  std::vector<int32_t> Ports;     // st_List: the ports present from now on
  tDeviceChange Notice;           // st_Notice
  std::vector<std::string> Told;  // st_Due: "+COM5" arrived, "-COM5" removed
};

tStep List(tMs At, std::vector<int32_t> Ports) {
  return {tStep::st_List, At, std::move(Ports), {}, {}};
}
tStep Notice(tMs At, bool Arrival, int32_t Port) {
  return {tStep::st_Notice,
          At,
          {},
          {Arrival ? tDeviceChange::dc_Arrival : tDeviceChange::dc_RemoveComplete,
           "COM" + std::to_string(Port)},
          {}};
}
tStep Due(tMs At, std::vector<std::string> Told) {
  return {tStep::st_Due, At, {}, {}, std::move(Told)};
}

struct tScript {
  const char* Name;
  std::vector<int32_t> AtStart;
  std::vector<tStep> Steps;
};

std::vector<std::string> Texts(const std::vector<tDeviceChange>& Changes) {
  std::vector<std::string> Out;
  for (const tDeviceChange& Change : Changes)
    Out.push_back((Change.Kind == tDeviceChange::dc_Arrival ? "+" : "-") + Change.PortName);
  return Out;
}

const tScript Scripts[] = {
    {"an arrival without a notice is told at the next reading",
     {1},
     {List(1s, {1, 5}), Due(2900ms, {}), Due(3s, {"+COM5"}), Due(4s, {}), Due(6s, {})}},
    {"a removal without a notice is told too",
     {1, 5},
     {List(1s, {1}), Due(3s, {"-COM5"}), Due(6s, {})}},
    {"what a notice told is not told again",
     {1},
     {List(1s, {1, 5}), Notice(1s, true, 5), Due(3s, {}), List(4s, {1}), Notice(4s, false, 5),
      Due(6s, {})}},
    {"a port that came and went between readings is not told",
     {1},
     {List(1s, {1, 7}), List(2s, {1}), Due(3s, {})}},
    {"a removal notice for a port that is still listed is corrected",
     {1, 5},
     {Notice(1s, false, 5), Due(3s, {"+COM5"})}},
    {"removals come before arrivals, each in port order",
     {2, 4},
     {List(1s, {9, 3, 2}), Due(3s, {"-COM4", "+COM3", "+COM9"})}},
    {"the period counts from the last reading, not from the last change",
     {},
     {List(1s, {1}), Due(3s, {"+COM1"}), List(3500ms, {1, 2}), Due(5900ms, {}),
      Due(6s, {"+COM2"})}},
    {"notices with names that are no port are ignored",
     {1},
     {{tStep::st_Notice, 1s, {}, {tDeviceChange::dc_RemoveComplete, "LPT1"}, {}},
      {tStep::st_Notice, 1s, {}, {tDeviceChange::dc_Arrival, "COMx"}, {}},
      Due(3s, {})}},
};

class PortRescanScript : public testing::TestWithParam<tScript> {};

TEST_P(PortRescanScript, TellsWhatNoNoticeTold) {
  const tScript& Script = GetParam();
  std::vector<int32_t> Present = Script.AtStart;
  tPortRescan Rescan([&] { return Present; }, Period);
  Rescan.Start(Origin);
  for (const tStep& Step : Script.Steps) {
    SCOPED_TRACE(testing::Message() << "at " << Step.At.count() << " ms");
    switch (Step.Kind) {
      case tStep::st_List:
        Present = Step.Ports;
        break;
      case tStep::st_Notice:
        Rescan.Noted(Step.Notice);
        break;
      case tStep::st_Due:
        EXPECT_EQ(Texts(Rescan.Due(Origin + Step.At)), Step.Told);
        break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, PortRescanScript, testing::ValuesIn(Scripts),
                         [](const testing::TestParamInfo<tScript>& Info) {
                           return "Script" + std::to_string(Info.index);
                         });

TEST(PortRescan, NoticesAreNewsOnlyWhenTheyChangeWhatIsKnown) {
  std::vector<int32_t> Present = {1};
  tPortRescan Rescan([&] { return Present; }, Period);
  Rescan.Start(Origin);
  Present = {1, 5};
  ASSERT_EQ(Texts(Rescan.Due(Origin + Period)), (std::vector<std::string>{"+COM5"}));
  // The notice that comes late is no news; the next ones are.
  EXPECT_FALSE(Rescan.Noted({tDeviceChange::dc_Arrival, "COM5"}));
  EXPECT_TRUE(Rescan.Noted({tDeviceChange::dc_RemoveComplete, "COM5"}));
  EXPECT_FALSE(Rescan.Noted({tDeviceChange::dc_RemoveComplete, "COM5"}));
  EXPECT_TRUE(Rescan.Noted({tDeviceChange::dc_Arrival, "COM5"}));
  EXPECT_TRUE(Rescan.Noted({tDeviceChange::dc_Arrival, "LPT1"}));
}

TEST(PortRescan, WithoutStartTheFirstReadingTellsEveryPort) {
  tPortRescan Rescan([] { return std::vector<int32_t>{4, 0, 2}; }, Period);
  EXPECT_EQ(Texts(Rescan.Due(Origin)), (std::vector<std::string>{"+COM2", "+COM4"}));
  EXPECT_TRUE(Rescan.Due(Origin + Period).empty());
  EXPECT_EQ(Rescan.Caught(), 1u);
}

// The station as it runs: its rules get the notices that come and the rescan's changes. A
// card plugged in whose arrival notice never comes is started within one period of the
// rescan.
TEST(PortRescan, StationStartsACardWhoseNoticeNeverCame) {
  std::vector<int32_t> Present = {1};
  tPortRescan Rescan([&] { return Present; }, Period);
  tStationRules Rules({{"update-fpga", "fpga.bit", false}}, 2s, [&](int32_t Port) {
    return std::find(Present.begin(), Present.end(), Port) != Present.end();
  });
  Rescan.Start(Origin);
  Rules.Arrived(1, Origin);  // the station's own reading at start
  const tMs Plugged = 1230ms;
  std::optional<tMs> Started;
  for (tMs At = 0ms; At <= Plugged + 2 * Period && !Started; At += 10ms) {
    if (At >= Plugged && Present.size() == 1) Present.push_back(6);  // no notice comes
    const auto Now = Origin + At;
    for (const tDeviceChange& Change : Rescan.Due(Now)) {
      const int32_t Port = PortNumberFromName(Change.PortName);
      if (Change.Kind != tDeviceChange::dc_Arrival) continue;
      for (const tStationAction& Action : Rules.Arrived(Port, Now))
        if (Action.Kind == tStationAction::sa_Start && Action.Port == 6) Started = At;
    }
    Rules.Tick(Now);
  }
  ASSERT_TRUE(Started) << "the card in COM6 was never started";
  EXPECT_GE(*Started, Plugged);
  EXPECT_LE(*Started - Plugged, Period);
}

}  // namespace
