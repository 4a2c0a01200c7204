// DFU download throughput against the simulated card's boot loader, side by side with the
// raw request round-trip rate of the virtual USB bus it travels over. Every block costs a
// DNLOAD and two GETSTATUS round trips (busy, then idle), so the download rate should come
// close to block size x round-trip rate / 3.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "lib/lmdfu/LMDFU.h"
#include "lib/lmdfu/DFUProtocol.h"
#include "lib/lmdfu/VirtualUsb.h"
#include "session/DFUSession.h"
#include "sim/bootloader/DemoImage.h"
#include "sim/bootloader/VirtualDFUDevice.h"

namespace {

// The bus in a private folder for the whole run.
struct tBenchBus {
  tBenchBus() {
    char Template[] = "/tmp/cdfu-bench-XXXXXX";
    if (const char* Dir = mkdtemp(Template)) Folder = Dir;
    setenv("CADDIS_RUNTIME_DIR", Folder.c_str(), 1);
    LMDFUInit();
  }
  ~tBenchBus() {
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  }
  std::string Folder;
};

tBenchBus& Bus() {
  static tBenchBus Instance;
  return Instance;
}

std::unique_ptr<dfu::tVirtualDFUDevice> StartCard(uint16_t aTransferSize) {
  dfu::tVirtualDFUOptions O;
  O.Folder = Bus().Folder + "/usb";
  O.TransferSize = aTransferSize;
  O.PollTimeoutMs = 0;  // the bus itself, not a flash's programming time
  O.ManifestTimeoutMs = 0;
  O.FlashSize = 1 << 20;
  auto Card = std::make_unique<dfu::tVirtualDFUDevice>(O);
  Card->Start();
  return Card;
}

void BM_VirtualBusRoundTrip(benchmark::State& aState) {
  auto Card = StartCard(1024);
  int Error = 0;
  auto Device = dfu::tVirtualUsbBus::OpenPath(Card->SocketPath(), nullptr, 2000, &Error);
  if (!Device) {
    aState.SkipWithError("cannot open the virtual device");
    return;
  }
  uint8_t State = 0;
  for (auto _ : aState) {
    if (Device->ControlIn(dfu::ReqTypeClassIn, dfu::rq_GetState, 0, 0, &State, 1, 2000) != 1) {
      aState.SkipWithError("GETSTATE failed");
      break;
    }
    benchmark::DoNotOptimize(State);
  }
  aState.SetItemsProcessed(aState.iterations());
  aState.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(aState.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VirtualBusRoundTrip)->UseRealTime();

// Arguments: transfer size, verify (0/1). Each iteration downloads a 256 KiB image.
void BM_DownloadThroughput(benchmark::State& aState) {
  auto Card = StartCard(static_cast<uint16_t>(aState.range(0)));
  const bool Verify = aState.range(1) != 0;
  const auto Image = dfu::MakeDemoImage(3, 256 * 1024);
  tLMDFUDeviceInfo Info;
  tLMDFUHandle Handle = nullptr;
  for (int32_t i = 0; LMDFUDeviceOpen(i, &Info, &Handle) == lm_Ok; ++i) {
    if (Info.usTransferSize == aState.range(0) && Info.usVID == dfu::CardVendorID) break;
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
    Handle = nullptr;
  }
  if (!Handle) {
    aState.SkipWithError("card not found");
    return;
  }
  const uint64_t RequestsBefore = Card->RequestsServed();
  for (auto _ : aState) {
    if (LMDFUDownload(Handle, Image.data(), static_cast<uint32_t>(Image.size()),
                      Verify ? LMDFU_TRUE : LMDFU_FALSE, LMDFU_FALSE, nullptr) != lm_Ok) {
      aState.SkipWithError(LMDFULastErrorText(Handle).c_str());
      break;
    }
  }
  const double Payload = static_cast<double>(Image.size() - 16);
  aState.SetBytesProcessed(static_cast<int64_t>(Payload) * aState.iterations());
  aState.counters["requests/s"] = benchmark::Counter(
      static_cast<double>(Card->RequestsServed() - RequestsBefore), benchmark::Counter::kIsRate);
  LMDFUDeviceClose(Handle, LMDFU_FALSE);
}
BENCHMARK(BM_DownloadThroughput)
    ->ArgsProduct({{64, 1024, 4096}, {0, 1}})
    ->ArgNames({"transfer", "verify"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One search step of the update dialog costs an open and a close of every listed device.
void BM_OpenAndCloseFirstDevice(benchmark::State& aState) {
  auto Card = StartCard(1024);
  tLMDFUDeviceInfo Info;
  for (auto _ : aState) {
    tLMDFUHandle Handle = nullptr;
    if (LMDFUDeviceOpen(0, &Info, &Handle) != lm_Ok) {
      aState.SkipWithError("no device at index 0");
      break;
    }
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
  }
}
BENCHMARK(BM_OpenAndCloseFirstDevice)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One search step of the update dialog with the card present and its image beside the tool:
// the device search, the image loader (which reads the file only when it changed) and the
// compatibility check. The dialog runs one every second.
void BM_DialogSearchStep(benchmark::State& aState) {
  auto Card = StartCard(1024);
  const std::string Path = Bus().Folder + "/SkerryTiva.dfu";
  const auto Demo = dfu::MakeDemoImage(2, static_cast<size_t>(aState.range(0)));
  std::ofstream(Path, std::ios::binary)
      .write(reinterpret_cast<const char*>(Demo.data()), static_cast<std::streamsize>(Demo.size()));
  tDFUImage Image;
  for (auto _ : aState) {
    const auto Found = SearchDFUDevices(tDFUFilter{});
    if (Found.empty() || Image.Load(Path) != tDFUImage::il_Loaded ||
        CheckDFUImage(Found.front().Index, Image) != lm_Ok) {
      aState.SkipWithError("the search step failed");
      return;
    }
  }
  aState.counters["file_reads"] = Image.Reads();
}
BENCHMARK(BM_DialogSearchStep)->Arg(32 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
