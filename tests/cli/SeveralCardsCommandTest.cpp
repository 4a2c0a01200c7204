// Several cards in one command, --json for scripts and the station, the real caddis program
// against simulated cards.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/CliRun.h"
#include "cli/Outcome.h"
#include "support/Sha256.h"

namespace {

using tLines = std::vector<nlohmann::json>;

// Each line of Text as JSON; a line that is not one JSON object fails the test.
tLines JsonLines(const std::string& Text) {
  tLines Lines;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) {
    const nlohmann::json Value = nlohmann::json::parse(Line, nullptr, false);
    EXPECT_TRUE(!Value.is_discarded() && Value.is_object()) << "not a JSON object: " << Line;
    if (!Value.is_discarded()) Lines.push_back(Value);
  }
  return Lines;
}

// The events of a run keep the contract: every line has its event, port and time; the run
// starts with "start" (when it got that far) and ends with its result or error (several cards:
// the summary), whose exit status is the program's.
void ExpectContract(const tLines& Lines, int Exit, const std::string& Command,
                    bool Summary = false) {
  ASSERT_FALSE(Lines.empty()) << Command;
  for (const nlohmann::json& Line : Lines) {
    EXPECT_TRUE(Line.contains("event") && Line["event"].is_string()) << Line;
    EXPECT_TRUE(Line.contains("port") && (Line["port"].is_number() || Line["port"].is_null()))
        << Line;
    ASSERT_TRUE(Line.contains("time") && Line["time"].is_string()) << Line;
    const std::string Time = Line["time"];
    EXPECT_EQ(Time.size(), 24u) << Time;
    EXPECT_EQ(Time.back(), 'Z') << Time;
  }
  const nlohmann::json& Last = Lines.back();
  EXPECT_EQ(Last["event"], Summary     ? "summary"
                           : Exit == 0 ? "result"
                                       : "error")
      << Command << ": " << Last;
  EXPECT_EQ(Last["exit"], Exit) << Command;
  EXPECT_EQ(Last["ok"], Exit == 0) << Command;
  if (Exit != 0 && !Summary) {
    EXPECT_EQ(Last["kind"], OutcomeOf(KindOfExit(Exit)).Name) << Command;
    EXPECT_TRUE(Last["message"].is_string() && !Last["message"].get<std::string>().empty());
  }
  for (std::size_t i = 0; i + 1 < Lines.size(); ++i)
    EXPECT_NE(Lines[i]["event"], Lines.back()["event"]) << "only the last line ends the run";
}

std::vector<nlohmann::json> EventsOf(const tLines& Lines, const std::string& Event, int Port) {
  std::vector<nlohmann::json> Found;
  for (const nlohmann::json& Line : Lines)
    if (Line["event"] == Event && Line["port"] == Port) Found.push_back(Line);
  return Found;
}

class SeveralCardsCommandTest : public tCliFixture {
 protected:
  tScopedEnv fImages{"CADDIS_IMAGE_DIR", DEMO_IMAGE_DIR};
};

TEST_F(SeveralCardsCommandTest, FourCardsAtOnceAndTheOneThatRefusesAPacketFailsTheCommand) {
  const std::string Image = WriteImage("SkerryFPGA.bit", 40 * 128);
  std::vector<std::unique_ptr<tSimProcess>> Cards;
  for (int Port : {41, 42, 43, 44}) {
    std::vector<std::string> Args = {"--fpga-out",
                                     Runtime.Folder.File("fpga-" + std::to_string(Port))};
    if (Port == 43) Args.insert(Args.end(), {"--ack-code", "4@3"});
    Cards.push_back(StartCard(Port, Args));
  }
  const std::string Record = Runtime.Folder.File("record.jsonl");
  const tRun Run = Caddis(
      {"update-fpga", "--port", "41,42", "--port", "COM43,44", "--file", Image, "--record", Record},
      60s);
  EXPECT_EQ(Run.Exit, ExitRefused) << Run.Out << Run.Err;
  // One record line per card, written by each card's own run.
  std::string Sha;
  uint64_t Size = 0;
  std::string Error;
  ASSERT_TRUE(Sha256OfFile(Image, Sha, Size, Error)) << Error;
  std::map<int, nlohmann::json> Lines;
  std::istringstream RecordText(FileText(Record));
  for (std::string Line; std::getline(RecordText, Line);) {
    const auto Entry = nlohmann::json::parse(Line);
    Lines[Entry["Port"].get<int>()] = Entry;
  }
  ASSERT_EQ(Lines.size(), 4u) << FileText(Record);
  for (auto& [Port, Entry] : Lines) {
    EXPECT_EQ(Entry["Action"], "update-fpga");
    EXPECT_EQ(Entry["Image"]["SHA256"], Sha);
    EXPECT_EQ(Entry["Image"]["Size"], Size);
    EXPECT_EQ(Entry["Before"]["DeviceID"], 33);
    if (Port == 43) {
      EXPECT_EQ(Entry["Result"], "failed");
      EXPECT_TRUE(Contains(Entry["Failure"].get<std::string>(), "the card answered Flash (code 4)"))
          << Entry;
      continue;
    }
    EXPECT_EQ(Entry["Result"], "success") << Entry;
    EXPECT_TRUE(Entry["Failure"].is_null()) << Entry;
    // The card came back after its restart and identified itself again.
    EXPECT_EQ(Entry["After"]["DeviceID"], 33) << Entry;
    EXPECT_EQ(Entry["After"]["FirmwareVersion"], Entry["Before"]["FirmwareVersion"]) << Entry;
  }
  for (int Port : {41, 42, 44}) {
    EXPECT_EQ(FileText(Runtime.Folder.File("fpga-" + std::to_string(Port))), FileText(Image))
        << "COM" << Port;
    EXPECT_TRUE(Contains(Run.Out, "COM" + std::to_string(Port) + " FPGA update: 100%\n"))
        << Run.Out;
  }
  EXPECT_FALSE(std::filesystem::exists(Runtime.Folder.File("fpga-43")));
  // The table at the end: a heading and a line per card, the refusal with its reason.
  const std::string Table = Run.Out.substr(Run.Out.rfind("\nPort "));
  for (int Port : {41, 42, 44})
    EXPECT_TRUE(Contains(Table, "COM" + std::to_string(Port) + "  33  ")) << Table;
  EXPECT_TRUE(Contains(Table, "refused: FPGA update aborted at ")) << Table;
  EXPECT_TRUE(Contains(Table, "the card answered Flash (code 4)")) << Table;
  EXPECT_EQ(std::count(Table.begin(), Table.end(), '\n'), 6) << Table;
}

// Every command of caddis --help that talks to a card or reads the record, with --json.
TEST_F(SeveralCardsCommandTest, EveryCommandsJsonLinesKeepTheContract) {
  auto Card = StartCard(51, {"--device-id", "7", "--firmware", "12", "--fpga-version", "1.2"});
  auto Other = StartCard(52);
  const std::string Image = WriteImage("xmos.bin", 10 * 128);
  const std::string Fpga = std::string(DEMO_IMAGE_DIR) + "/SkerryFPGA.bit";
  const struct {
    std::vector<std::string> Args;
    int Exit;
    bool Image;         // the start event names the image
    const char* Shows;  // an event the run must have on the way ("" none)
    bool Summary;       // several cards: it ends with the summary
  } Runs[] = {
      {{"status", "--port", "51"}, 0, false, "card", false},
      {{"monitor", "--port", "51", "--seconds", "1"}, 0, false, "status", false},
      {{"send-hex", "--port", "51", "--wait", "0.5", "3c"}, 0, false, "answer", false},
      {{"echo", "--port", "51", "--wait", "0.5", "hello"}, 0, false, "answer", false},
      {{"update-fpga", "--port", "51"}, 0, true, "progress", false},
      {{"update-usb-audio", "--port", "51", "--file", Image}, 0, true, "progress", false},
      {{"reset", "--port", "51"}, 0, false, "", false},
      {{"update-firmware", "--port", "51"}, 0, true, "boot-loader", false},
      {{"restore", "--port", "51"}, 0, false, "boot-loader", false},
      {{"history"}, 0, false, "record", false},
      {{"status", "--port", "51,52"}, 0, false, "card", true},
      {{"station", "--fpga", Fpga, "--seconds", "1"}, 0, false, "progress", true},
      {{"boot", "--port", "52"}, 0, false, "", false},
      {{"update-fpga", "--port", "51", "--file", Runtime.Folder.File("none.bit")},
       ExitImage,
       true,
       "",
       false},
      {{"status", "--port", "59"}, ExitPort, false, "", false},
      {{"history", "--port", "5", "--card", "7"}, ExitUsage, false, "", false},
      {{"update-fpga", "--port", "51", "--timeout", "soon"}, ExitUsage, false, "", false},
      {{"nonsense"}, ExitUsage, false, "", false},
  };
  int Firmware = -1;  // the card's firmware as the last run left it
  for (const auto& R : Runs) {
    std::vector<std::string> Args = R.Args;
    Args.push_back("--json");
    const tRun Run = Caddis(Args, 90s);
    const std::string Command = testing::PrintToString(Args);
    EXPECT_EQ(Run.Exit, R.Exit) << Command << Run.Out << Run.Err;
    const tLines Lines = JsonLines(Run.Out);
    ExpectContract(Lines, R.Exit, Command, R.Summary);
    if (R.Exit == ExitUsage) {
      EXPECT_EQ(Lines.size(), 1u) << Run.Out;
      continue;
    }
    ASSERT_GE(Lines.size(), 2u) << Command << Run.Out;
    EXPECT_EQ(Lines.front()["event"], "start") << Command;
    if (!R.Summary) {
      EXPECT_EQ(Lines.front()["command"], R.Args.front()) << Command;
    }
    EXPECT_EQ(Lines.front().contains("image"), R.Image) << Command;
    if (*R.Shows) {
      EXPECT_TRUE(std::any_of(Lines.begin(), Lines.end(),
                              [&](const nlohmann::json& Line) { return Line["event"] == R.Shows; }))
          << Command << " has no " << R.Shows << " event:\n"
          << Run.Out;
    }
    if (Lines.back().contains("after")) Firmware = Lines.back()["after"]["firmware"];
  }

  // A whole update: the card before and after, progress by whole percents, the result last.
  const tRun Update = Caddis({"update-fpga", "--port", "51", "--json"});
  const tLines Lines = JsonLines(Update.Out);
  ASSERT_EQ(Update.Exit, 0) << Update.Out;
  const auto Before = EventsOf(Lines, "card", 51);
  ASSERT_EQ(Before.size(), 2u) << Update.Out;
  EXPECT_EQ(Before[0]["phase"], "before");
  EXPECT_EQ(Before[0]["device_id"], 7);
  EXPECT_EQ(Before[0]["firmware"], Firmware) << "the firmware the runs before left";
  EXPECT_EQ(Before[1]["phase"], "after");
  int Last = -1;
  for (const auto& Progress : EventsOf(Lines, "progress", 51)) {
    EXPECT_EQ(Progress["phase"], "FPGA update");
    EXPECT_GT(Progress["percent"].get<int>(), Last);
    Last = Progress["percent"];
  }
  EXPECT_EQ(Last, 100);
  EXPECT_EQ(Lines.front()["image"]["size"], 65536);
  EXPECT_EQ(Lines.front()["image"]["file"], std::string(DEMO_IMAGE_DIR) + "/SkerryFPGA.bit");
  EXPECT_EQ(Lines.back()["after"]["device_id"], 7);
  EXPECT_GT(Lines.back()["duration_s"].get<double>(), 0.0);
}

TEST_F(SeveralCardsCommandTest, TwoCardsFirmwareInOneCommandEachTakesItsOwnBootLoader) {
  auto First = StartCard(45, {"--firmware", "12", "--device-id", "45"});
  auto Second = StartCard(46, {"--firmware", "12", "--device-id", "46"});
  const tRun Run = Caddis({"update-firmware", "--port", "45,46", "--json"}, 120s);
  ASSERT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
  const tLines Lines = JsonLines(Run.Out);
  for (int Port : {45, 46}) {
    // The simulated card's boot loader carries its port in its serial number.
    const auto Loaders = EventsOf(Lines, "boot-loader", Port);
    ASSERT_EQ(Loaders.size(), 1u) << Run.Out;
    EXPECT_EQ(Loaders[0]["serial"], "SIM000" + std::to_string(Port));
    const auto Results = EventsOf(Lines, "result", Port);
    ASSERT_EQ(Results.size(), 1u) << Run.Out;
    EXPECT_EQ(Results[0]["before"]["device_id"], Port);
    EXPECT_EQ(Results[0]["before"]["firmware"], 12);
    EXPECT_EQ(Results[0]["after"]["device_id"], Port);
    EXPECT_EQ(Results[0]["after"]["firmware"], 2);
  }
  ASSERT_EQ(Lines.back()["event"], "summary");
  EXPECT_EQ(Lines.back()["exit"], 0);
  ASSERT_EQ(Lines.back()["cards"].size(), 2u);
  // The summary's cards are the objects the result events carry, not display texts.
  for (const auto& Card : Lines.back()["cards"]) {
    EXPECT_EQ(Card["before"]["firmware"], 12) << Card;
    EXPECT_EQ(Card["after"]["device_id"], Card["port"]) << Card;
  }
}

TEST_F(SeveralCardsCommandTest, AllMeansThePortsWhereACardAnswers) {
  auto First = StartCard(47);
  auto Second = StartCard(48, {"--device-id", "48"});
  auto Silent = StartCard(49, {"--silent"});
  const tRun Run = Caddis({"status", "--all", "--timeout", "1"});
  ASSERT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
  EXPECT_TRUE(Contains(Run.Out, "Cards on COM47, COM48\n")) << Run.Out;
  EXPECT_TRUE(Contains(Run.Out, "\nCOM48  48  ")) << Run.Out;
  // The silent card's port is named as such, and has no row in the table.
  EXPECT_TRUE(Contains(Run.Out, "No card answered on COM49\n")) << Run.Out;
  EXPECT_FALSE(Contains(Run.Out, "\nCOM49 ")) << Run.Out;

  const tRun Both = Caddis({"status", "--all", "--port", "47"});
  EXPECT_EQ(Both.Exit, ExitUsage);
  First->Stop();
  Second->Stop();
  const tRun None = Caddis({"status", "--all", "--timeout", "0.5"});
  EXPECT_EQ(None.Exit, ExitNoCard) << None.Out << None.Err;
  EXPECT_TRUE(Contains(None.Err, "no card answered on any port")) << None.Err;
}

}  // namespace

namespace {

int Count(const std::string& Text, const std::string& Part) {
  int Found = 0;
  for (std::size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1))
    ++Found;
  return Found;
}

TEST_F(SeveralCardsCommandTest, TheStationUpdatesEachArrivingCardOnceUntilItIsUnplugged) {
  const std::string Image = WriteImage("SkerryFPGA.bit", 20 * 128);
  const std::string Received = Runtime.Folder.File("fpga-61");
  tProcess Station(Runtime, CADDIS_PATH, {"station", "--fpga", Image, "--gone", "2"});
  // Its restart is well within the time the station allows a port to be gone.
  auto Card = StartCard(61, {"--fpga-out", Received, "--restart-ms", "200"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Station.Output(), "COM61 done in "); }, 30s))
      << Station.Output();
  EXPECT_EQ(FileText(Received), FileText(Image));

  // Unplugged for longer than a restart takes, then plugged in again: a new card to serve (that
  // a port back within --gone is the same card is StationRulesTest's).
  Card->Stop();
  std::filesystem::remove(Received);
  ASSERT_TRUE(WaitFor([&] { return Contains(Station.Output(), "COM61 unplugged"); }, 10s))
      << Station.Output();
  // The station takes the port's comings and goings in order: the card that came back from
  // its restart before it was unplugged was still the card it had done.
  EXPECT_EQ(Count(Station.Output(), "COM61 arrived"), 1) << Station.Output();
  EXPECT_EQ(Count(Station.Output(), "COM61 update-fpga "), 1) << Station.Output();
  Card = StartCard(61, {"--fpga-out", Received, "--ack-code", "2@1"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Station.Output(), "COM61 failed (refused)"); }, 30s))
      << Station.Output();
  EXPECT_EQ(Count(Station.Output(), "COM61 update-fpga "), 2) << Station.Output();

  // Ctrl-C ends it with the table of every card served.
  Station.Signal(SIGINT);
  const tRun Run = Station.Wait(20s);
  EXPECT_EQ(Run.Exit, ExitInterrupted) << Run.Out << Run.Err;
  EXPECT_TRUE(Contains(Run.Out, "Served: 2, succeeded: 1\n")) << Run.Out;
  EXPECT_EQ(Count(Run.Out.substr(Run.Out.rfind("\nPort ")), "\nCOM61 "), 2) << Run.Out;
}

// A card unplugged while its update waits for it to come back from its restart: the next card
// in that port is a new card, not this one coming back. StationRulesTest has the rules; this
// shows the station's stop reaching the child, which would otherwise take the next card for its
// own.
TEST_F(SeveralCardsCommandTest, ACardUnpluggedBeforeItCameBackIsNotTakenForTheNextOne) {
  const std::string Image = WriteImage("SkerryFPGA.bit", 20 * 128);
  tProcess Station(Runtime, CADDIS_PATH, {"station", "--fpga", Image, "--gone", "2"});
  // The first card's restart outlasts the test: its port stays away.
  auto Card = StartCard(62, {"--restart-ms", "60000"});
  ASSERT_TRUE(WaitFor(
      [&] { return Contains(Station.Output(), "COM62 unplugged during update-fpga"); }, 30s))
      << Station.Output();
  Card->Stop();
  const std::string Received = Runtime.Folder.File("fpga-62");
  // The next card's restart is well within the time the station allows a port to be gone.
  Card = StartCard(62, {"--fpga-out", Received, "--restart-ms", "200"});
  ASSERT_TRUE(WaitFor([&] { return FileText(Received) == FileText(Image); }, 30s))
      << Station.Output();
  ASSERT_TRUE(WaitFor([&] { return Count(Station.Output(), "COM62 done in ") == 1; }, 30s))
      << Station.Output();
  Station.Signal(SIGINT);
  const tRun Run = Station.Wait(20s);
  EXPECT_TRUE(Contains(Run.Out, "Served: 2, succeeded: 1\n")) << Run.Out;
}

// The firmware step: the card's port is away for the whole download, longer than the station
// allows a port to be gone, and the card is still updated once, not stopped as unplugged.
TEST_F(SeveralCardsCommandTest, TheStationFollowsACardThroughItsFirmwareDownload) {
  const std::string Image = std::string(DEMO_IMAGE_DIR) + "/SkerryTiva.dfu";
  tProcess Station(Runtime, CADDIS_PATH, {"station", "--firmware", Image, "--gone", "1"});
  auto Card = StartCard(63, {"--restart-ms", "200", "--dfu-block-ms", "150"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Station.Output(), "COM63 done in "); }, 60s))
      << Station.Output();
  Station.Signal(SIGINT);
  const tRun Run = Station.Wait(20s);
  EXPECT_FALSE(Contains(Run.Out, "unplugged")) << Run.Out;
  EXPECT_TRUE(Contains(Run.Out, "Served: 1, succeeded: 1\n")) << Run.Out;
}

TEST_F(SeveralCardsCommandTest, TheStationNeedsARecipeOfReadableImages) {
  EXPECT_EQ(Caddis({"station"}).Exit, ExitUsage);
  const tRun Missing = Caddis({"station", "--fpga", Runtime.Folder.File("none.bit")});
  EXPECT_EQ(Missing.Exit, ExitImage);
  EXPECT_TRUE(Contains(Missing.Err, "--fpga: cannot read " + Runtime.Folder.File("none.bit")))
      << Missing.Err;
}

}  // namespace
