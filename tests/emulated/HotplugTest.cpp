// A USB serial adapter plugged in and out of the emulated kernel: the libudev monitor
// reports it under the number the port list gives it, and `caddis ports` shows which USB
// device it is.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "RunProgram.h"
#include "emulated/EmulatedTestbed.h"
#include "emulated/UsbSerialAdapter.h"
#include "hostlink/HostTestSupport.h"
#include "platform/DeviceNotifier.h"
#include "platform/PortCatalogue.h"

namespace {

// Waits up to 5 s for the notifier's next notices.
std::vector<tDeviceChange> NextChanges(tDeviceNotifier& aNotifier) {
  std::vector<pollfd> Fds;
  for (int Fd : aNotifier.FileDescriptors())
    Fds.push_back({Fd, POLLIN, 0});
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < Until) {
    if (poll(Fds.data(), Fds.size(), 100) <= 0) continue;
    if (auto Changes = aNotifier.ReadChanges(); !Changes.empty()) return Changes;
  }
  return {};
}

class Hotplug : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(emulated::Active()) << "run under umockdev-wrapper";
    setenv("CADDIS_RUNTIME_DIR", (Folder.Path + "/run").c_str(), 1);
    setenv("CADDIS_CONFIG_DIR", (Folder.Path + "/config").c_str(), 1);
  }
  tTempFolder Folder;
};

TEST_F(Hotplug, AdapterArrivesAndLeavesUnderItsPortNumberWithItsUsbIdentity) {
  tDeviceNotifier Notifier(Folder.Path + "/run/ports", [](const std::string& aKernel) {
    const int32_t Number = tPortCatalogue::PortNumberOf(aKernel);
    return Number > 0 ? "COM" + std::to_string(Number) : std::string();
  });
  ASSERT_TRUE(Notifier.WatchingKernelDevices());

  auto Adapter = std::make_unique<emulated::tUsbSerialAdapter>();
  std::string Error;
  ASSERT_TRUE(Adapter->Plug(&Error)) << Error;
  auto Changes = NextChanges(Notifier);
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_Arrival);
  EXPECT_EQ(Changes[0].PortName, "COM1");

  const tProgramRun Ports = RunProgram({CADDIS_PATH, "ports"}, Folder.Path + "/ports.out");
  EXPECT_EQ(Ports.Exit, 0);
  EXPECT_EQ(Ports.Output, "1 ttyUSB0  (USB 0403:6001 FTDI FT232R USB UART, serial A10KJ3XQ)\n");

  Adapter->Unplug();
  Changes = NextChanges(Notifier);
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_RemoveComplete);
  EXPECT_EQ(Changes[0].PortName, "COM1");
}

}  // namespace
