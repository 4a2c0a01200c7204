// libusb starts, lists what is plugged in (nothing is fine) and shuts down cleanly; the
// AddressSanitizer build checks that nothing leaks.
#include "TempFolder.h"
#include "platform/UsbLibusb.h"

#include <gtest/gtest.h>

#include "lib/lmdfu/LMDFU.h"
#include "lib/lmdfu/DFUEngine.h"

namespace {

TEST(LibusbSmoke, InitEnumerateCloseTwice) {
  for (int Round = 0; Round < 2; ++Round) {
    usb::tLibusbBus Bus;
    ASSERT_TRUE(Bus.Ready()) << Bus.Problem();
    EXPECT_TRUE(Bus.Problem().empty());
    const auto Devices = Bus.List();
    for (const auto& D : Devices)
      EXPECT_FALSE(D.Location.empty());
    EXPECT_EQ(Bus.List().size(), Devices.size());  // stable between calls
    int Error = 0;
    EXPECT_EQ(Bus.Open(Devices.size(), &Error), nullptr);
    EXPECT_EQ(Error, dfu::ur_NoDevice);
  }
}

TEST(LibusbSmoke, TheLibraryStartsWithUsbAndListsOnlyDFUDevices) {
  ASSERT_EQ(LMDFUInit(), lm_Ok);
  ASSERT_EQ(LMDFUInit(), lm_Ok);
  EXPECT_EQ(LMDFUUsbProblem(), "");
  usb::tLibusbBus Bus;
  size_t DFUCount = 0;
  for (const auto& D : Bus.List()) {
    dfu::tUsbInterface I;
    dfu::tDFUFunctional F;
    DFUCount += dfu::FindDFUInterface(D, I, F);
  }
  // With CADDIS_RUNTIME_DIR pointing nowhere, only real DFU devices are listed.
  const tScopedEnv NoRuntime("CADDIS_RUNTIME_DIR", "/nonexistent/caddis-test");
  size_t Listed = 0;
  tLMDFUDeviceInfo Info;
  for (tLMDFUHandle H; LMDFUDeviceOpen(static_cast<int32_t>(Listed), &Info, &H) == lm_Ok;) {
    ++Listed;
    EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_FALSE), lm_Ok);
  }
  EXPECT_EQ(Listed, DFUCount);
}

}  // namespace
