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

// The card's firmware read through the library on a worker thread.
bool UploadFirmware(const tDFUDeviceEntry& Device,
                    const std::function<void(const tDFUProgress&)>& OnEvent,
                    std::vector<uint8_t>& Firmware, std::string& Error) {
  tLMDFUDeviceInfo Info{};
  tLMDFUHandle Handle = nullptr;
  if (const tLMDFUErr Opened = LMDFUDeviceOpen(Device.Index, &Info, &Handle); Opened != lm_Ok) {
    Error = DFUFailureText("Open", Opened, {});
    return false;
  }
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
  FollowDFUCall(
      Queue, [&] { return Returned.load(); }, Progress, OnEvent);
  if (Worker.joinable()) Worker.join();
  FollowDFUCall(
      Queue, [] { return true; }, Progress, OnEvent);
  const std::string Details = Result == lm_Ok ? std::string() : LMDFULastErrorText(Handle);
  // Without a reset: the device stays in its boot loader for the download that follows.
  LMDFUDeviceClose(Handle, LMDFU_FALSE);
  if (Result != lm_Ok) {
    Error = DFUFailureText("Upload", Result, Details);
    Firmware.clear();
    return false;
  }
  Firmware.resize(Read);
  return true;
}

}  // namespace

std::string KeptFirmwareFolder() {
  return tPaths::StateFolder() + "/firmware";
}

std::string KeptFirmwareName(const tCardFacts& Card, std::chrono::system_clock::time_point When) {
  return "card" + std::to_string(Card.DeviceID) + "-" + UtcStamp(When, true) + "-fw" +
         std::to_string(Card.FirmwareVersion) + ".dfu";
}

bool KeepFirmware(const tDFUDeviceEntry& Device, const tCardFacts& Card,
                  const std::function<void(const tDFUProgress&)>& OnEvent, tKeptFirmware& Kept,
                  std::string& Error, const std::string& Folder) {
  const std::string Failed = "Reading the card's firmware failed: ";
  if (!Card.Known) {
    Error = Failed + "the card has not identified itself, so its firmware cannot be named";
    return false;
  }
  std::vector<uint8_t> Image;
  if (!UploadFirmware(Device, OnEvent, Image, Error)) {
    Error = Failed + Error;
    return false;
  }
  if (Image.empty()) {
    Error = Failed + "the boot loader gave back no firmware";
    return false;
  }
  // The suffix makes the kept firmware an image the boot loader takes back as it is.
  dfu::AppendSuffix(Image, Device.Info.usVID, Device.Info.usPID);
  const std::string Into = Folder.empty() ? KeptFirmwareFolder() : Folder;
  if (std::string Why; !tPaths::MakeFolders(Into, Why)) {
    Error = Failed + Why;
    return false;
  }
  const std::string Name = KeptFirmwareName(Card, std::chrono::system_clock::now());
  const std::string Path = Into + "/" + Name;
  const std::string Hash = tSha256::HexOf(Image);
  const std::string HashLine = Hash + "  " + Name + "\n";
  if (!WriteNewFile(Path, Image, Error)) {
    Error = Failed + Error;
    return false;
  }
  if (!WriteNewFile(Path + HashSuffix, std::vector<uint8_t>(HashLine.begin(), HashLine.end()),
                    Error)) {
    int Ignored = 0;
    tFiles::Remove(Path, Ignored);
    Error = Failed + Error;
    return false;
  }
  Kept = {Path, Hash, Image.size()};
  return true;
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

bool CheckKeptFirmware(const std::string& Path, std::string& Error) {
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
  std::string Actual;
  uint64_t Size = 0;
  if (!Sha256OfFile(Path, Actual, Size, Error)) {
    Error = "cannot read " + Path + ": " + Error;
    return false;
  }
  std::string Want = Expected.substr(0, 64);
  std::transform(Want.begin(), Want.end(), Want.begin(), [](char C) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  });
  if (Actual != Want) {
    Error = "the kept image " + Path + " has changed since it was kept (its SHA-256 is " + Actual +
            ", " + HashSuffix + " says " + Want + ")";
    return false;
  }
  return true;
}
