#include "session/FirmwareBackup.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "lib/lmdfu/DFUSuffix.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UIThread.h"
#include "support/JsonLine.h"
#include "support/Sha256.h"

namespace {

constexpr const char* HashSuffix = ".sha256";
constexpr const char* CardSuffix = ".card";

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

std::string KeptFirmwareFolder(const std::string& RecordPath) {
  const std::string Record = ServiceRecordPath(RecordPath);
  const auto Slash = Record.find_last_of("/\\");
  return (Slash == std::string::npos ? std::string(".") : Record.substr(0, Slash)) + "/firmware";
}

std::string KeptFirmwareName(const tCardFacts& Card, std::chrono::system_clock::time_point When) {
  return "card" + std::to_string(Card.DeviceID) + "-" + UtcStamp(When, true) + "-fw" +
         std::to_string(Card.FirmwareVersion) + ".dfu";
}

namespace {

// Keeps the firmware read back (Image) as a DFU image for the card in Folder, with its SHA-256
// beside it; nothing half-written is left behind.
// The ".card" file's line.
std::string KeptCardLine(const tKeptCard& Card) {
  tJsonObject Line;
  Line.UInt("DeviceID", Card.DeviceID).String("BootLoaderSerial", Card.BootLoaderSerial);
  if (Card.Adapter.Known())
    Line.Object("Adapter", tJsonObject()
                               .String("Vendor", Card.Adapter.Vendor)
                               .String("Product", Card.Adapter.Product)
                               .String("Serial", Card.Adapter.Serial)
                               .String("Name", Card.Adapter.Name));
  else
    Line.Null("Adapter");
  return Line.Text() + "\n";
}

bool KeepImage(const tDFUDeviceEntry& Device, const tKeptCard& Card, const tCardFacts& Facts,
               std::vector<uint8_t>& Image, const std::string& Folder, tKeptFirmware& Kept,
               std::string& Error) {
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
  const std::string Name = KeptFirmwareName(Facts, std::chrono::system_clock::now());
  const std::string Path = Into + "/" + Name;
  const std::string Hash = tSha256::HexOf(Image);
  const std::string HashLine = Hash + "  " + Name + "\n";
  const std::string CardLine = KeptCardLine(Card);
  if (!WriteNewFile(Path, Image, Error)) {
    return false;
  }
  // The card's identity first: an image whose SHA-256 is there is complete.
  int Ignored = 0;
  if (!WriteNewFile(Path + CardSuffix, std::vector<uint8_t>(CardLine.begin(), CardLine.end()),
                    Error)) {
    tFiles::Remove(Path, Ignored);
    return false;
  }
  if (!WriteNewFile(Path + HashSuffix, std::vector<uint8_t>(HashLine.begin(), HashLine.end()),
                    Error)) {
    tFiles::Remove(Path + CardSuffix, Ignored);
    tFiles::Remove(Path, Ignored);
    return false;
  }
  Kept = {Path, Hash, Image.size(), Card};
  return true;
}

}  // namespace

tFlow KeepFirmwareFlow(const tDFUDeviceEntry& Device, tCardFacts Card,
                       std::function<void(const tDFUProgress&)> OnEvent, tKeptFirmware& Kept,
                       std::string Folder, tAdapterIdentity Adapter) {
  const std::string Failed = "Reading the card's firmware failed: ";
  if (!Card.Known)
    co_return tFlowOutcome::Failed(
        fk_Failure, Failed + "the card has not identified itself, so its firmware cannot be named");
  std::vector<uint8_t> Image;
  if (tFlowOutcome Read = co_await UploadFirmwareFlow(Device, OnEvent, Image); !Read.Ok)
    co_return tFlowOutcome::Failed(fk_Failure, Failed + Read.Text);
  std::string Error;
  const tKeptCard From{Card.DeviceID, Device.Serial.Text, Adapter};
  if (!KeepImage(Device, From, Card, Image, Folder, Kept, Error))
    co_return tFlowOutcome::Failed(fk_Failure, Failed + Error);
  co_return tFlowOutcome::Success();
}

bool KeepFirmware(const tDFUDeviceEntry& Device, const tCardFacts& Card,
                  const std::function<void(const tDFUProgress&)>& OnEvent, tKeptFirmware& Kept,
                  std::string& Error, const std::string& Folder, const tAdapterIdentity& Adapter) {
  const tFlowOutcome Outcome =
      RunFlow(KeepFirmwareFlow(Device, Card, OnEvent, Kept, Folder, Adapter));
  Error = Outcome.Text;
  return Outcome.Ok;
}

bool ReadKeptCard(const std::string& Path, tKeptCard& Card, std::string& Error) {
  std::string Text, Why;
  switch (tFiles::ReadSmallFile(Path + CardSuffix, 4096, Text, Why)) {
    case tFiles::rr_Missing:
      Error = Path + CardSuffix + " is missing: the card it was kept from is not known";
      return false;
    case tFiles::rr_Refused:
      Error = "cannot read " + Path + CardSuffix + ": " + Why;
      return false;
    case tFiles::rr_Read:
      break;
  }
  const nlohmann::json Line = nlohmann::json::parse(Text, nullptr, false);
  const auto ID = Line.is_object() ? Line.find("DeviceID") : Line.end();
  const auto Serial = Line.is_object() ? Line.find("BootLoaderSerial") : Line.end();
  if (ID == Line.end() || !ID->is_number_unsigned() || ID->get<uint64_t>() > 255 ||
      Serial == Line.end() || !Serial->is_string()) {
    Error = Path + CardSuffix + " names no card";
    return false;
  }
  Card = {};
  Card.DeviceID = static_cast<uint8_t>(ID->get<uint64_t>());
  Card.BootLoaderSerial = Serial->get<std::string>();
  if (const auto Adapter = Line.find("Adapter"); Adapter != Line.end() && Adapter->is_object()) {
    Card.Adapter.Vendor = Adapter->value("Vendor", "");
    Card.Adapter.Product = Adapter->value("Product", "");
    Card.Adapter.Serial = Adapter->value("Serial", "");
    Card.Adapter.Name = Adapter->value("Name", "");
  }
  return true;
}

std::string NewestKeptFirmware(const tCardIdentity& Card, const std::string& Folder, bool AnyCard) {
  const std::string In = Folder.empty() ? KeptFirmwareFolder() : Folder;
  std::vector<std::string> Names;
  if (int Code = 0; !tFiles::ListFolder(In, Names, Code)) return {};
  const std::string Prefix = "card" + std::to_string(Card.DeviceID) + "-";
  const std::string Extension = ".dfu";
  // The time follows the card's number in a fixed width: the names sort by it.
  std::sort(Names.rbegin(), Names.rend());
  for (const std::string& Name : Names) {
    if (Name.size() <= Prefix.size() + Extension.size() || Name.rfind(Prefix, 0) != 0 ||
        Name.compare(Name.size() - Extension.size(), Extension.size(), Extension) != 0)
      continue;
    const std::string Path = In + "/" + Name;
    if (AnyCard) return Path;
    tKeptCard From;
    if (std::string Error; !ReadKeptCard(Path, From, Error)) continue;
    if (SameCard({From.DeviceID, From.Adapter}, Card)) return Path;
  }
  return {};
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
      Error = "cannot check " + Path + ": its SHA-256 file " + Path + HashSuffix + " is missing";
      return false;
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

namespace {

// "card33" of "card33-20261209T211338155Z-fw12.dfu"; "" for a name that is not a kept image's.
std::string KeptCardKey(const std::string& Name) {
  const auto Dash = Name.find('-');
  if (Name.rfind("card", 0) != 0 || Dash == std::string::npos || Dash == 4) return "";
  for (std::size_t i = 4; i < Dash; ++i)
    if (Name[i] < '0' || Name[i] > '9') return "";
  if (Name.size() < 4 || Name.compare(Name.size() - 4, 4, ".dfu") != 0) return "";
  if (Name.find("-fw", Dash) == std::string::npos) return "";
  return Name.substr(0, Dash);
}

}  // namespace

std::vector<std::string> KeptFirmwareBeyond(const std::vector<std::string>& Names,
                                            std::size_t Keep) {
  // The time stamp in each name sorts as the time does: per card, newest last.
  std::map<std::string, std::vector<std::string>> ByCard;
  for (const std::string& Name : Names)
    if (const std::string Key = KeptCardKey(Name); !Key.empty()) ByCard[Key].push_back(Name);
  std::vector<std::string> Beyond;
  for (auto& [Key, Kept] : ByCard) {
    std::sort(Kept.begin(), Kept.end());
    if (Kept.size() > Keep) Beyond.insert(Beyond.end(), Kept.begin(), Kept.end() - Keep);
  }
  std::sort(Beyond.begin(), Beyond.end(), [](const std::string& A, const std::string& B) {
    return A.substr(A.find('-')) < B.substr(B.find('-'));
  });
  return Beyond;
}

std::vector<std::string> PruneKeptFirmware(const std::string& Folder, std::size_t Keep) {
  const std::string In = Folder.empty() ? KeptFirmwareFolder() : Folder;
  std::vector<std::string> Names;
  std::error_code Failed;
  for (const auto& Entry : std::filesystem::directory_iterator(In, Failed))
    if (Entry.is_regular_file(Failed)) Names.push_back(Entry.path().filename().string());
  const std::vector<std::string> Beyond = KeptFirmwareBeyond(Names, Keep);
  for (const std::string& Name : Beyond)
    for (const std::string Suffix : {"", HashSuffix, CardSuffix})
      std::filesystem::remove(In + "/" + Name + Suffix, Failed);
  return Beyond;
}
