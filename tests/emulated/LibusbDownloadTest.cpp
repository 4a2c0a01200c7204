// The firmware download over real libusb, against the card's boot loader on an emulated
// usbfs node: through the DFU library and through `caddis dfu download`.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "RunProgram.h"
#include "TempFolder.h"
#include "lib/lmdfu/LMDFU.h"
#include "emulated/EmulatedTestbed.h"
#include "emulated/UsbfsBootLoader.h"
#include "sim/bootloader/DemoImage.h"

namespace {

using emulated::tUsbfsBootLoader;

// Root opens any node whatever its mode. While this lives the calling thread (and programs
// started from it) lose that override, so a node without permissions refuses them as it
// refuses an operator outside the node's group.
class tNoFileOverride {
 public:
  tNoFileOverride() {
    if (geteuid() != 0) return;
    syscall(SYS_capget, &fHeader, fSaved);
    __user_cap_data_struct Reduced[2] = {fSaved[0], fSaved[1]};
    Reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    fActive = syscall(SYS_capset, &fHeader, Reduced) == 0;
  }
  ~tNoFileOverride() {
    if (fActive) syscall(SYS_capset, &fHeader, fSaved);
  }

 private:
  __user_cap_header_struct fHeader{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct fSaved[2] = {};
  bool fActive = false;
};

// Runs caddis with aArgs (under the same preload and testbed). aWithoutFileOverride: a
// root child keeps no capability to open nodes it has no right to.
tProgramRun RunCaddis(const std::vector<std::string>& aArgs, bool aWithoutFileOverride = false) {
  std::vector<std::string> Argv{CADDIS_PATH};
  Argv.insert(Argv.end(), aArgs.begin(), aArgs.end());
  auto DropOverride = [] {
    return geteuid() != 0 || (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
                              prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0);
  };
  return RunProgram(Argv, emulated::RealPath("/caddis.out"), std::chrono::seconds(120),
                    aWithoutFileOverride ? std::function<bool()>(DropOverride) : nullptr);
}

class LibusbDownload : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The testbed first: libusb's hot-plug monitor must start inside it.
    ASSERT_TRUE(emulated::Active()) << "run under umockdev-wrapper";
    setenv("CADDIS_RUNTIME_DIR", "/nonexistent/caddis-emulated", 1);  // no virtual devices
    ASSERT_EQ(LMDFUInit(), lm_Ok);
    ASSERT_EQ(LMDFUUsbProblem(), "");
  }

  // Plugs aCard in and opens it through the library once libusb has seen it arrive.
  tLMDFUHandle PlugAndOpen(tUsbfsBootLoader& aCard, mode_t aNodeMode = 0664) {
    std::string Error;
    EXPECT_TRUE(aCard.Plug(&Error, aNodeMode)) << Error;
    tLMDFUHandle Handle = nullptr;
    for (int Try = 0; Try < 500; ++Try) {
      if (LMDFUDeviceOpen(0, &Info, &Handle) == lm_Ok) return Handle;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "libusb did not see the boot loader arrive";
    return nullptr;
  }

  tLMDFUErr Download(tLMDFUHandle aHandle) {
    return LMDFUDownload(aHandle, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                         LMDFU_FALSE, nullptr);
  }

  std::vector<uint8_t> Firmware() const { return {Image.begin(), Image.end() - 16}; }

  // Shaped like the card's real firmware: without the made-up image mark, which would keep it
  // from a real boot loader.
  const std::vector<uint8_t> Image = dfu::MakeDemoImage(7, 32 * 1024, false);
  tLMDFUDeviceInfo Info{};
};

TEST_F(LibusbDownload, GoodImageArrivesByteExactAndTheDeviceLeavesDFUMode) {
  tUsbfsBootLoader Card;
  tLMDFUHandle Handle = PlugAndOpen(Card);
  ASSERT_NE(Handle, nullptr);
  EXPECT_EQ(Info.usVID, dfu::CardVendorID);
  EXPECT_EQ(Info.usPID, dfu::CardProductID);
  EXPECT_EQ(Info.usTransferSize, 1024);
  EXPECT_NE(Info.bDFUMode, 0u);
  char Text[256];
  uint16_t Length = sizeof Text;
  ASSERT_EQ(LMDFUDeviceASCIIStringGet(Handle, Info.ucProductString, Text, &Length), lm_Ok);
  EXPECT_STREQ(Text, "Caddis card DFU boot loader");

  ASSERT_EQ(Download(Handle), lm_Ok) << LMDFULastErrorText(Handle);
  EXPECT_EQ(LMDFUDeviceClose(Handle, LMDFU_TRUE), lm_Ok);
  EXPECT_TRUE(Card.Gone());
  EXPECT_EQ(Card.Device().ReceivedImage(), Firmware());
}

// Each fault ends the download with its own code and leaves the others' paths untouched.
TEST_F(LibusbDownload, DeviceFaultsEndTheDownloadWithTheirOwnCode) {
  struct tCase {
    const char* Name;
    dfu::tVirtualDFUFaults Faults;
    tLMDFUErr Expected;
    const char* Detail;
  };
  dfu::tVirtualDFUFaults Stall, Status, Unplug, Silent;
  Stall.StallAtBlock = 3;
  Status.StatusErrorAtBlock = 5;
  Unplug.DisconnectAtBlock = 7;
  Silent.SilentAtBlock = 2;  // libusb gives up after the library's transfer time-out
  const tCase Cases[] = {
      {"stall", Stall, lm_Stall, "DNLOAD block 3"},
      {"status error", Status, lm_DeviceStatus, "errWRITE"},
      {"unplugged", Unplug, lm_DeviceGone, "DNLOAD block 7"},
      {"silent", Silent, lm_Timeout, "DNLOAD block 2"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    dfu::tVirtualDFUOptions Options;
    Options.Faults = Case.Faults;
    tUsbfsBootLoader Card(Options);
    tLMDFUHandle Handle = PlugAndOpen(Card);
    ASSERT_NE(Handle, nullptr);
    EXPECT_EQ(Download(Handle), Case.Expected);
    EXPECT_NE(LMDFULastErrorText(Handle).find(Case.Detail), std::string::npos)
        << LMDFULastErrorText(Handle);
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
    EXPECT_EQ(Card.Device().DownloadsCompleted(), 0);
  }
}

// After a completed download the device is reset into its new firmware. The kernel reports
// a device that re-enumerates as gone, but one that drops off during the reset's handshake
// as an I/O or protocol error: the update has still succeeded. A reset that fails while the
// device stays in its boot loader has not.
TEST_F(LibusbDownload, FinalResetCountsWhetherTheDeviceLeftNotHowTheResetEnded) {
  struct tCase {
    int Errno;
    bool Restarts;
    tLMDFUErr Expected;
  };
  const tCase Cases[] = {{ENODEV, true, lm_Ok},
                         {EIO, true, lm_Ok},
                         {EPROTO, true, lm_Ok},
                         {EIO, false, lm_DeviceState},
                         {EPROTO, false, lm_DeviceState}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(std::string(strerror(Case.Errno)) + (Case.Restarts ? ", restarts" : ", stays"));
    tUsbfsBootLoader Card;
    Card.SetResetOutcome(Case.Errno, Case.Restarts);
    tLMDFUHandle Handle = PlugAndOpen(Card);
    ASSERT_NE(Handle, nullptr);
    ASSERT_EQ(Download(Handle), lm_Ok) << LMDFULastErrorText(Handle);
    EXPECT_EQ(LMDFUDeviceClose(Handle, LMDFU_TRUE), Case.Expected);
    EXPECT_EQ(Card.Gone(), Case.Restarts);
  }
}

TEST_F(LibusbDownload, NodeTheOperatorMayNotOpenIsListedAndExplained) {
  tUsbfsBootLoader Card;
  tNoFileOverride AsOperator;
  tLMDFUHandle Handle = PlugAndOpen(Card, 0);
  ASSERT_NE(Handle, nullptr);
  EXPECT_EQ(Info.usPID, dfu::CardProductID);  // from sysfs, without opening the node
  EXPECT_EQ(Download(Handle), lm_Access);
  const std::string Text = LMDFULastErrorText(Handle);
  EXPECT_NE(Text.find(Card.NodePath()), std::string::npos) << Text;
  EXPECT_NE(Text.find("99-caddis-dfu.rules"), std::string::npos) << Text;
  LMDFUDeviceClose(Handle, LMDFU_FALSE);
  EXPECT_EQ(Card.ControlTransfers(), 0u);
}

TEST_F(LibusbDownload, MadeUpImagesNeverReachARealBootLoader) {
  tUsbfsBootLoader Card;
  tLMDFUHandle Handle = PlugAndOpen(Card);
  ASSERT_NE(Handle, nullptr);
  const auto MadeUp = dfu::MakeDemoImage(7, 32 * 1024);
  const auto Transfers = Card.ControlTransfers();
  EXPECT_EQ(LMDFUIsValidImage(Handle, MadeUp.data(), static_cast<uint32_t>(MadeUp.size()), nullptr),
            lm_MadeUpImage);
  EXPECT_EQ(LMDFUDownload(Handle, MadeUp.data(), static_cast<uint32_t>(MadeUp.size()), LMDFU_TRUE,
                          LMDFU_TRUE, nullptr),
            lm_MadeUpImage);
  EXPECT_NE(LMDFULastErrorText(Handle).find("is a real USB device"), std::string::npos)
      << LMDFULastErrorText(Handle);
  EXPECT_EQ(Card.ControlTransfers(), Transfers) << "nothing was sent";
  LMDFUDeviceClose(Handle, LMDFU_FALSE);

  // The build's own demo image, as an operator would try it.
  const tProgramRun Run = RunCaddis({"dfu", "download", DEMO_DFU_PATH});
  EXPECT_EQ(Run.Exit, 5) << Run.Output;
  EXPECT_TRUE(
      Run.Says("is not compatible with this device: a made-up image, for the simulated "
               "card only"))
      << Run.Output;
  EXPECT_EQ(Card.Device().DownloadsCompleted(), 0);
}

TEST_F(LibusbDownload, CommandLineUpdatesTheCardAndExplainsAMissingPermission) {
  const tTempFolder Folder;
  const std::string ImagePath = Folder.File("SkerryTiva.dfu");
  WriteFileBytes(ImagePath, Image);
  {
    tUsbfsBootLoader Card;
    std::string Error;
    ASSERT_TRUE(Card.Plug(&Error)) << Error;
    const tProgramRun Run = RunCaddis({"dfu", "download", ImagePath});
    EXPECT_EQ(Run.Exit, 0) << Run.Output;
    EXPECT_TRUE(Run.Says("Device updated successfully")) << Run.Output;
    EXPECT_TRUE(Card.Gone());
    EXPECT_EQ(Card.Device().ReceivedImage(), Firmware());
  }
  {
    tUsbfsBootLoader Card;
    std::string Error;
    ASSERT_TRUE(Card.Plug(&Error, 0)) << Error;
    const tProgramRun Run = RunCaddis({"dfu", "download", ImagePath}, true);
    EXPECT_EQ(Run.Exit, 1) << Run.Output;
    EXPECT_TRUE(Run.Says("Download error -4: no permission to open the USB device")) << Run.Output;
    EXPECT_TRUE(Run.Says("99-caddis-dfu.rules")) << Run.Output;
  }
}

}  // namespace
