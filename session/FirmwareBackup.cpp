#include "session/FirmwareBackup.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "lib/lmdfu/DFUSuffix.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UIThread.h"
#include "support/Sha256.h"

namespace {

constexpr const char* HashSuffix = ".sha256";

// The most firmware read back: what still makes an image the loader takes, with its suffix.
constexpr uint32_t MaxFirmware = static_cast<uint32_t>(tDFUImage::MaxSize - dfu::SuffixMinLength);

// Writes Bytes as the new file Path and waits until they are on the disk; a file that could
// not be written whole is removed again.
bool WriteNewFile(const std::string& Path, const std::vector<uint8_t>& Bytes, std::string& Error) {
  int Code = 0;
  std::FILE* File = tFiles::CreateNew(Path, Code);
  if (!File) {
    Error = "cannot create " + Path + ": " + tFiles::SystemErrorText(Code);
    return false;
  }
  bool Written = std::fwrite(Bytes.data(), 1, Bytes.size(), File) == Bytes.size() &&
                 tFiles::SyncToDisk(File, Code);
  if (std::fclose(File) != 0) Written = false;
  if (Written) return true;
  Error = "cannot write " + Path + (Code ? ": " + tFiles::SystemErrorText(Code) : std::string());
  int Ignored = 0;
  tFiles::Remove(Path, Ignored);
  return false;
}

// The card's firmware read through the library on a worker thread, the flow following it.
tFlow UploadFirmwareFlow(const tDFUDeviceEntry& Device,
                         std::function<void(const tDFUProgress&)> OnEvent,
                         std::vector<uint8_t>& Firmware) {
  tLMDFUDeviceInfo Info{};
  tLMDFUHandle Handle = nullptr;
  if (const tLMDFUErr Opened = LMDFUDeviceOpen(Device.Index, &Info, &Handle); Opened != lm_Ok)
    co_return tFlowOutcome::Failed(fk_Failure, DFUFailureText("Open", Opened, {}));
  Firmware.assign(MaxFirmware, 0);
  uint32_t Read = 0;
  tLMDFUErr Result = lm_Ok;
  std::atomic<bool> Returned{false};
  tLMDFUEventQueue Queue;
  auto Run = [&] {
    Result = LMDFUUpload(Handle, Firmware.data(), MaxFirmware, &Read, &Queue);
    Returned = true;
    tUIThread::Wake();
  };
  std::thread Worker;
  try {
    Worker = std::thread(Run);
  } catch (const std::system_error&) {
    Run();  // no thread to be had: the call runs here, and progress shows at its end
  }
  tDFUProgress Progress(false);
  // (Named arguments only: GCC 12 destroys temporaries of a co_await expression twice.)
  const std::function<bool()> Running = [&] { return Returned.load(); };
  const std::function<bool()> Over = [] { return true; };
  co_await FollowDFUFlow(Queue, Running, Progress, OnEvent);
  if (Worker.joinable()) Worker.join();
  co_await FollowDFUFlow(Queue, Over, Progress, OnEvent);
  const std::string Details = Result == lm_Ok ? std::string() : LMDFULastErrorText(Handle);
  // Without a reset: the device stays in its boot loader for the download that follows.
  LMDFUDeviceClose(Handle, LMDFU_FALSE);
  if (Result != lm_Ok) {
    Firmware.clear();
    co_return tFlowOutcome::Failed(fk_Failure, DFUFailureText("Upload", Result, Details));
  }
  Firmware.resize(Read);
  co_return tFlowOutcome::Success();
}

}  // namespace

std::string KeptFirmwareFolder() {
  return tPaths::StateFolder() + "/firmware";
}

std::string KeptFirmwareName(const tCardFacts& Card, std::chrono::system_clock::time_point When) {
  return "card" + std::to_string(Card.DeviceID) + "-" + UtcStamp(When, true) + "-fw" +
         std::to_string(Card.FirmwareVersion) + ".dfu";
}

namespace {

// Keeps the firmware read back (Image) as a DFU image for the card in Folder, with its SHA-256
// beside it; nothing half-written is left behind.
bool KeepImage(const tDFUDeviceEntry& Device, const tCardFacts& Card, std::vector<uint8_t>& Image,
               const std::string& Folder, tKeptFirmware& Kept, std::string& Error) {
  if (Image.empty()) {
    Error = "the boot loader gave back no firmware";
    return false;
  }
  // The suffix makes the kept firmware an image the boot loader takes back as it is.
  dfu::AppendSuffix(Image, Device.Info.usVID, Device.Info.usPID);
  const std::string Into = Folder.empty() ? KeptFirmwareFolder() : Folder;
  if (std::string Why; !tPaths::MakeFolders(Into, Why)) {
    Error = Why;
    return false;
  }
  const std::string Name = KeptFirmwareName(Card, std::chrono::system_clock::now());
  const std::string Path = Into + "/" + Name;
  const std::string Hash = tSha256::HexOf(Image);
  const std::string HashLine = Hash + "  " + Name + "\n";
  if (!WriteNewFile(Path, Image, Error)) {
    return false;
  }
  if (!WriteNewFile(Path + HashSuffix, std::vector<uint8_t>(HashLine.begin(), HashLine.end()),
                    Error)) {
    int Ignored = 0;
    tFiles::Remove(Path, Ignored);
    return false;
  }
  Kept = {Path, Hash, Image.size()};
  return true;
}

}  // namespace

tFlow KeepFirmwareFlow(const tDFUDeviceEntry& Device, tCardFacts Card,
                       std::function<void(const tDFUProgress&)> OnEvent, tKeptFirmware& Kept,
                       std::string Folder) {
  const std::string Failed = "Reading the card's firmware failed: ";
  if (!Card.Known)
    co_return tFlowOutcome::Failed(
        fk_Failure, Failed + "the card has not identified itself, so its firmware cannot be named");
  std::vector<uint8_t> Image;
  if (tFlowOutcome Read = co_await UploadFirmwareFlow(Device, OnEvent, Image); !Read.Ok)
    co_return tFlowOutcome::Failed(fk_Failure, Failed + Read.Text);
  std::string Error;
  if (!KeepImage(Device, Card, Image, Folder, Kept, Error))
    co_return tFlowOutcome::Failed(fk_Failure, Failed + Error);
  co_return tFlowOutcome::Success();
}

bool KeepFirmware(const tDFUDeviceEntry& Device, const tCardFacts& Card,
                  const std::function<void(const tDFUProgress&)>& OnEvent, tKeptFirmware& Kept,
                  std::string& Error, const std::string& Folder) {
  const tFlowOutcome Outcome = RunFlow(KeepFirmwareFlow(Device, Card, OnEvent, Kept, Folder));
  Error = Outcome.Text;
  return Outcome.Ok;
}

std::string NewestKeptFirmware(uint8_t DeviceID, const std::string& Folder) {
  const std::string In = Folder.empty() ? KeptFirmwareFolder() : Folder;
  std::vector<std::string> Names;
  if (int Code = 0; !tFiles::ListFolder(In, Names, Code)) return {};
  const std::string Prefix = "card" + std::to_string(DeviceID) + "-";
  const std::string Extension = ".dfu";
  std::string Newest;
  for (const std::string& Name : Names) {
    if (Name.size() <= Prefix.size() + Extension.size() || Name.rfind(Prefix, 0) != 0 ||
        Name.compare(Name.size() - Extension.size(), Extension.size(), Extension) != 0)
      continue;
    // The time follows the card's number in a fixed width: the names sort by it.
    if (Newest.empty() || Name > Newest) Newest = Name;
  }
  return Newest.empty() ? std::string() : In + "/" + Newest;
}

namespace {

// Checks a kept image against the SHA-256 kept beside it; Actual computes the image's own
// (false with Error when it cannot).
bool CheckKeptHash(const std::string& Path,
                   const std::function<bool(std::string& Hex, std::string& Error)>& Actual,
                   std::string& Error) {
  // The hash file is only consulted: one that is not a small ordinary file is refused unread.
  std::string Expected, Why;
  switch (tFiles::ReadSmallFile(Path + HashSuffix, 4096, Expected, Why)) {
    case tFiles::rr_Missing:
      return true;
    case tFiles::rr_Refused:
      Error = "cannot read " + Path + HashSuffix + ": " + Why;
      return false;
    case tFiles::rr_Read:
      break;
  }
  if (Expected.size() < 64) {
    Error = Path + HashSuffix + " holds no SHA-256";
    return false;
  }
  std::string Hex;
  if (!Actual(Hex, Error)) return false;
  std::string Want = Expected.substr(0, 64);
  std::transform(Want.begin(), Want.end(), Want.begin(), [](char C) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  });
  if (Hex != Want) {
    Error = "the kept image " + Path + " has changed since it was kept (its SHA-256 is " + Hex +
            ", " + HashSuffix + " says " + Want + ")";
    return false;
  }
  return true;
}

}  // namespace

bool CheckKeptFirmware(const std::string& Path, std::string& Error) {
  return CheckKeptHash(
      Path,
      [&Path](std::string& Hex, std::string& Why) {
        uint64_t Size = 0;
        if (Sha256OfFile(Path, Hex, Size, Why)) return true;
        Why = "cannot read " + Path + ": " + Why;
        return false;
      },
      Error);
}

bool CheckKeptFirmware(const std::string& Path, std::span<const uint8_t> Bytes,
                       std::string& Error) {
  return CheckKeptHash(
      Path,
      [Bytes](std::string& Hex, std::string&) {
        Hex = tSha256::HexOf(Bytes);
        return true;
      },
      Error);
}
