// The service record: what one line says, where the record is, that it only grows, the
// bookkeeping of an update around a card session whose link is reopened on the way, and the
// record read back.
#include "session/ServiceRecord.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "hostlink/FakeComPort.h"
#include "hostlink/HostTestSupport.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "session/CardSession.h"
#include "session/HostLoop.h"
#include "session/ServiceRecordReader.h"
#include "session/Shutdown.h"
#include "support/Sha256.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::vector<std::string> Lines(const std::string& Path) {
  std::vector<std::string> Result;
  std::ifstream File(Path, std::ios::binary);
  for (std::string Line; std::getline(File, Line);)
    Result.push_back(Line);
  return Result;
}

tServiceEntry SampleEntry() {
  tServiceEntry Entry;
  Entry.Action = tRecordAction::FPGA;
  Entry.Program = "caddis";
  Entry.Start = std::chrono::system_clock::time_point(1765190347123ms);
  Entry.End = Entry.Start + 12345ms;
  Entry.DurationSeconds = 12.3454;
  Entry.HostName = "bench-3";
  Entry.Port = 5;
  Entry.Adapter = {"0403", "6001", "A10KJ3XQ", "FTDI FT232R USB UART"};
  Entry.Before = {true, 17, 3, "0104052026"};
  Entry.After = {true, 17, 3, "0105052026"};
  Entry.Image = {true, "/images/Skerry\xc3\xbc.bit", 1000, std::string(64, 'a'), ""};
  Entry.Result = sr_Failed;
  Entry.Failure = "the card answered FlashError (code 4)";
  Entry.Health.AddRoundTrip(1500us);
  Entry.Health.BytesSent = 1200;
  Entry.KeptFile = "/state/firmware/card17.dfu";
  Entry.KeptSHA256 = std::string(64, 'b');
  return Entry;
}

TEST(ServiceRecordTest, LineCarriesEveryFact) {
  const std::string Line = ServiceRecordLine(SampleEntry());
  EXPECT_EQ(Line.find('\n'), std::string::npos);
  const json J = json::parse(Line);
  EXPECT_EQ(J["Start"], "2025-12-08T10:39:07.123Z");
  EXPECT_EQ(J["End"], "2025-12-08T10:39:19.468Z");
  EXPECT_EQ(J["DurationSeconds"], 12.345);
  EXPECT_EQ(J["Program"], "caddis");
  EXPECT_EQ(J["ToolVersion"], ToolVersion());
  EXPECT_EQ(J["HostName"], "bench-3");
  EXPECT_EQ(J["Port"], 5);
  EXPECT_EQ(J["Adapter"], json({{"Vendor", "0403"},
                                {"Product", "6001"},
                                {"Serial", "A10KJ3XQ"},
                                {"Name", "FTDI FT232R USB UART"}}));
  EXPECT_EQ(J["DeviceID"], 17);
  EXPECT_EQ(J["Before"],
            json({{"DeviceID", 17}, {"FirmwareVersion", 3}, {"FPGAVersion", "0104052026"}}));
  EXPECT_EQ(J["After"]["FPGAVersion"], "0105052026");
  EXPECT_EQ(J["Image"], json({{"File", "Skerry\xc3\xbc.bit"},
                              {"Path", "/images/Skerry\xc3\xbc.bit"},
                              {"Size", 1000},
                              {"SHA256", std::string(64, 'a')}}));
  EXPECT_EQ(J["Action"], "update-fpga");
  EXPECT_EQ(J["Result"], "failed");
  EXPECT_EQ(J["Failure"], "the card answered FlashError (code 4)");
  EXPECT_EQ(J["LinkHealth"]["RoundTripMs"]["Last"], 1.5);
  EXPECT_EQ(J["LinkHealth"]["BytesSent"], 1200);
  EXPECT_EQ(J["KeptFirmware"]["SHA256"], std::string(64, 'b'));
}

TEST(ServiceRecordTest, WhatIsNotKnownIsNull) {
  tServiceEntry Entry = SampleEntry();
  Entry.Adapter = {};
  Entry.Before = {};
  Entry.Image.Known = false;
  Entry.Result = sr_Succeeded;
  Entry.Failure.clear();
  Entry.KeptFile.clear();
  Entry.Health = {};
  const json J = json::parse(ServiceRecordLine(Entry));
  EXPECT_TRUE(J["Adapter"].is_null());
  EXPECT_TRUE(J["Before"].is_null());
  // The card is named by its identity after the update when it had none before.
  EXPECT_EQ(J["DeviceID"], 17);
  EXPECT_TRUE(J["Image"]["SHA256"].is_null());
  EXPECT_TRUE(J["Image"]["Size"].is_null());
  EXPECT_EQ(J["Result"], "success");
  EXPECT_TRUE(J["Failure"].is_null());
  EXPECT_TRUE(J["KeptFirmware"].is_null());
  EXPECT_TRUE(J["LinkHealth"]["RoundTripMs"]["Mean"].is_null());
  Entry.After = {};
  EXPECT_TRUE(json::parse(ServiceRecordLine(Entry))["DeviceID"].is_null());
}

TEST(ServiceRecordTest, UtcStamps) {
  const auto Time = std::chrono::system_clock::time_point(951782400007ms);  // 29 Feb 2000
  EXPECT_EQ(UtcStamp(Time), "2000-02-29T00:00:00.007Z");
  EXPECT_EQ(UtcStamp(Time, true), "20000229T000000007Z");
  EXPECT_EQ(UtcStamp(std::chrono::system_clock::time_point(-1ms)), "1969-12-31T23:59:59.999Z");
  using namespace std::chrono;
  const sys_days Day = year(2026) / December / 8;
  EXPECT_EQ(UtcStamp(Day + hours(10) + minutes(39) + seconds(7) + milliseconds(123)),
            "2026-12-08T10:39:07.123Z");
}

TEST(ServiceRecordTest, AdapterIdentityFromThePortList) {
  struct tCase {
    std::string Text;
    tAdapterIdentity Identity;
  };
  const tCase Cases[] = {
      {"0403:6001 FTDI FT232R USB UART, serial A10KJ3XQ",
       {"0403", "6001", "A10KJ3XQ", "FTDI FT232R USB UART"}},
      {"067b:2303 Prolific USB-Serial Controller",
       {"067b", "2303", "", "Prolific USB-Serial Controller"}},
      {"1a86:7523, serial 12", {"1a86", "7523", "12", ""}},
      {"1a86:7523", {"1a86", "7523", "", ""}},
      {"", {}},
      {"not:usb", {}},
      {"0403:60011 too long", {}},
  };
  for (const tCase& Case : Cases) {
    const tAdapterIdentity Got = AdapterIdentityOf(Case.Text);
    EXPECT_EQ(Got.Vendor, Case.Identity.Vendor) << Case.Text;
    EXPECT_EQ(Got.Product, Case.Identity.Product) << Case.Text;
    EXPECT_EQ(Got.Serial, Case.Identity.Serial) << Case.Text;
    EXPECT_EQ(Got.Name, Case.Identity.Name) << Case.Text;
  }
}

// The state folder (on every system) and the record in the test's own folder.
class ServiceRecordFileTest : public ::testing::Test {
 protected:
  tTempFolder Folder;
  tScopedEnv State{"XDG_STATE_HOME", Folder.Path + "/state"};
  tScopedEnv LocalState{"LOCALAPPDATA", Folder.Path + "/state"};
  tScopedEnv NoRecord{"CADDIS_RECORD", ""};
};

TEST_F(ServiceRecordFileTest, PathGivenThenVariableThenStateFolder) {
  ASSERT_EQ(tPaths::StateFolder().rfind(Folder.Path + "/state/", 0), 0u);
  EXPECT_EQ(ServiceRecordPath(), tPaths::StateFolder() + "/service-record.jsonl");
  tScopedEnv Named("CADDIS_RECORD", Folder.File("named.jsonl"));
  EXPECT_EQ(ServiceRecordPath(), Folder.File("named.jsonl"));
  EXPECT_EQ(ServiceRecordPath(Folder.File("given.jsonl")), Folder.File("given.jsonl"));
}

TEST_F(ServiceRecordFileTest, LinesAreAppendedAndNothingIsLost) {
  // The default file's folder is made on the way.
  const std::string Path = ServiceRecordPath();
  std::string Error;
  ASSERT_TRUE(AppendServiceRecord(Path, SampleEntry(), Error)) << Error;
  // Whatever was there stays, even a last line without its end.
  { std::ofstream(Path, std::ios::app | std::ios::binary) << "cut off"; }
  tServiceEntry Second = SampleEntry();
  Second.Port = 6;
  ASSERT_TRUE(AppendServiceRecord(Path, Second, Error)) << Error;
  const auto Got = Lines(Path);
  ASSERT_EQ(Got.size(), 2u);
  EXPECT_EQ(Got[0], ServiceRecordLine(SampleEntry()));
  EXPECT_EQ(Got[1], "cut off" + ServiceRecordLine(Second));
}

TEST_F(ServiceRecordFileTest, RecordThatCannotBeWrittenSaysWhere) {
  const std::string Path = Folder.Path + "/missing/record.jsonl";
  std::string Error;
  EXPECT_FALSE(AppendServiceRecord(Path, SampleEntry(), Error));
  EXPECT_EQ(Error.rfind("cannot write the service record " + Path + ": ", 0), 0u) << Error;
}

TEST(ServiceRecordReaderTest, LinesAreKeptFilteredOrFoundDamaged) {
  struct tCase {
    const char* What;
    std::string Line;
    tHistoryFilter Filter;
    tHistoryLine Expected;
  };
  const std::string Good = ServiceRecordLine(SampleEntry());  // COM5, card 17
  const tCase Cases[] = {
      {"an update", Good, {}, hl_Kept},
      {"on the port asked for", Good, {5, -1}, hl_Kept},
      {"on another port", Good, {6, -1}, hl_Filtered},
      {"of the card asked for", Good, {0, 17}, hl_Kept},
      {"of another card", Good, {0, 18}, hl_Filtered},
      {"blank", "  \r", {}, hl_Blank},
      {"cut off half-way", Good.substr(0, Good.size() / 2), {}, hl_Damaged},
      {"not an object", "[1,2,3]", {}, hl_Damaged},
      {"no result", "{\"Start\":\"x\",\"Action\":\"update-fpga\"}", {}, hl_Damaged},
      {"a result that is no text",
       "{\"Start\":\"x\",\"Action\":\"a\",\"Result\":7}",
       {},
       hl_Damaged},
      // A field of the wrong kind is no match, and no crash.
      {"a port that is a text",
       "{\"Start\":\"x\",\"Action\":\"a\",\"Result\":\"success\",\"Port\":\"5\"}",
       {5, -1},
       hl_Filtered},
  };
  for (const tCase& Case : Cases) {
    tHistoryEntry Entry;
    EXPECT_EQ(ReadHistoryLine(Case.Line, Case.Filter, Entry), Case.Expected) << Case.What;
    if (Case.Expected == hl_Kept) {
      EXPECT_EQ(Entry.Line, Case.Line) << Case.What;
    }
  }
}

TEST_F(ServiceRecordFileTest, RecordIsReadBackLineByLine) {
  const std::string Path = Folder.File("record.jsonl");
  tHistoryFilter OnCom5{5, -1};
  std::vector<tHistoryEntry> Kept;
  std::vector<std::size_t> Damaged;
  auto Keep = [&Kept](tHistoryEntry& Entry) { Kept.push_back(Entry); };
  auto Skip = [&Damaged](std::size_t Number) { Damaged.push_back(Number); };
  std::string Error;
  EXPECT_EQ(ReadHistory(Path, OnCom5, Keep, Skip, Error), hr_NotFound);

  tServiceEntry OtherPort = SampleEntry();
  OtherPort.Port = 6;
  OtherPort.Before = {};
  OtherPort.Image = {};
  const std::string Good = ServiceRecordLine(SampleEntry());
  // A damaged line, a blank one, another port's update, and a last line without its end.
  std::ofstream(Path, std::ios::binary)
      << Good + "\n{\"Start\"\n\n" + ServiceRecordLine(OtherPort) + "\n" + Good;
  ASSERT_EQ(ReadHistory(Path, OnCom5, Keep, Skip, Error), hr_Read) << Error;
  EXPECT_EQ(Damaged, std::vector<std::size_t>{2});
  ASSERT_EQ(Kept.size(), 2u);
  const tHistoryEntry& Entry = Kept[1];
  EXPECT_EQ(Entry.Line, Good);
  EXPECT_EQ(Entry.Start, "2025-12-08T10:39:07.123Z");
  EXPECT_EQ(Entry.Action, "update-fpga");
  EXPECT_EQ(Entry.Result, "failed");
  EXPECT_EQ(Entry.Failure, "the card answered FlashError (code 4)");
  EXPECT_EQ(Entry.Port, 5);
  EXPECT_EQ(Entry.DeviceID, 17);
  EXPECT_TRUE(Entry.Before.Known);
  EXPECT_EQ(Entry.Before.FirmwareVersion, 3);
  EXPECT_EQ(Entry.After.FPGAVersion, "0105052026");
  EXPECT_EQ(Entry.ImageFile, "Skerry\xc3\xbc.bit");

  // Without a filter the other port's update is kept too, with what it lacks left unknown.
  Kept.clear();
  ASSERT_EQ(ReadHistory(Path, {}, Keep, nullptr, Error), hr_Read) << Error;
  ASSERT_EQ(Kept.size(), 3u);
  EXPECT_FALSE(Kept[1].Before.Known);
  EXPECT_EQ(Kept[1].ImageFile, std::nullopt);

  // A line longer than any record line is damaged even when well formed, whether a line end
  // follows it or not, and the line after it is read.
  const std::string Long =
      "{\"Start\":\"x\",\"Action\":\"a\",\"Result\":\"" + std::string(MaxHistoryLine, 'x') + "\"}";
  std::ofstream(Path, std::ios::binary) << Long + "\n" + Good + "\n" + Long;
  Kept.clear();
  Damaged.clear();
  ASSERT_EQ(ReadHistory(Path, {}, Keep, Skip, Error), hr_Read) << Error;
  EXPECT_EQ(Damaged, (std::vector<std::size_t>{1, 3}));
  ASSERT_EQ(Kept.size(), 1u);
  EXPECT_EQ(Kept[0].Line, Good);
}

// A session whose ports are stand-ins, for the bookkeeping around it.
class RecorderTest : public ServiceRecordFileTest {
 protected:
  RecorderTest() : Session([](std::chrono::milliseconds) { return true; }) {}
  void Identify(uint8_t Firmware, const std::string& FPGA) {
    std::vector<uint8_t> Payload = {17, Firmware};
    // The version's groups come last group first.
    for (const std::string& Part : {FPGA.substr(6, 4), FPGA.substr(2, 4), FPGA.substr(0, 2)})
      Payload.insert(Payload.end(), Part.begin(), Part.end());
    const tHostMessage Status =
        tHostFrame::MakeMessage(tHostId::Status, Payload.data(), Payload.size());
    std::array<uint8_t, tHostFrame::MaxFrameSize> Frame;
    const auto Size = tHostFrame::BuildFrame(Status, Frame);
    Factory.Last->Feed({Frame.begin(), Frame.begin() + static_cast<std::ptrdiff_t>(Size)});
    Session.Host->ServiceReceive();
  }

  tCapturedOutput Output;
  tScopedEnv Sys{"CADDIS_SYSFS_ROOT", Folder.Path + "/sys"};
  tScopedEnv Dev{"CADDIS_DEV_ROOT", Folder.Path + "/dev"};
  tScopedEnv Run{"CADDIS_RUNTIME_DIR", Folder.Path + "/run"};
  tFakePortFactory Factory;
  tCardSession Session;
};

TEST_F(RecorderTest, UpdateAcrossAReopenedLinkIsRecordedWhole) {
  const std::string Image = Folder.File("SkerryFPGA.bit");
  WriteFileBytes(Image, std::vector<uint8_t>(3000, 0x5A));
  ASSERT_TRUE(Session.Open(3));
  Identify(3, "0104052026");
  Session.Host->SendHeader(tHostId::Echo);  // traffic before the update is not counted

  tServiceRecorder Recorder("caddis", Folder.File("record.jsonl"));
  Recorder.Begin(Session, tRecordAction::FPGA, Image);
  EXPECT_TRUE(Recorder.Running());
  Session.Host->SendHeader(tHostId::Restart);  // 3 bytes on the first link
  Session.Close();
  ASSERT_TRUE(Session.Open(3));
  Session.Host->SendHeader(tHostId::Status);  // 3 more on the second
  Identify(4, "0105052026");
  std::string Error;
  ASSERT_TRUE(Recorder.Finish(Session, sr_Succeeded, "ignored on success", Error)) << Error;
  EXPECT_FALSE(Recorder.Running());

  const auto Got = Lines(Folder.File("record.jsonl"));
  ASSERT_EQ(Got.size(), 1u);
  const json J = json::parse(Got[0]);
  EXPECT_EQ(J["Port"], 3);
  EXPECT_EQ(J["HostName"], tEnvironment::HostName());
  EXPECT_EQ(J["Before"]["FirmwareVersion"], 3);
  EXPECT_EQ(J["Before"]["FPGAVersion"], "0104052026");
  EXPECT_EQ(J["After"]["FirmwareVersion"], 4);
  EXPECT_EQ(J["After"]["FPGAVersion"], "0105052026");
  EXPECT_EQ(J["Image"]["Size"], 3000);
  EXPECT_EQ(J["Image"]["SHA256"], tSha256::HexOf(std::vector<uint8_t>(3000, 0x5A)));
  EXPECT_EQ(J["Result"], "success");
  EXPECT_TRUE(J["Failure"].is_null());
  EXPECT_EQ(J["LinkHealth"]["BytesSent"], 6);
  EXPECT_GE(J["DurationSeconds"].get<double>(), 0.0);

  // Nothing more is written without a new Begin.
  ASSERT_TRUE(Recorder.Finish(Session, sr_Failed, "", Error));
  EXPECT_EQ(Lines(Folder.File("record.jsonl")).size(), 1u);
}

// From Begin to Finish an update holds off the end of the session, with its reason; a second
// recorder's update keeps the hold until it ends too, and one never finished lets go with it.
TEST_F(RecorderTest, AnUpdateHoldsOffTheEndOfTheSessionUntilItEnds) {
  tShutdown::Reset();
  std::vector<std::string> Holds;
  tShutdown::SetHold([&Holds](const std::string& Reason) { Holds.push_back(Reason); });
  ASSERT_TRUE(Session.Open(3));
  std::string Error;
  {
    tServiceRecorder First("caddis", Folder.File("record.jsonl"));
    tServiceRecorder Second("caddis", Folder.File("record.jsonl"));
    First.Begin(Session, tRecordAction::FPGA, "");
    Second.Begin(Session, tRecordAction::Firmware, "");
    ASSERT_TRUE(First.Finish(Session, sr_Succeeded, "", Error)) << Error;
    // Second is dropped unfinished.
  }
  tShutdown::SetHold({});
  const std::vector<std::string> Expected = {tShutdown::HoldReason(tRecordAction::FPGA),
                                             tShutdown::HoldReason(tRecordAction::FPGA),
                                             tShutdown::HoldReason(tRecordAction::Firmware), ""};
  EXPECT_EQ(Holds, Expected);
  EXPECT_NE(Expected[0].find(tRecordAction::FPGA), std::string::npos);
}

// An update the end of the session cut short says so; other results keep their own text.
TEST_F(RecorderTest, AnUpdateInterruptedByTheSessionsEndSaysSo) {
  struct tCase {
    bool Ending;
    tServiceResult Result;
    std::string Failure;
    std::string Recorded;  // "" : null
  };
  const tCase Cases[] = {
      {false, sr_Interrupted, "FPGA update interrupted at 42 %", "FPGA update interrupted at 42 %"},
      {true, sr_Interrupted, "FPGA update interrupted at 42 %",
       "interrupted by shutdown: FPGA update interrupted at 42 %"},
      {true, sr_Interrupted, "interrupted", "interrupted by shutdown"},
      {true, sr_Failed, "the card stopped answering", "the card stopped answering"},
      {true, sr_Succeeded, "", ""},
  };
  ASSERT_TRUE(Session.Open(3));
  for (const tCase& Case : Cases) {
    tShutdown::Reset();
    if (Case.Ending) tShutdown::SessionEnding();
    EXPECT_EQ(LoopStopRequested(), Case.Ending);
    const std::string Path = Folder.File("record.jsonl");
    int Ignored = 0;
    tFiles::Remove(Path, Ignored);
    tServiceRecorder Recorder("caddis", Path);
    Recorder.Begin(Session, tRecordAction::FPGA, "");
    std::string Error;
    ASSERT_TRUE(Recorder.Finish(Session, Case.Result, Case.Failure, Error)) << Error;
    const json J = json::parse(Lines(Path).at(0));
    if (Case.Recorded.empty())
      EXPECT_TRUE(J["Failure"].is_null()) << Case.Failure;
    else
      EXPECT_EQ(J["Failure"], Case.Recorded);
  }
  tShutdown::Reset();
}

TEST_F(RecorderTest, SessionKeepsTheHealthOfEveryLinkItHad) {
  ASSERT_TRUE(Session.Open(3));
  const uint32_t Opened = Session.Openings();
  Session.Host->SendHeader(tHostId::AYT);
  Factory.Last->IsHungUp = true;
  Session.Host->ServiceReceive();
  ASSERT_TRUE(Session.Open(3));  // a reopen replaces the host object
  Session.Host->SendHeader(tHostId::AYT);
  EXPECT_EQ(Session.Openings(), Opened + 1);
  EXPECT_EQ(Session.LinkHealth().BytesSent, 6u);
  EXPECT_EQ(Session.LinkHealth().HangUps, 1u);
  Session.Close();
  EXPECT_EQ(Session.LinkHealth().BytesSent, 6u);
  Session.ResetLinkHealth();
  EXPECT_EQ(Session.LinkHealth(), tLinkHealth{});
}

}  // namespace
