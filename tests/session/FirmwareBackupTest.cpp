// The card's firmware kept before an update: read back from the boot loader, kept as an image
// with its SHA-256, found again for its card, checked before it goes back; and end to end,
// a firmware update that keeps the old image and caddis restore bringing it back.
#include "session/FirmwareBackup.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "RunProgram.h"
#include "cli/Outcome.h"
#include "hostlink/OrvaneHost.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "lib/lmdfu/DFUTestSupport.h"
#include "session/CardSession.h"
#include "session/CardSessionFixture.h"
#include "sim/SimProcess.h"
#include "sim/bootloader/DemoImage.h"
#include "support/Sha256.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> FolderNames(const std::string& Folder) {
  std::vector<std::string> Names;
  int Code = 0;
  tFiles::ListFolder(Folder, Names, Code);
  std::sort(Names.begin(), Names.end());
  return Names;
}

const tCardFacts Card17{true, 17, 12, "0104052026"};

void WriteFileText(const std::string& Path, const std::string& Text) {
  WriteFileBytes(Path, {Text.begin(), Text.end()});
}

class FirmwareBackupTest : public ::testing::Test, public tCardBus {
 protected:
  void SetUp() override { ASSERT_EQ(LMDFUInit(), lm_Ok); }
  tDFUDeviceEntry Find(const std::string& Serial) {
    tDFUFilter Filter;
    Filter.Serial = Serial;
    const auto Found = SearchDFUDevices(Filter);
    EXPECT_EQ(Found.size(), 1u);
    return Found.empty() ? tDFUDeviceEntry{} : Found.front();
  }
  std::string Kept() const { return Runtime.Folder() + "/kept"; }
};

TEST_F(FirmwareBackupTest, KeepsTheFirmwareAsAnImageTheBootLoaderTakesBack) {
  dfu::tVirtualDFUOptions Options;
  Options.Firmware = dfu::MakeDemoFirmware(12, 5000);
  auto& Device = StartDevice(Options);
  std::vector<std::string> Phases;
  tKeptFirmware Firmware;
  std::string Error;
  ASSERT_TRUE(KeepFirmware(
      Find("SIM00001"), Card17, [&](const tDFUProgress& P) { Phases.push_back(P.Phase()); },
      Firmware, Error, Kept()))
      << Error;

  const std::string Name = Firmware.Path.substr(Kept().size() + 1);
  EXPECT_EQ(Name.rfind("card17-", 0), 0u) << Name;
  EXPECT_EQ(Name.substr(Name.size() - 9), "-fw12.dfu") << Name;
  const auto Bytes = FileBytes(Firmware.Path);
  ASSERT_EQ(Bytes.size(), 5000u + dfu::SuffixMinLength);
  EXPECT_EQ(std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + 5000), Options.Firmware);
  EXPECT_EQ(dfu::CheckImage(Bytes, CardVendorID, CardProductID, false), dfu::sv_Ok);
  EXPECT_EQ(Firmware.Size, Bytes.size());
  EXPECT_EQ(Firmware.SHA256, tSha256::HexOf(Bytes));
  EXPECT_EQ(FileText(Firmware.Path + ".sha256"), Firmware.SHA256 + "  " + Name + "\n");
  // The card it came from: its device ID and its boot loader's serial.
  tKeptCard From;
  ASSERT_TRUE(ReadKeptCard(Firmware.Path, From, Error)) << Error;
  EXPECT_EQ(From.DeviceID, 17);
  EXPECT_EQ(From.BootLoaderSerial, "SIM00001");
  EXPECT_FALSE(From.Adapter.Known());
  EXPECT_FALSE(Phases.empty());
  EXPECT_EQ(Phases.back(), "Reading");
  // The card waits in its boot loader for the download.
  EXPECT_EQ(Device.State(), dfu::st_DfuIdle);
  EXPECT_EQ(RestartCount(), 0u);
  std::string Why;
  EXPECT_TRUE(CheckKeptFirmware(Firmware.Path, Why)) << Why;
}

TEST_F(FirmwareBackupTest, NothingIsLeftBehindWhenNothingCouldBeKept) {
  dfu::tVirtualDFUOptions Options;
  Options.Attributes = dfu::AttrCanDnload | dfu::AttrManifestationTolerant;
  StartDevice(Options);
  tKeptFirmware Firmware;
  std::string Error;
  EXPECT_FALSE(KeepFirmware(Find("SIM00001"), Card17, {}, Firmware, Error, Kept()));
  EXPECT_EQ(Error.rfind("Reading the card's firmware failed: Upload error -10", 0), 0u) << Error;
  EXPECT_TRUE(FolderNames(Kept()).empty());
  // A card that never identified itself gives its firmware no name.
  EXPECT_FALSE(KeepFirmware(Find("SIM00001"), tCardFacts{}, {}, Firmware, Error, Kept()));
  EXPECT_NE(Error.find("not identified itself"), std::string::npos) << Error;
}

// The newest image of the card: its device ID, and its port's adapter where the image names
// one; an image that names no card is taken only for any card.
TEST_F(FirmwareBackupTest, TheNewestImageOfTheCardIsFound) {
  std::filesystem::create_directories(Kept());
  auto Keep = [&](const std::string& Name, const char* CardLine) {
    WriteFileBytes(Kept() + "/" + Name, {1});
    if (CardLine) WriteFileText(Kept() + "/" + Name + ".card", CardLine);
  };
  const char* OnA = R"({"DeviceID":17,"BootLoaderSerial":"S1","Adapter":{"Vendor":"0403",)"
                    R"("Product":"6001","Serial":"A","Name":""}})";
  const char* OnB = R"({"DeviceID":17,"BootLoaderSerial":"S2","Adapter":{"Vendor":"0403",)"
                    R"("Product":"6001","Serial":"B","Name":""}})";
  Keep("card17-20261208T103907123Z-fw12.dfu", OnA);
  Keep("card17-20261209T080000000Z-fw13.dfu", OnB);
  Keep("card17-20261210T080000000Z-fw14.dfu", nullptr);
  Keep("card170-20271231T000000000Z-fw1.dfu", R"({"DeviceID":170,"BootLoaderSerial":"S3"})");
  Keep("card1-20271231T000000000Z-fw1.dfu", R"({"DeviceID":1,"BootLoaderSerial":"S4"})");
  WriteFileBytes(Kept() + "/notes.txt", {1});
  const tAdapterIdentity A{"0403", "6001", "A", ""}, B{"0403", "6001", "B", ""};
  struct tCase {
    tCardIdentity Card;
    bool AnyCard;
    std::string Newest;  // "" none
  } const Cases[] = {
      {{17, A}, false, "card17-20261208T103907123Z-fw12.dfu"},
      {{17, B}, false, "card17-20261209T080000000Z-fw13.dfu"},
      {{17, {"0403", "6001", "C", ""}}, false, ""},
      {{17, {}}, false, ""},  // the images name adapters this port does not have
      {{17, {}}, true, "card17-20261210T080000000Z-fw14.dfu"},
      {{1, {}}, false, "card1-20271231T000000000Z-fw1.dfu"},
      {{5, {}}, true, ""},
  };
  for (const tCase& Case : Cases)
    EXPECT_EQ(NewestKeptFirmware(Case.Card, Kept(), Case.AnyCard),
              Case.Newest.empty() ? "" : Kept() + "/" + Case.Newest)
        << CardIdentityText(Case.Card) << (Case.AnyCard ? " any card" : "");
  EXPECT_EQ(NewestKeptFirmware({17, A}, Kept() + "/absent"), "");
}

TEST_F(FirmwareBackupTest, AKeptImageThatChangedIsRefused) {
  std::filesystem::create_directories(Kept());
  const std::string Path = Kept() + "/card17-x.dfu";
  std::vector<uint8_t> Image(3000, 0x11);
  WriteFileBytes(Path, Image);
  std::string Error;
  EXPECT_FALSE(CheckKeptFirmware(Path, Error)) << "an image without its SHA-256 file";
  EXPECT_NE(Error.find("card17-x.dfu.sha256 is missing"), std::string::npos) << Error;
  const std::string Line = tSha256::HexOf(Image) + "  card17-x.dfu\n";
  WriteFileBytes(Path + ".sha256", {Line.begin(), Line.end()});
  EXPECT_TRUE(CheckKeptFirmware(Path, Error)) << Error;
  Image[1234] ^= 0x01;
  WriteFileBytes(Path, Image);
  EXPECT_FALSE(CheckKeptFirmware(Path, Error));
  EXPECT_NE(Error.find("has changed since it was kept"), std::string::npos) << Error;
  WriteFileBytes(Path + ".sha256", {'a', 'b'});
  EXPECT_FALSE(CheckKeptFirmware(Path, Error));
  EXPECT_NE(Error.find("holds no SHA-256"), std::string::npos) << Error;
}

// The whole flow against the caddis-card-sim program. The firmware update's steps are driven
// through the session here (the command line's update-firmware runs the same ones); the
// restore is the caddis program's.
class FirmwareRestoreTest : public tCardSessionFixture {
 protected:
  // Boot, the card's boot loader, and its firmware kept in Folder (empty: the default).
  tKeptFirmware BootAndKeep(const std::string& Folder, tDFUDeviceEntry& Loader) {
    const tCardFacts Card = CardFactsOf(Session.Host.get());
    std::string Error;
    tKeptFirmware Kept;
    EXPECT_TRUE(Run(BootToLoaderFlow(Session, {}, 10s, Loader), Error)) << Error;
    EXPECT_TRUE(KeepFirmware(Loader, Card, {}, Kept, Error, Folder)) << Error;
    return Kept;
  }

  static constexpr int Com = 36;
};

TEST_F(FirmwareRestoreTest, AnUpdateKeepsTheOldFirmwareAndRestoreBringsItBackByteForByte) {
  ASSERT_EQ(LMDFUInit(), lm_Ok);
  StartCard(Com, {"--firmware", "12"});
  // What the simulated card runs at start: its firmware version 12, 32 KiB.
  const std::vector<uint8_t> Original = dfu::MakeDemoFirmware(12, 32 * 1024);

  // The update: Boot, the old firmware kept, the new one downloaded, the card back with it.
  OpenIdentified(Com);
  const uint8_t DeviceID = Session.Host->DeviceID;
  tDFUDeviceEntry Loader;
  const tKeptFirmware Kept = BootAndKeep("", Loader);
  ASSERT_FALSE(Kept.Path.empty());
  EXPECT_EQ(Kept.Path.rfind(KeptFirmwareFolder() + "/card" + std::to_string(DeviceID) + "-", 0), 0u)
      << Kept.Path;
  const auto KeptBytes = FileBytes(Kept.Path);
  ASSERT_EQ(KeptBytes.size(), Original.size() + dfu::SuffixMinLength);
  EXPECT_TRUE(std::equal(Original.begin(), Original.end(), KeptBytes.begin()));
  const std::string NewPath = Runtime.Folder.File("new.dfu");
  WriteFileBytes(NewPath, dfu::MakeDemoImage(5, 20000));
  tDFUImage NewImage;
  ASSERT_EQ(NewImage.Load(NewPath), tDFUImage::il_Loaded);
  std::string Error;
  ASSERT_TRUE(DownloadFirmware(Loader, NewImage, "new.dfu", true, {}, Error)) << Error;
  ASSERT_TRUE(Run(WaitForCardFlow(Session, 20s), Error)) << Error;
  ASSERT_EQ(Session.Host->FirmwareVersion, 5);
  Session.Close();

  // caddis restore finds the newest image kept for this card and puts it back.
  const tProgramRun Restore = RunProgram({CADDIS_PATH, "restore", "--port", std::to_string(Com)},
                                         Runtime.Folder.File("restore.out"), 120s);
  ASSERT_EQ(Restore.Exit, 0) << Restore.Output;
  EXPECT_TRUE(Restore.Says("Restoring " + Kept.Path)) << Restore.Output;
  EXPECT_TRUE(Restore.Says("Card back on COM" + std::to_string(Com) + ": device ID " +
                           std::to_string(DeviceID) + ", firmware version 12"))
      << Restore.Output;

  // Byte for byte: what the card holds now, read back once more, is the original firmware.
  OpenIdentified(Com);
  EXPECT_EQ(Session.Host->FirmwareVersion, 12);
  const tKeptFirmware Again = BootAndKeep(Runtime.Folder.File("check"), Loader);
  EXPECT_EQ(FileBytes(Again.Path), KeptBytes);
  EXPECT_TRUE(LeaveDFUMode(Loader.Index));
  ASSERT_TRUE(Run(WaitForCardFlow(Session, 20s), Error)) << Error;

  // The restore is in the service record, with the image it wrote.
  const auto Line = nlohmann::json::parse(FileText(ServiceRecordPath()));
  EXPECT_EQ(Line["Action"], "restore-firmware");
  EXPECT_EQ(Line["Result"], "success");
  EXPECT_EQ(Line["Before"]["FirmwareVersion"], 5);
  EXPECT_EQ(Line["After"]["FirmwareVersion"], 12);
  EXPECT_EQ(Line["Image"]["SHA256"], Kept.SHA256);
  EXPECT_EQ(Line["Port"], Com);
}

TEST_F(FirmwareRestoreTest, RestoreRefusesAChangedImageBeforeTheCardLeavesItsLink) {
  StartCard(Com, {"--firmware", "12"});
  const std::string Image = Runtime.Folder.File("card.dfu");
  const auto Bytes = dfu::MakeDemoImage(7, 4000);
  WriteFileBytes(Image, Bytes);
  const std::string Line = std::string(64, '0') + "  card.dfu\n";
  WriteFileBytes(Image + ".sha256", {Line.begin(), Line.end()});
  const tProgramRun Run =
      RunProgram({CADDIS_PATH, "restore", "--port", std::to_string(Com), "--file", Image},
                 Runtime.Folder.File("restore.out"), 60s);
  EXPECT_EQ(Run.Exit, ExitImage) << Run.Output;
  EXPECT_TRUE(Run.Says("has changed since it was kept")) << Run.Output;
  EXPECT_FALSE(Run.Says("Boot sent")) << Run.Output;
  // No kept image at all for this card: said, and nothing done.
  const tProgramRun None = RunProgram({CADDIS_PATH, "restore", "--port", std::to_string(Com)},
                                      Runtime.Folder.File("none.out"), 60s);
  EXPECT_EQ(None.Exit, ExitImage) << None.Output;
  EXPECT_TRUE(None.Says("no firmware kept for this card (device ID 33)")) << None.Output;
  OpenIdentified(Com);
  EXPECT_EQ(Session.Host->FirmwareVersion, 12);
}

// What restore puts back, and what it refuses: the card on port 36 (device ID 33, boot loader
// SIM00036, firmware 12) and a kept image of firmware 7 with what is kept beside it.
struct tRestoreCase {
  const char* Name;
  const char* CardFile;  // the ".card" file's line; nullptr: none
  bool Hash;             // its ".sha256" file is there
  bool Named;            // given with --file (else found as the newest of the card)
  bool AnyCard;
  int Exit;
  const char* Says;
  bool Booted;           // Boot was sent
  int FirmwareThen;      // what the card runs afterwards
  const char* Override;  // the record's Override; nullptr: no record line, "": null
};

class RestoreIdentityTest : public tCardSessionFixture,
                            public ::testing::WithParamInterface<tRestoreCase> {};

TEST_P(RestoreIdentityTest, OnlyThisCardsCheckedFirmwareGoesBack) {
  const tRestoreCase& Case = GetParam();
  constexpr int Com = 36;
  ASSERT_EQ(LMDFUInit(), lm_Ok);
  StartCard(Com, {"--firmware", "12"});
  const std::string Folder = KeptFirmwareFolder();
  std::filesystem::create_directories(Folder);
  const std::string Image = Folder + "/card33-20261208T103907123Z-fw7.dfu";
  const auto Bytes = dfu::MakeDemoImage(7, 4000);
  WriteFileBytes(Image, Bytes);
  if (Case.Hash) WriteFileText(Image + ".sha256", tSha256::HexOf(Bytes) + "  card33.dfu\n");
  if (Case.CardFile) WriteFileText(Image + ".card", Case.CardFile);
  std::vector<std::string> Argv{CADDIS_PATH, "restore", "--port", std::to_string(Com)};
  if (Case.Named) Argv.insert(Argv.end(), {"--file", Image});
  if (Case.AnyCard) Argv.push_back("--any-card");
  const tProgramRun Run = RunProgram(Argv, Runtime.Folder.File("restore.out"), 120s);

  EXPECT_EQ(Run.Exit, Case.Exit) << Run.Output;
  EXPECT_TRUE(Run.Says(Case.Says)) << Run.Output;
  EXPECT_EQ(Run.Says("Boot sent"), Case.Booted) << Run.Output;
  if (Case.Booted) {
    EXPECT_TRUE(Run.Says("Card back on COM36: device ID 33, firmware version " +
                         std::to_string(Case.FirmwareThen)))
        << Run.Output;
  }
  const std::string Record = FileText(ServiceRecordPath());
  if (!Case.Override) {
    EXPECT_EQ(Record, "") << "refused before the card was touched";
  } else {
    const auto Line = nlohmann::json::parse(Record);
    EXPECT_EQ(Line["Result"], Case.Exit == 0 ? "success" : "failed");
    EXPECT_EQ(Line["BootLoaderSerial"], "SIM00036");
    if (*Case.Override)
      EXPECT_EQ(Line["Override"], Case.Override);
    else
      EXPECT_TRUE(Line["Override"].is_null()) << Line["Override"];
  }
  OpenIdentified(Com);
  EXPECT_EQ(Session.Host->FirmwareVersion, Case.FirmwareThen);
}

constexpr const char* ThisCard = R"({"DeviceID":33,"BootLoaderSerial":"SIM00036","Adapter":null})";
constexpr const char* OtherLoader = R"({"DeviceID":33,"BootLoaderSerial":"SIM00037"})";
constexpr const char* OtherID = R"({"DeviceID":34,"BootLoaderSerial":"SIM00036"})";

const tRestoreCase RestoreCases[] = {
    {"ThisCardsNewestGoesBack", ThisCard, true, false, false, 0, "Restoring ", true, 7, ""},
    {"AnotherDeviceIDsRefusedBeforeBoot", OtherID, true, true, false, ExitImage,
     "is another card's: kept from device ID 34, this card has device ID 33", false, 12, nullptr},
    {"AnotherDeviceIDsIsNotTheNewestOfThisCard", OtherID, true, false, false, ExitImage,
     "no firmware kept for this card (device ID 33)", false, 12, nullptr},
    {"AnotherBootLoadersRefusedBeforeTheDownload", OtherLoader, true, true, false, ExitImage,
     "(kept from the boot loader with serial SIM00037, this card's boot loader has serial "
     "SIM00036); nothing was written",
     true, 12, ""},
    {"WithoutItsHashRefusedBeforeBoot", ThisCard, false, true, false, ExitImage,
     "card33-20261208T103907123Z-fw7.dfu.sha256 is missing", false, 12, nullptr},
    {"OfNoKnownCardRefusedBeforeBoot", nullptr, true, true, false, ExitImage,
     "the card it was kept from is not known (--any-card puts it back all the same)", false, 12,
     nullptr},
    {"AnyCardOverridesAndIsRecorded", OtherLoader, true, true, true, 0, "Restoring ", true, 7,
     "restored with --any-card: kept from the boot loader with serial SIM00037, this card's boot "
     "loader has serial SIM00036"},
};

INSTANTIATE_TEST_SUITE_P(Cases, RestoreIdentityTest, ::testing::ValuesIn(RestoreCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
