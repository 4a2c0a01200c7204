// What a release's facts do to the update flows, against the caddis-card-sim program: a card
// that already runs the release is left alone (and recorded as skipped), an older firmware is
// refused before Boot unless allowed, a release image that is not the one checked or not for
// this card is refused before the first packet; a new firmware that fails its proof is rolled
// back to the firmware kept before the download.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hostlink/OrvaneHost.h"
#include "lib/lmdfu/LMDFU.h"
#include "session/CardFlows.h"
#include "session/CardSessionFixture.h"
#include "session/DFUSession.h"
#include "session/FirmwareProof.h"
#include "sim/SimCard.h"
#include "sim/SimProcess.h"
#include "sim/SimRunner.h"
#include "sim/bootloader/DemoImage.h"
#include "support/Sha256.h"

namespace {

using namespace std::chrono_literals;

constexpr int Com = 44;
constexpr uint8_t CardID = 33;
constexpr const char* CardFPGA = "0104052026";
const std::vector<std::string> QuickCard{"--firmware", "12",           "--fpga-version",
                                         CardFPGA,     "--restart-ms", "200"};

// The service record's lines, parsed.
std::vector<nlohmann::json> RecordLines() {
  std::vector<nlohmann::json> Lines;
  std::istringstream In(FileText(ServiceRecordPath()));
  for (std::string Line; std::getline(In, Line);)
    if (!Line.empty()) Lines.push_back(nlohmann::json::parse(Line));
  return Lines;
}

tReleaseFacts Release() {
  return {"Caddis 2026.12",     "2026.12",           "/releases/caddis-2026.12.zip",
          std::string(64, 'a'), "RWQ0123456789ABCD", true};
}

struct tLines : tFlowReport {
  std::vector<std::string> Said;
  void Line(const std::string& Text) override { Said.push_back(Text); }
  bool Says(const std::string& Part) const {
    for (const auto& Each : Said)
      if (Each.find(Part) != std::string::npos) return true;
    return false;
  }
  std::string All() const {
    std::string Text;
    for (const auto& Each : Said)
      Text += Each + "\n";
    return Text;
  }
};

class ReleaseFixture : public tCardSessionFixture {
 protected:
  std::string WriteImage(const std::string& Name, const std::vector<uint8_t>& Bytes) {
    const std::string Path = Runtime.Folder.File(Name);
    WriteFileBytes(Path, Bytes);
    return Path;
  }
  tImageUpdateRequest FPGARequest(const std::string& File) {
    tImageUpdateRequest Request;
    Request.Port = Com;
    Request.File = File;
    Request.Record.Program = "test";
    return Request;
  }
  tFirmwareRequest FirmwareRequest(const std::string& File) {
    tFirmwareRequest Request;
    Request.Port = Com;
    Request.File = File;
    Request.Record.Program = "test";
    Request.ReturnTimeout = 5s;
    Request.Proof.Settle = 300ms;
    return Request;
  }
  // The card's firmware and FPGA versions as it reports them now.
  std::pair<int, std::string> CardNow() {
    OpenIdentified(Com);
    std::pair<int, std::string> Now{Session.Host->FirmwareVersion, Session.Host->FPGAVersion};
    Session.Close();
    return Now;
  }
  bool BootLoaderOnUsb() {
    tDFUFilter Filter;
    Filter.Serial = SimDFUSerial(Com);
    return SearchDFUDevices(Filter).size() == 1;
  }
};

// ---- The version policy ----------------------------------------------------------------------

struct tVersionCase {
  const char* Name;
  bool Firmware;  // a firmware update (else FPGA)
  // Sets the request's release facts; Image is the path of the image it names.
  std::function<void(tImageUpdateRequest&, const std::string& Image)> FPGA;
  std::function<void(tFirmwareRequest&, const std::string& Image)> Dfu;
  int ImageVersion;       // the firmware image's version byte
  const char* ImageFPGA;  // the FPGA image's version text
  bool Ok;                // the flow's outcome
  tFailKind Kind;         // when it failed
  const char* Says;       // in the outcome's text or the operator's lines
  const char* Result;     // the record's Result, nullptr: no line
  bool Sent;              // the card received the image (FPGA) or Boot (firmware)
  int FirmwareThen;       // what the card runs afterwards
  const char* FPGAThen;
};

std::string Sha256Of(const std::string& Path) {
  return tSha256::HexOf(FileBytes(Path));
}

const tVersionCase VersionCases[] = {
    {"FPGACurrentIsSkipped",
     false,
     [](tImageUpdateRequest& R, const std::string&) { R.ExpectedVersion = CardFPGA; },
     {},
     0,
     CardFPGA,
     true,
     fk_Failure,
     "FPGA already current (version 0104052026)",
     "skipped",
     false,
     12,
     CardFPGA},
    {"FPGAForcedIsSent",
     false,
     [](tImageUpdateRequest& R, const std::string&) {
       R.ExpectedVersion = CardFPGA;
       R.Force = true;
     },
     {},
     0,
     CardFPGA,
     true,
     fk_Failure,
     "FPGA updated successfully",
     "success",
     true,
     12,
     CardFPGA},
    {"FPGANewerIsSentAndReported",
     false,
     [](tImageUpdateRequest& R, const std::string& Image) {
       R.ExpectedVersion = "0201122026";
       R.ExpectedSHA256 = Sha256Of(Image);
       R.DeviceIDs = {CardID, 34};
     },
     {},
     0,
     "0201122026",
     true,
     fk_Failure,
     "FPGA updated successfully",
     "success",
     true,
     12,
     "0201122026"},
    {"FPGAReportingAnotherVersionFails",
     false,
     [](tImageUpdateRequest& R, const std::string&) { R.ExpectedVersion = "0201122026"; },
     {},
     0,
     "0201122099",
     false,
     fk_Verify,
     "the card reports FPGA version 0201122099 after the update, not the release's version "
     "0201122026",
     "failed",
     true,
     12,
     "0201122099"},
    {"FPGAChangedSinceCheckedIsRefusedBeforeTheFirstPacket",
     false,
     [](tImageUpdateRequest& R, const std::string&) {
       R.ExpectedVersion = "0201122026";
       R.ExpectedSHA256 = std::string(64, '0');
     },
     {},
     0,
     "0201122026",
     false,
     fk_Image,
     "is not the release's image",
     nullptr,
     false,
     12,
     CardFPGA},
    {"FPGAForAnotherCardIsRefusedBeforeTheFirstPacket",
     false,
     [](tImageUpdateRequest& R, const std::string&) {
       R.DeviceIDs = {21, 22};
     },
     {},
     0,
     "0201122026",
     false,
     fk_Image,
     "fits device IDs 21, 22; the card on COM44 is device ID 33",
     nullptr,
     false,
     12,
     CardFPGA},
    {"FirmwareCurrentIsSkipped",
     true,
     {},
     [](tFirmwareRequest& R, const std::string&) { R.ExpectedVersion = 12; },
     12,
     nullptr,
     true,
     fk_Failure,
     "Firmware already current (version 12)",
     "skipped",
     false,
     12,
     CardFPGA},
    {"FirmwareOlderIsRefusedBeforeBoot",
     true,
     {},
     [](tFirmwareRequest& R, const std::string&) { R.ExpectedVersion = 9; },
     9,
     nullptr,
     false,
     fk_Refused,
     "holds firmware version 9, older than the card's version 12",
     nullptr,
     false,
     12,
     CardFPGA},
    {"FirmwareOlderAllowedIsADowngrade",
     true,
     {},
     [](tFirmwareRequest& R, const std::string&) {
       R.ExpectedVersion = 9;
       R.AllowDowngrade = true;
     },
     9,
     nullptr,
     true,
     fk_Failure,
     "Device updated successfully",
     "success",
     true,
     9,
     CardFPGA},
    {"FirmwareNewerIsSent",
     true,
     {},
     [](tFirmwareRequest& R, const std::string& Image) {
       R.ExpectedVersion = 13;
       R.ExpectedSHA256 = Sha256Of(Image);
       R.DeviceIDs = {CardID};
     },
     13,
     nullptr,
     true,
     fk_Failure,
     "Device updated successfully",
     "success",
     true,
     13,
     CardFPGA},
    {"FirmwareCurrentForcedIsSent",
     true,
     {},
     [](tFirmwareRequest& R, const std::string&) {
       R.ExpectedVersion = 12;
       R.Force = true;
     },
     12,
     nullptr,
     true,
     fk_Failure,
     "Device updated successfully",
     "success",
     true,
     12,
     CardFPGA},
    {"FirmwareForAnotherCardIsRefusedBeforeBoot",
     true,
     {},
     [](tFirmwareRequest& R, const std::string&) { R.DeviceIDs = {7}; },
     13,
     nullptr,
     false,
     fk_Image,
     "fits device IDs 7; the card on COM44 is device ID 33",
     nullptr,
     false,
     12,
     CardFPGA},
};

class VersionPolicyTest : public ReleaseFixture,
                          public ::testing::WithParamInterface<tVersionCase> {};

TEST_P(VersionPolicyTest, TheCardGetsOnlyWhatItDoesNotRunYet) {
  const tVersionCase& Case = GetParam();
  StartCard(Com, QuickCard);
  tLines Report;
  tFlowOutcome Outcome;
  if (Case.Firmware) {
    const std::string Image = WriteImage("fw.dfu", dfu::MakeDemoImage(Case.ImageVersion, 20000));
    tFirmwareRequest Request = FirmwareRequest(Image);
    Request.Release = Release();
    Case.Dfu(Request, Image);
    Outcome = RunFlow(FirmwareUpdateFlow(Session, Report, Request), &Session.Host);
  } else {
    const std::string Image = WriteImage("fpga.bit", MakeVersionedFPGAImage(Case.ImageFPGA, 6000));
    tImageUpdateRequest Request = FPGARequest(Image);
    Request.Release = Release();
    Case.FPGA(Request, Image);
    Outcome = RunFlow(ImageUpdateFlow(Session, Report, Request), &Session.Host);
  }
  Session.Close();
  EXPECT_EQ(Outcome.Ok, Case.Ok) << Outcome.Text << "\n" << Report.All();
  if (!Case.Ok) {
    EXPECT_EQ(Outcome.Kind, Case.Kind) << Outcome.Text;
  }
  EXPECT_TRUE(Outcome.Text.find(Case.Says) != std::string::npos || Report.Says(Case.Says))
      << Outcome.Text << "\n"
      << Report.All();
  // The refusals and skips happen before the card is touched: its log shows no image and no
  // Boot.
  const std::string SimLog = Sim->Output();
  const char* Touched = Case.Firmware ? "Boot: COM44 leaves" : "FPGA image received";
  EXPECT_EQ(SimLog.find(Touched) != std::string::npos, Case.Sent) << SimLog;
  const auto Lines = RecordLines();
  if (!Case.Result) {
    EXPECT_TRUE(Lines.empty()) << FileText(ServiceRecordPath());
  } else {
    ASSERT_EQ(Lines.size(), 1u) << FileText(ServiceRecordPath());
    EXPECT_EQ(Lines[0]["Result"], Case.Result);
    EXPECT_EQ(Lines[0]["Release"]["Version"], "2026.12");
    EXPECT_EQ(Lines[0]["Release"]["Signed"], true);
    EXPECT_EQ(Lines[0]["Downgrade"], Case.Firmware && Case.ImageVersion < 12 && Case.Sent);
  }
  const auto [Firmware, FPGA] = CardNow();
  EXPECT_EQ(Firmware, Case.FirmwareThen);
  EXPECT_EQ(FPGA, Case.FPGAThen);
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionPolicyTest, ::testing::ValuesIn(VersionCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// The card does not report its USB-audio image: the record's newest successful update of this
// card says whether it runs the release's.
TEST_F(ReleaseFixture, USBAudioIsSkippedWhenTheRecordShowsTheReleasesImage) {
  StartCard(Com, QuickCard);
  const std::string Release1 = WriteImage("xmos-1.bin", std::vector<uint8_t>(3000, 0x11));
  const std::string Release2 = WriteImage("xmos-2.bin", std::vector<uint8_t>(3000, 0x22));
  const tAdapterIdentity ThisAdapter{"0403", "6001", "A10KJ3XQ", "FT232R USB UART"};
  const tAdapterIdentity OtherAdapter{"0403", "6001", "B20LK4YR", "FT232R USB UART"};
  auto Update = [&](const std::string& Image, bool WithRelease) {
    tImageUpdateRequest Request = FPGARequest(Image);
    Request.Kind = ik_USBAudio;
    Request.What = "USB Audio";
    if (WithRelease) Request.ExpectedSHA256 = Sha256Of(Image);
    tLines Report;
    const tFlowOutcome Outcome = RunFlow(ImageUpdateFlow(Session, Report, Request), &Session.Host);
    Session.Close();
    EXPECT_TRUE(Outcome.Ok) << Outcome.Text;
    return RecordLines().back()["Result"].get<std::string>();
  };
  auto Behind = [&](const tAdapterIdentity& Adapter) {
    Session.AdapterOf = [Adapter](int32_t) { return Adapter; };
  };
  Behind(ThisAdapter);
  // Without a release the image is sent as always, also again.
  EXPECT_EQ(Update(Release1, false), "success");
  EXPECT_EQ(Update(Release1, false), "success");
  // With one: the same image as last time is skipped, another is sent, and then that one is
  // the card's.
  EXPECT_EQ(Update(Release1, true), "skipped");
  EXPECT_EQ(Update(Release2, true), "success");
  EXPECT_EQ(Update(Release2, true), "skipped");
  // Another card of the same type (another adapter) has no line of its own yet.
  Behind(OtherAdapter);
  EXPECT_EQ(Update(Release2, true), "success");
  // A port that names no adapter cannot tell this card from the others: sent.
  Behind({});
  EXPECT_EQ(Update(Release2, true), "success");
  // An update that failed after the one that succeeded leaves the card's image unknown: sent.
  Behind(ThisAdapter);
  tServiceEntry Failed;
  Failed.Action = tRecordAction::USBAudio;
  Failed.Port = Com;
  Failed.Adapter = ThisAdapter;
  Failed.Before = {true, CardID, 12, CardFPGA};
  Failed.Image = ImageFactsOf(Release2);
  Failed.Result = sr_Failed;
  Failed.Failure = "the card stopped answering";
  std::string Error;
  ASSERT_TRUE(AppendServiceRecord(ServiceRecordPath(), Failed, Error)) << Error;
  EXPECT_EQ(Update(Release2, true), "success");
  EXPECT_EQ(Update(Release2, true), "skipped");
  const std::string SimLog = Sim->Output();
  std::size_t Received = 0;
  for (auto At = SimLog.find("USB-audio image received"); At != std::string::npos;
       At = SimLog.find("USB-audio image received", At + 1))
    ++Received;
  EXPECT_EQ(Received, 6u) << SimLog;
}

// ---- The proof after a firmware download, and the rollback -----------------------------------

struct tRollbackCase {
  const char* Name;
  std::vector<std::string> SimArgs;  // besides QuickCard
  std::function<void(tFirmwareRequest&)> Set;
  const char* Reason;  // in the outcome and the record's Failure
  const char* Result;  // the record's
  const char* Ending;  // in the outcome's text
  int FirmwareThen;    // -1: the card is left in its boot loader
};

const tRollbackCase RollbackCases[] = {
    {"NeverStarts",
     {"--firmware-fault", "13:never-starts"},
     {},
     "the new firmware did not start: the card stayed in its boot loader (serial SIM00044)",
     "rolled-back",
     "rolled back to firmware version 12",
     12},
    {"ReportsAnotherVersion",
     {"--firmware-fault", "13:wrong-version"},
     {},
     "the card reports firmware version 14 after the update, not the image's version 13",
     "rolled-back",
     "rolled back to firmware version 12",
     12},
    {"FailsTheVoltageLimits",
     {"--firmware-fault", "13:low-voltage"},
     [](tFirmwareRequest& R) {
       R.Proof.Limits.VoltageMin[0] = 4.5;
       R.Proof.Limits.VoltageMax[0] = 5.5;
       R.Proof.Limits.TemperatureMax = 70;
     },
     "supply voltage 0 is 2.",
     "rolled-back",
     "rolled back to firmware version 12",
     12},
    {"MissesAKeepAlive",
     {"--firmware-fault", "13:drops-keepalive"},
     {},
     "the card left a keep-alive unanswered",
     "rolled-back",
     "rolled back to firmware version 12",
     12},
    {"LeftAsItIsWithoutRollback",
     {"--firmware-fault", "13:wrong-version"},
     [](tFirmwareRequest& R) { R.Proof.Rollback = false; },
     "the card reports firmware version 14 after the update",
     "failed",
     "left as it is (--no-rollback)",
     14},
    {"RollbackDownloadFails",
     {"--firmware-fault", "13:never-starts", "--dfu-fault", "status-error@2", "--dfu-fault-visit",
      "2"},
     {},
     "the new firmware did not start",
     "failed",
     "the rollback failed: ",
     -1},
    {"AGoodFirmwareStays",
     {"--firmware-fault", "9:never-starts"},
     {},
     nullptr,
     "success",
     nullptr,
     13},
};

class RollbackTest : public ReleaseFixture, public ::testing::WithParamInterface<tRollbackCase> {};

TEST_P(RollbackTest, AFirmwareThatFailsItsProofGoesBackToTheKeptOne) {
  const tRollbackCase& Case = GetParam();
  std::vector<std::string> Args = QuickCard;
  Args.insert(Args.end(), Case.SimArgs.begin(), Case.SimArgs.end());
  StartCard(Com, Args);
  const std::string Image = WriteImage("fw.dfu", dfu::MakeDemoImage(13, 20000));
  tFirmwareRequest Request = FirmwareRequest(Image);
  Request.ExpectedVersion = 13;
  if (Case.Set) Case.Set(Request);
  tLines Report;
  const tFlowOutcome Outcome = RunFlow(FirmwareUpdateFlow(Session, Report, Request), &Session.Host);
  const std::string SimLog = Sim->Output();
  if (!Case.Reason) {
    EXPECT_TRUE(Outcome.Ok) << Outcome.Text << "\n" << SimLog;
  } else {
    EXPECT_FALSE(Outcome.Ok);
    EXPECT_EQ(Outcome.Kind, fk_Verify) << Outcome.Text;
    EXPECT_NE(Outcome.Text.find(Case.Reason), std::string::npos) << Outcome.Text << "\n" << SimLog;
    EXPECT_NE(Outcome.Text.find(Case.Ending), std::string::npos) << Outcome.Text;
  }
  const auto Lines = RecordLines();
  ASSERT_EQ(Lines.size(), 1u) << FileText(ServiceRecordPath());
  EXPECT_EQ(Lines[0]["Result"], Case.Result) << Lines[0].dump();
  EXPECT_EQ(Lines[0]["Action"], "update-firmware");
  if (Case.Reason) {
    const std::string Failure = Lines[0]["Failure"];
    EXPECT_NE(Failure.find(Case.Reason), std::string::npos) << Failure;
    // A rollback that failed names its own failure too.
    if (Case.FirmwareThen < 0) {
      EXPECT_NE(Failure.find("the rollback failed"), std::string::npos) << Failure;
      EXPECT_NE(Failure.find("is in its USB DFU boot loader (serial SIM00044)"), std::string::npos)
          << Failure;
    }
  }
  if (Case.FirmwareThen < 0) {
    Session.Close();
    EXPECT_TRUE(BootLoaderOnUsb()) << SimLog;
    return;
  }
  Session.Close();
  EXPECT_EQ(CardNow().first, Case.FirmwareThen) << SimLog;
}

INSTANTIATE_TEST_SUITE_P(Cases, RollbackTest, ::testing::ValuesIn(RollbackCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// The limits as the proof reads them: each reading against its own limits, the ones not
// given left unchecked.
TEST(HealthLimits, EveryReadingOutsideItsLimitsIsNamed) {
  const std::array<float, OrvaneVoltageCount> Nominal{5.0f, 7.0f, 15.0f, 3.3f, 1.8f, 1.2f, 1.0f};
  tHealthLimits Limits;
  EXPECT_TRUE(Limits.Empty());
  EXPECT_EQ(LimitsFailure(Limits, 200, Nominal), "");
  Limits.VoltageMin[3] = 3.2;
  Limits.VoltageMax[3] = 3.4;
  Limits.TemperatureMax = 60;
  EXPECT_FALSE(Limits.Empty());
  EXPECT_EQ(LimitsFailure(Limits, 41, Nominal), "");
  auto Low = Nominal;
  Low[3] = 3.0f;
  EXPECT_EQ(LimitsFailure(Limits, 61, Low),
            "the temperature is 61.0 C, above its limit 60.0 C, supply voltage 3 is 3.0 V, below "
            "its limit 3.2 V");
  Limits = {};
  Limits.TemperatureMin = 0;
  EXPECT_EQ(LimitsFailure(Limits, -5, Nominal), "the temperature is -5.0 C, below its limit 0.0 C");
}

}  // namespace
