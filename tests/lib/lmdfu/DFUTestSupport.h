// Shared by the DFU tests: a private runtime folder (so the virtual USB bus is the test's
// own) and a way to open one virtual device through the library whatever else is listed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "lib/lmdfu/LMDFU.h"
#include "sim/bootloader/VirtualDFUDevice.h"

class tTempRuntime {
 public:
  const std::string& Folder() const { return fFolder.Path; }
  std::string UsbFolder() const { return fFolder.Path + "/usb"; }

 private:
  tTempFolder fFolder{"cdfu-"};
  tScopedEnv fRuntime{"CADDIS_RUNTIME_DIR", fFolder.Path};
};

// A test's own virtual bus with simulated card boot loaders on it, and the restarts they
// report. Fixtures derive from it.
class tCardBus {
 public:
  // Starts a card device with aOptions on the test's bus.
  dfu::tVirtualDFUDevice& StartDevice(dfu::tVirtualDFUOptions aOptions = {}) {
    aOptions.Folder = Runtime.UsbFolder();
    if (aOptions.Name.empty()) aOptions.Name = "card-" + aOptions.Serial;
    Devices.push_back(std::make_unique<dfu::tVirtualDFUDevice>(aOptions));
    auto& Device = *Devices.back();
    Device.OnRestart = [this](const dfu::tVirtualDFURestart& aRestart) {
      std::lock_guard<std::mutex> Guard(RestartLock);
      Restarts.push_back(aRestart);
    };
    std::string Error;
    EXPECT_TRUE(Device.Start(&Error)) << Error;
    return Device;
  }

  size_t RestartCount() {
    std::lock_guard<std::mutex> Guard(RestartLock);
    return Restarts.size();
  }

  tTempRuntime Runtime;
  std::mutex RestartLock;
  std::vector<dfu::tVirtualDFURestart> Restarts;
  // Last, so the devices stop before what their restart callback touches goes away.
  std::vector<std::unique_ptr<dfu::tVirtualDFUDevice>> Devices;
};

// Opens the DFU device whose serial string is aSerial; its index goes to *aIndex.
inline tLMDFUErr OpenBySerial(const std::string& aSerial, tLMDFUDeviceInfo& aInfo,
                              tLMDFUHandle& aHandle, int* aIndex = nullptr) {
  for (int32_t i = 0;; ++i) {
    tLMDFUHandle H = nullptr;
    const tLMDFUErr R = LMDFUDeviceOpen(i, &aInfo, &H);
    if (R != lm_Ok) return R;
    char Text[256];
    uint16_t Len = 256;
    if (LMDFUDeviceASCIIStringGet(H, aInfo.ucSerialString, Text, &Len) == lm_Ok &&
        aSerial == Text) {
      aHandle = H;
      if (aIndex) *aIndex = i;
      return lm_Ok;
    }
    LMDFUDeviceClose(H, LMDFU_FALSE);
  }
}

// Polls aCondition for up to aSeconds.
inline bool WaitUntil(const std::function<bool()>& aCondition, double aSeconds = 10) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::duration<double>(aSeconds);
  while (!aCondition()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
