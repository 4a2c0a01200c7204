// The station's rules as scripts: each event at its time on a hand-moved clock, with the
// actions it must bring. The script's driver plays the front end: ports present or not, and a
// child per started step, so that it also catches a second step started beside a running one,
// a stop for a step that does not run, or a card served while its step still runs.
#include "session/StationRules.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace std::chrono_literals;
using tClock = std::chrono::steady_clock;
using tMs = std::chrono::milliseconds;

constexpr tMs GoneLimit = 2s;
constexpr int Ok = 0;
constexpr int Failed = 1;         // a step that could not start
constexpr int Refused = 6;        // the card refused the image
constexpr int Interrupted = 130;  // a step stopped
constexpr int Terminated = 143;
constexpr int NotBack = 7;  // the card did not come back from the update

const tStationStep FPGA{"update-fpga", "fpga.bit", false};
const tStationStep Audio{"update-usb-audio", "xmos.bin", false};
const tStationStep Firmware{"update-firmware", "card.dfu", true};

struct tEvent {
  enum tKind {
    ev_Arrive,
    ev_Remove,
    ev_Vanish,
    ev_Tick,
    ev_End,
    ev_Other,
    ev_Busy,
    ev_Card,
    ev_Checked,
    ev_Close,
    ev_StopAll
  } Kind;
  tMs At;  // since the script began
  int32_t Port = 0;
  int Exit = Ok;                                           // ev_End
  tChildProcess::tStop How = tChildProcess::ps_Interrupt;  // ev_StopAll
  std::vector<std::string> Actions;                        // the actions it must bring
};

using tTexts = std::vector<std::string>;

tEvent Arrive(tMs At, int32_t Port, tTexts Actions) {
  return {tEvent::ev_Arrive, At, Port, Ok, {}, std::move(Actions)};
}
tEvent Remove(tMs At, int32_t Port) {
  return {tEvent::ev_Remove, At, Port, Ok, {}, {}};
}
// The port goes without a notice the station has seen yet.
tEvent Vanish(tMs At, int32_t Port) {
  return {tEvent::ev_Vanish, At, Port, Ok, {}, {}};
}
tEvent Tick(tMs At, tTexts Actions = {}) {
  return {tEvent::ev_Tick, At, 0, Ok, {}, std::move(Actions)};
}
tEvent End(tMs At, int32_t Port, int Exit, tTexts Actions) {
  return {tEvent::ev_End, At, Port, Exit, {}, std::move(Actions)};
}
// The step for Port reports another card in its card's place.
tEvent Other(tMs At, int32_t Port) {
  return {tEvent::ev_Other, At, Port, Ok, {}, {}};
}
// The step for Port ends: the port is in use by minicom.
tEvent Busy(tMs At, int32_t Port, tTexts Actions) {
  return {tEvent::ev_Busy, At, Port, Ok, {}, std::move(Actions)};
}
// The card in Port is device ID Exit (the first step's finding).
tEvent Card(tMs At, int32_t Port, int DeviceID) {
  return {tEvent::ev_Card, At, Port, DeviceID, {}, {}};
}
// The card in Port answers the check as device ID Exit (0: no answer).
tEvent Checked(tMs At, int32_t Port, int DeviceID, tTexts Actions) {
  return {tEvent::ev_Checked, At, Port, DeviceID, {}, std::move(Actions)};
}
tEvent Close(tMs At) {
  return {tEvent::ev_Close, At, 0, Ok, {}, {}};
}
tEvent StopAll(tMs At, tChildProcess::tStop How, tTexts Actions) {
  return {tEvent::ev_StopAll, At, 0, Ok, How, std::move(Actions)};
}

struct tScript {
  const char* Name;
  std::vector<tStationStep> Recipe;
  std::vector<tEvent> Events;
};

// A failing script is named by its name.
void PrintTo(const tScript& Script, std::ostream* Out) {
  *Out << Script.Name;
}

std::string Shown(const tStationAction& Action) {
  const std::string Port = "COM" + std::to_string(Action.Port);
  switch (Action.Kind) {
    case tStationAction::sa_Start:
      return "start " + Port + " " + Action.Command + " " + Action.File;
    case tStationAction::sa_Stop:
      return "stop " + Port +
             (Action.How == tChildProcess::ps_Interrupt ? " interrupt" : " terminate");
    case tStationAction::sa_Line:
      return Action.Text;
    case tStationAction::sa_Served:
      return "served " + Port;
    case tStationAction::sa_Forget:
      return "forget " + Port;
    case tStationAction::sa_Check:
      return "check " + Port;
  }
  return "?";
}

const tScript Scripts[] = {
    // Events of ports the station does not serve change nothing.
    {"ANewPortStartsTheFirstStepEachSuccessTheNextAndTheLastServesTheCard",
     {FPGA, Audio, Firmware},
     {Remove(0s, 9), End(0s, 9, Ok, {}),
      Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      End(10s, 5, Ok, {"start COM5 update-usb-audio xmos.bin"}),
      End(20s, 5, Ok, {"start COM5 update-firmware card.dfu"}), End(30s, 5, Ok, {"served COM5"}),
      Tick(100s), Arrive(101s, 5, {})}},

    {"AFailedStepEndsTheCard",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}),
      End(5s, 5, Refused, {"served COM5"}),
      End(6s, 6, Ok, {"start COM6 update-usb-audio xmos.bin"}), End(7s, 6, Failed, {"served COM6"}),
      Tick(60s)}},

    // The card restarts during its steps and after the last one, its port back in time (at the
    // limit at the latest): the same card, neither stopped nor served again.
    {"APortBackWithinTheLimitIsTheSameCard",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}), Remove(1s, 5), Tick(3s),
      Arrive(3s, 5, {}), Tick(30s), End(31s, 5, Ok, {"start COM5 update-usb-audio xmos.bin"}),
      Remove(35s, 5), Arrive(35200ms, 5, {}), End(36s, 5, Ok, {"served COM5"}), Remove(37s, 5),
      Tick(39s), Arrive(39s, 5, {}), Tick(60s)}},

    // Each port counts its own time, from the first notice of its going; those gone at once are
    // told in the order of their numbers.
    {"ADoneCardGoneLongerThanTheLimitIsUnpluggedAndTheNextCardThereIsNew",
     {FPGA},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}),
      Arrive(0s, 7, {"COM7 arrived", "start COM7 update-fpga fpga.bit"}),
      End(1s, 5, Ok, {"served COM5"}), End(1s, 6, Ok, {"served COM6"}),
      End(1s, 7, Refused, {"served COM7"}), Remove(10s, 7), Remove(10s, 5), Remove(11s, 6),
      Remove(11s, 5),  // a second notice of its going (the device and its link)
      Tick(12s), Tick(12001ms, {"COM5 unplugged", "forget COM5", "COM7 unplugged", "forget COM7"}),
      Tick(13s), Tick(13001ms, {"COM6 unplugged", "forget COM6"}), Tick(20s),
      Arrive(30s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"})}},

    {"APortBackAfterTheLimitBringsANewCardAlsoWithoutATickBetween",
     {FPGA},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      End(1s, 5, Ok, {"served COM5"}), Remove(10s, 5),
      Arrive(
          12001ms, 5,
          {"COM5 unplugged", "forget COM5", "COM5 arrived", "start COM5 update-fpga fpga.bit"})}},

    // Stopped once; when its step ends, even with success, the card is served and forgotten.
    {"ACardUnpluggedDuringASerialStepHasThatStepStopped",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}), Remove(3s, 5), Tick(5s),
      Tick(5001ms,
           {"COM5 unplugged during update-fpga: its update is stopped", "stop COM5 interrupt"}),
      Tick(10s), End(11s, 5, Interrupted, {"served COM5", "forget COM5"}), Tick(20s),
      End(21s, 6, Ok, {"start COM6 update-usb-audio xmos.bin"}), Remove(22s, 6),
      Tick(24001ms, {"COM6 unplugged during update-usb-audio: its update is stopped",
                     "stop COM6 interrupt"}),
      End(25s, 6, Ok, {"served COM6", "forget COM6"}), Tick(60s)}},

    // The card runs its boot loader, its serial port away far longer than the limit.
    {"TheFirmwareStepsPortAwayIsNotAnUnplugging",
     {FPGA, Firmware},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      End(10s, 5, Ok, {"start COM5 update-firmware card.dfu"}), Remove(11s, 5), Tick(20s),
      Tick(60s), Arrive(70s, 5, {}), End(71s, 5, Ok, {"served COM5"}), Tick(200s)}},

    // COM5 was unplugged during its firmware step, which then fails on its own: gone since its
    // port left. COM6's port left without a notice (or before it came): gone since its step ended.
    {"ACardWhosePortIsGoneWhenItsLastStepEndsIsGoneFromWhenItLeftOrElseFromThen",
     {Firmware},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-firmware card.dfu"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-firmware card.dfu"}), Remove(1s, 5),
      Vanish(1s, 6), Tick(60s), End(65s, 5, NotBack, {"served COM5"}),
      End(65s, 6, Ok, {"served COM6"}), Tick(65s, {"COM5 unplugged", "forget COM5"}), Tick(67s),
      Tick(67001ms, {"COM6 unplugged", "forget COM6"})}},

    // COM5's next card stays until the stopped step has ended; COM6's leaves before.
    {"ACardArrivingWhileTheUnpluggedCardsStepEndsIsServedAfterItIfStillThere",
     {FPGA},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}), Remove(1s, 5),
      Remove(1s, 6),
      Tick(3001ms,
           {"COM5 unplugged during update-fpga: its update is stopped", "stop COM5 interrupt",
            "COM6 unplugged during update-fpga: its update is stopped", "stop COM6 interrupt"}),
      Arrive(4s, 5, {}), Arrive(4s, 6, {}), Remove(5s, 6), Tick(10s),
      End(11s, 5, Interrupted,
          {"served COM5", "forget COM5", "COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      End(11s, 6, Interrupted, {"served COM6", "forget COM6"}), End(20s, 5, Ok, {"served COM5"}),
      Tick(60s), Arrive(70s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"})}},

    // COM5's card is swapped during its restart: the card in the port is served at once, well
    // within the gone limit. COM6's other card leaves before its step ends: nothing to serve.
    {"AnotherCardInTheRestartedCardsPlaceIsServedAtOnce",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}), Remove(1s, 5),
      Arrive(1500ms, 5, {}), Other(1600ms, 5),
      End(1700ms, 5, NotBack,
          {"served COM5", "forget COM5",
           "COM5 another card came in place of the updated one: served as a new card",
           "start COM5 update-fpga fpga.bit"}),
      End(3s, 5, Ok, {"start COM5 update-usb-audio xmos.bin"}), Remove(4s, 6),
      Arrive(4500ms, 6, {}), Other(4600ms, 6), Remove(4700ms, 6),
      End(4800ms, 6, NotBack,
          {"served COM6", "forget COM6",
           "COM6 another card came in place of the updated one and has left; not served"}),
      End(5s, 5, Ok, {"served COM5"}), Tick(60s)}},

    // COM5 is busy at first, then free; COM6 stays busy and is given up; COM7 is busy once,
    // then unplugged before its retry; COM8's busy retry is given up when the station stops.
    {"ABusyPortIsTriedAgainEverySecondThenGivenUp",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}),
      Busy(100ms, 5, {"COM5 busy (in use by minicom): trying again for 5 s"}),
      Busy(100ms, 6, {"COM6 busy (in use by minicom): trying again for 5 s"}), Tick(1s),
      Tick(1100ms, {"start COM5 update-fpga fpga.bit", "start COM6 update-fpga fpga.bit"}),
      End(2s, 5, Ok, {"start COM5 update-usb-audio xmos.bin"}), Busy(2s, 6, {}),
      Tick(3s, {"start COM6 update-fpga fpga.bit"}), Busy(3s, 6, {}),
      Tick(4s, {"start COM6 update-fpga fpga.bit"}), Busy(4s, 6, {}),
      Tick(5s, {"start COM6 update-fpga fpga.bit"}),
      Busy(5100ms, 6,
           {"COM6 busy (in use by minicom) for 5 s; this plugging is not served", "served COM6"}),
      Tick(6s),
      // A later busy step counts its own time.
      Busy(7s, 5, {"COM5 busy (in use by minicom): trying again for 5 s"}),
      Tick(8s, {"start COM5 update-usb-audio xmos.bin"}), End(9s, 5, Ok, {"served COM5"}),
      Arrive(10s, 7, {"COM7 arrived", "start COM7 update-fpga fpga.bit"}),
      Busy(10s, 7, {"COM7 busy (in use by minicom): trying again for 5 s"}), Remove(10500ms, 7),
      Tick(11s, {"COM7 busy (in use by minicom) until the card left; this plugging is not served",
                 "served COM7"}),
      Arrive(20s, 8, {"COM8 arrived", "start COM8 update-fpga fpga.bit"}),
      Busy(20s, 8, {"COM8 busy (in use by minicom): trying again for 5 s"}),
      StopAll(20500ms, tChildProcess::ps_Interrupt,
              {"COM8 busy (in use by minicom) until the station closed; this plugging is not "
               "served",
               "served COM8"}),
      Tick(30s, {"COM7 unplugged", "forget COM7"})}},

    // A done card's port back within the limit is asked who its card is: COM5's is the same
    // card (shown, not served again), COM6's another (served at once), COM7's does not answer.
    {"ADoneCardsPortBackWithinTheLimitIsServedOnlyForAnotherCard",
     {FPGA},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Card(0ms, 5, 17),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}),
      Card(0ms, 6, 18),
      Arrive(0s, 7, {"COM7 arrived", "start COM7 update-fpga fpga.bit"}),
      Card(0ms, 7, 19),
      End(1s, 5, Ok, {"served COM5"}),
      End(1s, 6, Ok, {"served COM6"}),
      End(1s, 7, Ok, {"served COM7"}),
      Remove(2s, 5),
      Remove(2s, 6),
      Remove(2s, 7),
      Arrive(3s, 5, {"check COM5"}),
      Arrive(3s, 6, {"check COM6"}),
      Arrive(3s, 7, {"check COM7"}),
      Checked(3500ms, 5, 17, {"COM5 the same card (device ID 17) is back; not served again"}),
      Checked(
          3500ms, 6, 21,
          {"forget COM6", "COM6 another card (device ID 21) is in the port: served as a new card",
           "start COM6 update-fpga fpga.bit"}),
      Checked(3500ms, 7, 0, {"COM7 back, but its card did not say who it is; not served"}),
      End(5s, 6, Ok, {"served COM6"}),
      Tick(60s),
      Remove(61s, 6),
      Arrive(62s, 6, {"check COM6"}),
      Checked(63s, 6, 21, {"COM6 the same card (device ID 21) is back; not served again"})}},

    {"ClosingStartsNothingNew",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 7, {"COM7 arrived", "start COM7 update-fpga fpga.bit"}), Remove(500ms, 7),
      Close(1s),
      Tick(2501ms,
           {"COM7 unplugged during update-fpga: its update is stopped", "stop COM7 interrupt"}),
      Arrive(3s, 7, {}), End(4s, 5, Ok, {"served COM5"}),
      End(5s, 7, Interrupted, {"served COM7", "forget COM7"}), Arrive(6s, 6, {})}},

    {"StopAllStopsEveryRunningStepAndStartsNothingMore",
     {FPGA, Audio},
     {Arrive(0s, 5, {"COM5 arrived", "start COM5 update-fpga fpga.bit"}),
      Arrive(0s, 6, {"COM6 arrived", "start COM6 update-fpga fpga.bit"}),
      Arrive(0s, 7, {"COM7 arrived", "start COM7 update-fpga fpga.bit"}),
      End(1s, 6, Refused, {"served COM6"}), Remove(1s, 7),
      Tick(3001ms,
           {"COM7 unplugged during update-fpga: its update is stopped", "stop COM7 interrupt"}),
      StopAll(4s, tChildProcess::ps_Terminate, {"stop COM5 terminate", "stop COM7 terminate"}),
      End(5s, 5, Ok, {"served COM5"}), End(5s, 7, Terminated, {"served COM7", "forget COM7"}),
      Arrive(6s, 8, {})}},
};

class StationRulesTest : public ::testing::TestWithParam<tScript> {};

TEST_P(StationRulesTest, EachEventBringsItsActions) {
  const tScript& Script = GetParam();
  std::set<int32_t> Present;  // the ports there now
  std::set<int32_t> Running;  // the ports with a step under way
  tStationRules Rules(Script.Recipe, GoneLimit,
                      [&](int32_t Port) { return Present.count(Port) > 0; });
  // A steady clock's time, long after its epoch.
  const tClock::time_point Start{std::chrono::hours(1)};
  tMs Last{0};
  for (std::size_t i = 0; i < Script.Events.size(); ++i) {
    const tEvent& Event = Script.Events[i];
    SCOPED_TRACE("event " + std::to_string(i) + " at " + std::to_string(Event.At.count()) + " ms");
    ASSERT_GE(Event.At, Last) << "the script goes back in time";
    Last = Event.At;
    const tClock::time_point Now = Start + Event.At;
    tStationRules::tActions Actions;
    switch (Event.Kind) {
      case tEvent::ev_Arrive:
        Present.insert(Event.Port);
        Actions = Rules.Arrived(Event.Port, Now);
        break;
      case tEvent::ev_Remove:
        Present.erase(Event.Port);
        Rules.Removed(Event.Port, Now);
        break;
      case tEvent::ev_Vanish:
        Present.erase(Event.Port);
        break;
      case tEvent::ev_Tick:
        Actions = Rules.Tick(Now);
        break;
      case tEvent::ev_End:
        Running.erase(Event.Port);
        Actions = Rules.StepEnded(Event.Port, Event.Exit, Now);
        break;
      case tEvent::ev_Other:
        Rules.OtherCardSeen(Event.Port);
        break;
      case tEvent::ev_Busy:
        Running.erase(Event.Port);
        Actions = Rules.StepBusy(Event.Port, "minicom", Now);
        break;
      case tEvent::ev_Card:
      case tEvent::ev_Checked: {
        tCardIdentity Card;
        Card.DeviceID = static_cast<uint8_t>(Event.Exit);
        if (Event.Kind == tEvent::ev_Card)
          Rules.CardIdentified(Event.Port, Card);
        else
          Actions = Rules.Checked(Event.Port, Card, Now);
        break;
      }
      case tEvent::ev_Close:
        Rules.Close();
        break;
      case tEvent::ev_StopAll:
        Actions = Rules.StopAll(Event.How);
        break;
    }
    std::vector<std::string> Texts;
    for (const tStationAction& Action : Actions) {
      Texts.push_back(Shown(Action));
      if (Action.Kind == tStationAction::sa_Start) {
        EXPECT_TRUE(Running.insert(Action.Port).second) << "a second step beside one running";
      } else if (Action.Kind == tStationAction::sa_Stop) {
        EXPECT_TRUE(Running.count(Action.Port)) << "a stop for a step not running";
      } else if (Action.Kind == tStationAction::sa_Served) {
        EXPECT_FALSE(Running.count(Action.Port)) << "served while its step runs";
      }
    }
    EXPECT_EQ(Texts, Event.Actions);
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, StationRulesTest, ::testing::ValuesIn(Scripts),
                         [](const ::testing::TestParamInfo<tScript>& Info) {
                           return std::string(Info.param.Name);
                         });

}  // namespace
