// The DFU side of the card session against boot loaders on the test's own virtual bus: the
// image loader, the device filters and the download with its notifications.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "lib/lmdfu/DFUTestSupport.h"
#include "hostlink/CardDefs.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "session/CardFlows.h"
#include "sim/bootloader/DemoImage.h"

namespace {

dfu::tVirtualDFUOptions CardWithSerial(const std::string& Serial) {
  dfu::tVirtualDFUOptions Options;
  Options.Serial = Serial;
  return Options;
}

class DFUSessionTest : public ::testing::Test, public tCardBus {
 protected:
  void SetUp() override { ASSERT_EQ(LMDFUInit(), lm_Ok); }
  std::string Write(const std::string& Name, const std::vector<uint8_t>& Bytes) {
    const std::string Path = Runtime.Folder() + "/" + Name;
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(Bytes.data()),
               static_cast<std::streamsize>(Bytes.size()));
    return Path;
  }
};

TEST_F(DFUSessionTest, TheImageIsReadAgainOnlyWhenTheFileChanged) {
  tDFUImage Image;
  const std::string Path = Write("a.dfu", std::vector<uint8_t>(1000, 1));
  ASSERT_EQ(Image.Load(Path), tDFUImage::il_Loaded);
  ASSERT_EQ(Image.Load(Path), tDFUImage::il_Loaded);
  EXPECT_EQ(Image.Reads(), 1);
  // The same size, other content: the new bytes are taken.
  Write("a.dfu", std::vector<uint8_t>(1000, 2));
  ASSERT_EQ(Image.Load(Path), tDFUImage::il_Loaded);
  EXPECT_EQ(Image.Reads(), 2);
  EXPECT_EQ(Image.Bytes(), std::vector<uint8_t>(1000, 2));

  // Missing, a folder, and far beyond any firmware: refused, with nothing left in memory.
  EXPECT_EQ(Image.Load(Runtime.Folder() + "/none.dfu"), tDFUImage::il_Missing);
  EXPECT_EQ(Image.Size(), 0u);
  EXPECT_NE(Image.Data(), nullptr);
  EXPECT_EQ(Image.Load(Runtime.Folder()), tDFUImage::il_NotAFile);
  const std::string Huge = Write("huge.dfu", {});
  ASSERT_EQ(truncate(Huge.c_str(), tDFUImage::MaxSize + 1), 0);
  EXPECT_EQ(Image.Load(Huge), tDFUImage::il_TooLarge);
  EXPECT_NE(Image.Error().find("too large"), std::string::npos) << Image.Error();
  ASSERT_EQ(truncate(Huge.c_str(), tDFUImage::MaxSize), 0);
  EXPECT_EQ(Image.Load(Huge), tDFUImage::il_Loaded);
}

TEST_F(DFUSessionTest, FiltersPickOneBootLoaderAmongSeveral) {
  dfu::tVirtualDFUOptions Other;
  Other.Serial = "OTHER";
  Other.VendorID = 0x0483;
  StartDevice(Other);
  StartDevice(CardWithSerial("SIM00001"));
  StartDevice(CardWithSerial("SIM00002"));

  const auto Cards = SearchDFUDevices({});
  ASSERT_EQ(Cards.size(), 2u);
  for (const auto& Card : Cards) {
    EXPECT_TRUE(Card.IsCard());
    EXPECT_EQ(Card.Product.Text, "Caddis card DFU boot loader");
  }
  tDFUFilter BySerial;
  BySerial.Serial = "SIM00002";
  const auto One = SearchDFUDevices(BySerial);
  ASSERT_EQ(One.size(), 1u);
  tDFUFilter ByLocation;
  ByLocation.Location = One[0].Location;
  ASSERT_EQ(SearchDFUDevices(ByLocation).size(), 1u);
  EXPECT_EQ(SearchDFUDevices(ByLocation)[0].Serial.Text, "SIM00002");

  // Several candidates: the choice is refused, and the list names each one.
  tDFUDeviceEntry Found;
  std::string Error;
  auto Find = [&](const tDFUFilter& Filter) {
    const tFlowOutcome Outcome =
        RunFlow(FindBootLoaderFlow(Filter, std::chrono::milliseconds(0), Found));
    Error = Outcome.Text;
    return Outcome.Ok;
  };
  EXPECT_FALSE(Find({}));
  EXPECT_NE(Error.find("serial SIM00001 at "), std::string::npos) << Error;
  EXPECT_NE(Error.find("serial SIM00002 at "), std::string::npos) << Error;
  ASSERT_TRUE(Find(BySerial)) << Error;
  EXPECT_EQ(Found.Index, One[0].Index);
}

TEST_F(DFUSessionTest, DownloadVerifiesAndSendsOnlyASuccessfulCardBack) {
  StartDevice();
  tDFUImage Image;
  const auto Demo = dfu::MakeDemoImage(3, 8192);
  ASSERT_EQ(Image.Load(Write("SkerryTiva.dfu", Demo)), tDFUImage::il_Loaded);
  const auto Card = SearchDFUDevices({});
  ASSERT_EQ(Card.size(), 1u);

  std::vector<std::string> Phases;
  float Last = 0;
  std::string Error;
  ASSERT_TRUE(DownloadFirmware(
      Card[0], Image, "SkerryTiva.dfu", true,
      [&](const tDFUProgress& P) {
        if (Phases.empty() || Phases.back() != P.Phase()) Phases.push_back(P.Phase());
        EXPECT_GE(P.Fraction(), Last);
        Last = P.Fraction();
      },
      Error))
      << Error;
  EXPECT_EQ(Phases, (std::vector<std::string>{"Downloading", "Verifying"}));
  EXPECT_FLOAT_EQ(Last, 1.0f);
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));

  // A refused image and a failed download leave the boot loader where it is.
  auto& Faulty = StartDevice(CardWithSerial("SIM00009"));
  dfu::tVirtualDFUFaults Faults;
  Faults.StallAtBlock = 2;
  Faulty.SetFaults(Faults);
  tDFUFilter Second;
  Second.Serial = "SIM00009";
  const auto Target = SearchDFUDevices(Second);
  ASSERT_EQ(Target.size(), 1u);
  tDFUImage Foreign;
  auto Bytes = dfu::MakeDemoFirmware(3, 2048);
  dfu::AppendSuffix(Bytes, CardVendorID, 0x00FE);
  ASSERT_EQ(Foreign.Load(Write("foreign.dfu", Bytes)), tDFUImage::il_Loaded);
  EXPECT_FALSE(DownloadFirmware(Target[0], Foreign, "foreign.dfu", true, {}, Error));
  EXPECT_EQ(Error.rfind("File foreign.dfu is not compatible with this device", 0), 0u) << Error;
  EXPECT_FALSE(DownloadFirmware(Target[0], Image, "SkerryTiva.dfu", true, {}, Error));
  EXPECT_EQ(Error.rfind("Download error ", 0), 0u) << Error;
  EXPECT_EQ(RestartCount(), 1u);
  EXPECT_EQ(SearchDFUDevices(Second).size(), 1u);
}

TEST(CardDefsTest, ProgressPercentHalvesToEvenAndStaysInRange) {
  EXPECT_EQ(ProgressPercent(0.0f), 0);
  EXPECT_EQ(ProgressPercent(1.0f), 100);
  EXPECT_EQ(ProgressPercent(2.0f / 3.0f), 67);
  EXPECT_EQ(ProgressPercent(0.125f), 12);  // 12.5 goes to the even 12
  EXPECT_EQ(ProgressPercent(0.375f), 38);  // 37.5 goes to the even 38
  EXPECT_EQ(ProgressPercent(2.0f), 100);
  EXPECT_EQ(ProgressPercent(-1.0f), 0);
  EXPECT_EQ(ProgressPercent(std::nanf("")), 0);
}

}  // namespace
