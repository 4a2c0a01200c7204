// The firmware download over real libusb, against the card's boot loader on an emulated
// usbfs node: through the DFU library and through `caddis dfu download`.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dfu/LMDFU.h"
#include "dfu/simdevice/DemoImage.h"
#include "emulated/EmulatedTestbed.h"
#include "emulated/UsbfsBootLoader.h"

namespace {

using emulated::tUsbfsBootLoader;

class LibusbDownload : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The testbed first: libusb's hot-plug monitor must start inside it.
    ASSERT_TRUE(emulated::Active()) << "run under umockdev-wrapper";
    setenv("CADDIS_RUNTIME_DIR", "/nonexistent/caddis-emulated", 1);  // no virtual devices
    ASSERT_EQ(LMDFUInit(), lm_Ok);
    ASSERT_EQ(LMDFUUsbProblem(), "");
  }

  // Plugs Card in and opens it through the library once libusb has seen it arrive.
  tLMDFUHandle PlugAndOpen(tUsbfsBootLoader& aCard, tLMDFUDeviceInfo& aInfo) {
    std::string Error;
    EXPECT_TRUE(aCard.Plug(&Error)) << Error;
    tLMDFUHandle Handle = nullptr;
    for (int Try = 0; Try < 200; ++Try) {
      if (LMDFUDeviceOpen(0, &aInfo, &Handle) == lm_Ok) return Handle;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the boot loader did not appear";
    return nullptr;
  }

  const std::vector<uint8_t> Image = dfu::MakeDemoImage(7, 32 * 1024);
};

TEST_F(LibusbDownload, GoodImageArrivesByteExactAndTheDeviceLeaves) {
  tUsbfsBootLoader Card;
  tLMDFUDeviceInfo Info{};
  tLMDFUHandle Handle = PlugAndOpen(Card, Info);
  ASSERT_NE(Handle, nullptr);
  EXPECT_EQ(Info.usVID, 0x1CBE);
  EXPECT_EQ(Info.usPID, 0x00FF);
  EXPECT_EQ(Info.usTransferSize, 1024);
  const auto Start = std::chrono::steady_clock::now();
  ASSERT_EQ(LMDFUDownload(Handle, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                          LMDFU_FALSE, nullptr),
            lm_Ok)
      << LMDFULastErrorText(Handle);
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - Start);
  std::printf("%llu control transfers, %lld ms\n",
              static_cast<unsigned long long>(Card.ControlTransfers()),
              static_cast<long long>(Ms.count()));
  EXPECT_EQ(LMDFUDeviceClose(Handle, LMDFU_TRUE), lm_Ok);
  EXPECT_TRUE(Card.Gone());
  EXPECT_EQ(Card.Device().ReceivedImage(),
            std::vector<uint8_t>(Image.begin(), Image.end() - 16));
}

}  // namespace
