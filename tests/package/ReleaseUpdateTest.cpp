// A release package given to the update commands and the station, against the simulated card:
// a package that cannot be taken is refused before a single frame reaches the card, and a card
// already on the release is left alone, its steps recorded as skipped.
#include <gtest/gtest.h>
#include <zip.h>

#include "RunProgram.h"
#include "cli/CliRun.h"
#include "cli/Outcome.h"

namespace {

class ReleaseUpdateTest : public tCliFixture {
 protected:
  void SetUp() override {
    Keys = Runtime.Folder.Path + "/keys";
    std::filesystem::create_directories(Keys);
    MakeKeys("release", Keys + "/release");
    MakeKeys("stranger", Runtime.Folder.Path + "/stranger");
    FPGA = WriteImage("SkerryFPGA.bit", 40 * 128);
    Firmware = Runtime.Folder.Path + "/SkerryTiva.dfu";
    ASSERT_EQ(tProcess(Runtime, DFU_IMAGE_PATH, {Firmware, "13", "20000"}).Wait().Exit, 0);
  }

  void MakeKeys(const std::string& Name, const std::string& Stem) {
    const tProgramRun Run = RunProgram({MINISIGN_PATH, "-G", "-W", "-p", Stem + ".pub", "-s",
                                        Runtime.Folder.Path + "/" + Name + ".sec"},
                                       Runtime.Folder.Path + "/keygen.out");
    ASSERT_EQ(Run.Exit, 0) << Run.Output;
  }

  // A package of the FPGA image (version "0104052027") and the firmware (version 13) for
  // DeviceID, signed with Key ("" for none).
  std::string Package(const std::string& Name, const std::string& Key,
                      const std::string& DeviceID = "21") {
    const std::string Path = Runtime.Folder.Path + "/" + Name + ".zip";
    std::vector<std::string> Args = {"package",
                                     "create",
                                     Path,
                                     "--name",
                                     "Caddis 2027.1",
                                     "--version",
                                     "2027.1",
                                     "--device-id",
                                     DeviceID,
                                     "--fpga",
                                     FPGA,
                                     "--fpga-version",
                                     "0104052027",
                                     "--firmware",
                                     Firmware,
                                     "--firmware-version",
                                     "13"};
    if (!Key.empty()) Args.insert(Args.end(), {"--key", Runtime.Folder.Path + "/" + Key + ".sec"});
    const tRun Run = Caddis(Args);
    EXPECT_EQ(Run.Exit, 0) << Run.Err;
    return Path;
  }

  std::string Keys;
  std::string FPGA, Firmware;
  tScopedEnv fTrusted{"CADDIS_TRUSTED_KEYS", Runtime.Folder.Path + "/keys"};
};

// Replaces the entry Name of the zip at Path with Bytes.
void Rewrite(const std::string& Path, const std::string& Name, const std::string& Bytes) {
  int Error = 0;
  zip_t* Zip = zip_open(Path.c_str(), 0, &Error);
  ASSERT_NE(Zip, nullptr);
  char* Copy = static_cast<char*>(malloc(Bytes.size()));
  memcpy(Copy, Bytes.data(), Bytes.size());
  ASSERT_GE(zip_file_add(Zip, Name.c_str(), zip_source_buffer(Zip, Copy, Bytes.size(), 1),
                         ZIP_FL_OVERWRITE),
            0);
  ASSERT_EQ(zip_close(Zip), 0);
}

TEST_F(ReleaseUpdateTest, APackageThatCannotBeTakenIsRefusedBeforeAnyFrameReachesTheCard) {
  const std::string Tampered = Package("tampered", "release");
  Rewrite(Tampered, "SkerryFPGA.bit", std::string(40 * 128, 'x'));
  struct tCase {
    const char* Name;
    std::string Path;
    std::vector<std::string> Extra;
    const char* Says;
  };
  const tCase Cases[] = {
      {"unsigned", Package("unsigned", ""), {}, "is not signed (--allow-unsigned takes it)"},
      {"unknown key", Package("stranger", "stranger"), {}, "not among the trusted keys"},
      {"tampered image", Tampered, {}, "the fpga image SkerryFPGA.bit is not the manifest's"},
      {"no such file", Runtime.Folder.Path + "/none.zip", {}, "cannot read"},
      {"with --file too", Package("both", "release"), {"--file", FPGA}, "not both"},
  };
  auto Sim = StartCard(41, {"-v", "--device-id", "21"});
  for (const tCase& Case : Cases) {
    for (const char* Command : {"update-fpga", "update-firmware"}) {
      SCOPED_TRACE(std::string(Case.Name) + " " + Command);
      std::vector<std::string> Args = {Command, "--port", "41", "--package", Case.Path};
      Args.insert(Args.end(), Case.Extra.begin(), Case.Extra.end());
      const tRun Run = Caddis(Args);
      EXPECT_EQ(Run.Exit, Case.Extra.empty() ? ExitImage : ExitUsage) << Run.Err;
      EXPECT_TRUE(Contains(Run.Err, Case.Says)) << Run.Err;
    }
  }
  EXPECT_FALSE(Contains(Sim->Output(), "rx: ")) << Sim->Output();

  // A package for other cards: the card is asked who it is, and nothing else.
  const tRun Other =
      Caddis({"update-firmware", "--port", "41", "--package", Package("other", "release", "7,8")});
  EXPECT_EQ(Other.Exit, ExitImage) << Other.Err;
  EXPECT_TRUE(Contains(Other.Err, "fits device IDs 7, 8")) << Other.Err;
  EXPECT_FALSE(Contains(Sim->Output(), "Boot")) << Sim->Output();
  // The unsigned one, taken as asked: the card gets the release and the record says so.
  const std::string Record = Runtime.Folder.Path + "/record.jsonl";
  const tRun Taken = Caddis({"update-fpga", "--port", "41", "--package", Cases[0].Path,
                             "--allow-unsigned", "--no-restart", "--record", Record});
  EXPECT_EQ(Taken.Exit, ExitOk) << Taken.Err;
  EXPECT_TRUE(Contains(Taken.Err, "is not signed; taken as --allow-unsigned asks")) << Taken.Err;
  EXPECT_TRUE(Contains(FileText(Record), "\"Signed\":false")) << FileText(Record);
}

TEST_F(ReleaseUpdateTest, TheStationLeavesACardAlreadyOnTheReleaseAlone) {
  const std::string Release = Package("release", "release");
  const std::string Record = Runtime.Folder.Path + "/record.jsonl";
  auto Sim = StartCard(
      42, {"-v", "--device-id", "21", "--firmware", "13", "--fpga-version", "0104052027"});
  tProcess Station(Runtime, CADDIS_PATH,
                   {"station", "--package", Release, "--record", Record, "--gone", "2"});
  // Each step's result is a line of its own: both steps ended.
  const auto Done = [&] {
    const std::string Output = Station.Output();
    const size_t First = Output.find("COM42 done in ");
    return First != std::string::npos &&
           Output.find("COM42 done in ", First + 1) != std::string::npos;
  };
  ASSERT_TRUE(WaitFor(Done, 60s)) << Station.Output();
  Station.Signal(SIGINT);
  const tRun Run = Station.Wait(30s);
  EXPECT_EQ(Run.Exit, ExitInterrupted) << Run.Out << Run.Err;
  EXPECT_TRUE(Contains(Run.Out, "Served: 1, succeeded: 1\n")) << Run.Out;
  const std::string Lines = FileText(Record);
  for (const char* Action : {"update-fpga", "update-firmware"}) {
    EXPECT_TRUE(Contains(Lines, std::string("\"Action\":\"") + Action)) << Lines;
  }
  size_t Skipped = 0;
  for (size_t At = Lines.find("\"Result\":\"skipped\""); At != std::string::npos;
       At = Lines.find("\"Result\":\"skipped\"", At + 1))
    ++Skipped;
  EXPECT_EQ(Skipped, 2u) << Lines;
  EXPECT_TRUE(Contains(Lines, "\"Name\":\"Caddis 2027.1\"")) << Lines;
  // Nothing was sent: no image packet, no Boot, no Restart.
  const std::string SimLog = Sim->Output();
  EXPECT_FALSE(Contains(SimLog, "Boot")) << SimLog;
  EXPECT_FALSE(Contains(SimLog, "image received")) << SimLog;
}

}  // namespace
