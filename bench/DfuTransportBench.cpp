// The same firmware download over the two buses the DFU library drives: real libusb against
// the card's boot loader on an emulated usbfs node, and the virtual USB bus of Unix-domain
// sockets the simulated card uses. Both serve the same boot loader model with the same image
// (the 32 KiB demo firmware, with verification). Argument: the programming time the boot
// loader asks for per block (bwPollTimeout, ms); 0 measures the buses alone.
//
// Runs under umockdev's preload library:
//   umockdev-wrapper build/default/bin/bench_dfutransportbench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "lib/lmdfu/LMDFU.h"
#include "emulated/EmulatedTestbed.h"
#include "emulated/UsbfsBootLoader.h"
#include "sim/bootloader/DemoImage.h"
#include "sim/bootloader/VirtualDFUDevice.h"

namespace {

dfu::tVirtualDFUOptions CardOptions(const std::string& aSerial, uint32_t aPollMs) {
  dfu::tVirtualDFUOptions O;
  O.Serial = aSerial;
  O.PollTimeoutMs = aPollMs;
  O.ManifestTimeoutMs = aPollMs;
  return O;
}

// The testbed exists before the library starts libusb; the virtual bus gets a private folder.
bool Ready() {
  static const bool Started = [] {
    if (!emulated::Active()) return false;
    char Template[] = "/tmp/cdfu-transport-XXXXXX";
    const char* Folder = mkdtemp(Template);
    if (!Folder) return false;
    setenv("CADDIS_RUNTIME_DIR", Folder, 1);
    static const std::string Made = Folder;
    std::atexit([] {
      std::error_code Ignored;
      std::filesystem::remove_all(Made, Ignored);
    });
    return LMDFUInit() == lm_Ok;
  }();
  return Started;
}

// Opens the listed device whose serial number is aSerial.
tLMDFUHandle OpenBySerial(const std::string& aSerial) {
  for (int Try = 0; Try < 500; ++Try) {
    tLMDFUDeviceInfo Info{};
    tLMDFUHandle Handle = nullptr;
    for (int32_t i = 0; LMDFUDeviceOpen(i, &Info, &Handle) == lm_Ok; ++i) {
      char Text[256] = {};
      uint16_t Length = sizeof Text;
      LMDFUDeviceASCIIStringGet(Handle, Info.ucSerialString, Text, &Length);
      if (aSerial == Text) return Handle;
      LMDFUDeviceClose(Handle, LMDFU_FALSE);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

void Run(benchmark::State& aState, tLMDFUHandle aHandle) {
  const auto Image = dfu::MakeDemoImage(2, 32 * 1024);
  for (auto _ : aState) {
    if (LMDFUDownload(aHandle, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                      LMDFU_FALSE, nullptr) != lm_Ok) {
      aState.SkipWithError(LMDFULastErrorText(aHandle).c_str());
      break;
    }
  }
  aState.SetBytesProcessed(static_cast<int64_t>(Image.size() - 16) * aState.iterations());
  LMDFUDeviceClose(aHandle, LMDFU_FALSE);
}

void BM_DownloadLibusbUsbfs(benchmark::State& aState) {
  if (!Ready()) return aState.SkipWithError("run under umockdev-wrapper");
  const auto Poll = static_cast<uint32_t>(aState.range(0));
  emulated::tUsbfsBootLoader Card(CardOptions("USBFS" + std::to_string(Poll), Poll));
  std::string Error;
  if (!Card.Plug(&Error)) return aState.SkipWithError(Error.c_str());
  tLMDFUHandle Handle = OpenBySerial("USBFS" + std::to_string(Poll));
  if (!Handle) return aState.SkipWithError("libusb does not list the boot loader");
  const uint64_t Before = Card.ControlTransfers();
  Run(aState, Handle);
  aState.counters["transfers/download"] =
      benchmark::Counter(static_cast<double>(Card.ControlTransfers() - Before) /
                         static_cast<double>(aState.iterations()));
}
BENCHMARK(BM_DownloadLibusbUsbfs)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DownloadVirtualBus(benchmark::State& aState) {
  if (!Ready()) return aState.SkipWithError("run under umockdev-wrapper");
  const auto Poll = static_cast<uint32_t>(aState.range(0));
  auto Options = CardOptions("VIRT" + std::to_string(Poll), Poll);
  Options.Folder = std::string(std::getenv("CADDIS_RUNTIME_DIR")) + "/usb";
  dfu::tVirtualDFUDevice Card(Options);
  std::string Error;
  if (!Card.Start(&Error)) return aState.SkipWithError(Error.c_str());
  tLMDFUHandle Handle = OpenBySerial(Options.Serial);
  if (!Handle) return aState.SkipWithError("the virtual bus does not list the boot loader");
  const uint64_t Before = Card.RequestsServed();
  Run(aState, Handle);
  aState.counters["transfers/download"] =
      benchmark::Counter(static_cast<double>(Card.RequestsServed() - Before) /
                         static_cast<double>(aState.iterations()));
}
BENCHMARK(BM_DownloadVirtualBus)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
