// caddis dfu list and dfu download: the card's microcontroller firmware over USB DFU.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "dfu/LMDFU.h"
#include "dfu/lmdfu/DFUEventQueue.h"
#include "hostlink/OrvaneHost.h"
#include "platform/UIThread.h"

namespace {

constexpr uint16_t CardVendorID = 0x1CBE;
constexpr uint16_t CardProductID = 0x00FF;
constexpr double DefaultDeviceWait = 10.0;
constexpr double DefaultReturnWait = 30.0;
// A DFU image is firmware for a microcontroller's flash; anything this large is not one.
constexpr std::uintmax_t MaxImageSize = 64u << 20;
constexpr auto SearchPeriod = std::chrono::milliseconds(1000);
constexpr int BarWidth = 40;
constexpr int LineStep = 10;

std::string DeviceString(tLMDFUHandle Handle, uint8_t Index) {
  if (Index == 0) return "";
  char Text[256] = {};
  uint16_t Length = sizeof Text;
  if (LMDFUDeviceASCIIStringGet(Handle, Index, Text, &Length) != lm_Ok) return "(unreadable)";
  Text[sizeof Text - 1] = 0;
  return Text;
}

std::string Hex4(unsigned Value) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "%.4X", Value & 0xFFFF);
  return Text;
}

std::string AttributeText(uint8_t Attributes) {
  static const char* const Names[] = {"download", "upload", "manifestation tolerant",
                                      "will detach"};
  std::string Text;
  for (int Bit = 0; Bit < 4; ++Bit)
    if (Attributes & (1 << Bit)) Text += std::string(Text.empty() ? "" : ", ") + Names[Bit];
  return Text.empty() ? "none" : Text;
}

// The target revision: printable characters as they are ("A.2"), others as numbers; "none"
// when the device gives none.
std::string RevisionText(const tLMDFUDeviceInfo& Info) {
  auto Shown = [](char C) {
    const auto Code = static_cast<unsigned char>(C);
    return Code >= 0x21 && Code <= 0x7E ? std::string(1, C) : std::to_string(Code);
  };
  if (Info.cRevisionMajor == 0 && Info.cRevisionMinor == 0) return "none";
  return Shown(Info.cRevisionMajor) + "." + Shown(Info.cRevisionMinor);
}

void PrintDevice(int32_t Index, tLMDFUHandle Handle, const tLMDFUDeviceInfo& Info) {
  std::printf("%d: vendor 0x%s product 0x%s release 0x%s, %s\n", Index, Hex4(Info.usVID).c_str(),
              Hex4(Info.usPID).c_str(), Hex4(Info.usDevice).c_str(),
              Info.bDFUMode ? "DFU mode" : "run-time mode");
  std::printf("   transfer size %u, detach time-out %u ms, attributes 0x%02X (%s)\n",
              Info.usTransferSize, Info.usDetachTimeOut, Info.ucDFUAttributes,
              AttributeText(Info.ucDFUAttributes).c_str());
  // The target fields are filled only by devices with the vendor's own extensions.
  const std::string PartName(Info.pcPartNumber,
                             strnlen(Info.pcPartNumber, sizeof Info.pcPartNumber));
  std::printf("   Tiva extensions %s, part number %d, revision %s, part name %s\n",
              Info.bSupportsTivaExtensions ? "yes" : "no", Info.ulPartNumber,
              RevisionText(Info).c_str(), PartName.empty() ? "(none)" : PartName.c_str());
  const std::pair<const char*, uint8_t> Strings[] = {{"Manufacturer", Info.ucManufacturerString},
                                                     {"Product", Info.ucProductString},
                                                     {"Serial number", Info.ucSerialString},
                                                     {"Interface", Info.ucDFUInterfaceString}};
  for (const auto& [Label, StringIndex] : Strings)
    std::printf("   %-14s %s (string %u)\n", (std::string(Label) + ":").c_str(),
                DeviceString(Handle, StringIndex).c_str(), StringIndex);
}

bool InitLibrary(std::string& Error) {
  const tLMDFUErr Status = LMDFUInit();
  if (Status != lm_Ok) {
    Error = std::string("DFU library not initialised: ") + LMDFUStatusText(Status);
    return false;
  }
  if (const std::string Problem = LMDFUUsbProblem(); !Problem.empty())
    std::fprintf(stderr, "caddis: real USB devices are not listed: %s\n", Problem.c_str());
  return true;
}

// The card's boot loader: the lowest index with the card's vendor and product. -1 if none.
int32_t FindCard() {
  for (int32_t i = 0;; ++i) {
    tLMDFUDeviceInfo Info{};
    tLMDFUHandle Handle = nullptr;
    if (LMDFUDeviceOpen(i, &Info, &Handle) != lm_Ok) return -1;
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
    if (Info.usVID == CardVendorID && Info.usPID == CardProductID) return i;
  }
}

bool LoadImage(const std::string& File, std::vector<uint8_t>& Image, std::string& Error) {
  std::error_code Failed;
  const auto Size = std::filesystem::file_size(File, Failed);
  if (Failed) {
    Error = "cannot read " + File + ": " + Failed.message();
    return false;
  }
  if (Size > MaxImageSize) {
    Error = "cannot use " + File + ": " + std::to_string(Size) + " bytes is too large for a " +
            "firmware image";
    return false;
  }
  std::ifstream In(File, std::ios::binary);
  Image.resize(Size);
  if (!In || !In.read(reinterpret_cast<char*>(Image.data()), static_cast<std::streamsize>(Size))) {
    Error = "cannot read " + File + ": read failed";
    return false;
  }
  return true;
}

// An empty file is an empty image, passed with a valid address: the library judges it.
const uint8_t* ImageData(const std::vector<uint8_t>& Image) {
  static const uint8_t Nothing = 0;
  return Image.empty() ? &Nothing : Image.data();
}

// The notifications of one download as a progress display.
class tDownloadProgress {
 public:
  void Handle(const tLMDFUEvent& Event) {
    switch (Event.Message) {
      case WM_DFU_DOWNLOAD:
      case WM_DFU_UPLOAD:
      case WM_DFU_VERIFY:
      case WM_DFU_ERASE:
        Phase = Event.Message == WM_DFU_VERIFY ? "Verifying" : "Downloading";
        Total = Event.Param;
        Show(0);
        break;
      case WM_DFU_PROGRESS:
        Show(Event.Param);
        break;
      case WM_DFU_COMPLETE:
        Show(Total);
        Ended = true;
        break;
      case WM_DFU_ERROR:
        Ended = true;
        break;
      default:
        break;
    }
  }
  bool Ended = false;

 private:
  void Show(uint32_t Done) {
    const float Fraction = Total ? static_cast<float>(Done) / static_cast<float>(Total) : 0.0f;
    if (Line.Terminal()) {
      Line.Show(Phase + " " + ProgressBar(Fraction, BarWidth));
    } else {
      const int Step = ProgressPercent(Fraction) / LineStep * LineStep;
      Line.Show(Phase + ": " + std::to_string(Step) + "%");
    }
  }

  tStatusLine Line;
  std::string Phase = "Downloading";
  uint32_t Total = 0;
};

// Runs the download on a worker thread while the loop shows its notifications. The handle is
// used by the worker alone until it has ended.
tLMDFUErr Download(tLMDFUHandle Handle, const std::vector<uint8_t>& Image, bool Verify) {
  tLMDFUEventQueue Queue;
  std::atomic<bool> WorkerEnded{false};
  tLMDFUErr Result = lm_Ok;
  std::thread Worker([&] {
    Result = LMDFUDownload(Handle, ImageData(Image), static_cast<uint32_t>(Image.size()),
                           Verify ? LMDFU_TRUE : LMDFU_FALSE, LMDFU_FALSE, &Queue);
    WorkerEnded = true;
    tUIThread::Wake();
  });
  tDownloadProgress Progress;
  const tLoopEnd End = tCliLoop(nullptr).RunUntil(
      [&] {
        const bool Returned = WorkerEnded;
        Queue.Drain([&](const tLMDFUEvent& Event) { Progress.Handle(Event); });
        return Progress.Ended || (Returned && !Queue.WaitFor(std::chrono::milliseconds(0)));
      },
      std::chrono::hours(24 * 365));
  // A download cannot be stopped half-way without leaving the device in an error state, so
  // an interrupted loop still waits for the call to return.
  if (End == le_Stopped) std::fprintf(stderr, "caddis: waiting for the download to end\n");
  Worker.join();
  return Result;
}

}  // namespace

int DfuListCommand(const tCommandArgs& Args) {
  const std::string Name = "dfu list";
  tCliArgs Parsed;
  int Exit = ExitOk;
  if (!ReadArgs(Name, Args, {}, Parsed, Exit) || !CheckPositional(Name, Parsed, 0, 0, Exit))
    return Exit;
  std::string Error;
  if (!InitLibrary(Error)) return Failure(Error);
  int32_t Count = 0;
  for (;; ++Count) {
    tLMDFUDeviceInfo Info{};
    tLMDFUHandle Handle = nullptr;
    if (LMDFUDeviceOpen(Count, &Info, &Handle) != lm_Ok) break;
    PrintDevice(Count, Handle, Info);
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
  }
  if (Count == 0) std::printf("No USB DFU devices found\n");
  return ExitOk;
}

int DfuDownloadCommand(const tCommandArgs& Args) {
  const std::string Name = "dfu download";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Index = -1, Port = 0;
  double Wait = 0, ReturnWait = 0;
  if (!ReadArgs(Name, Args,
                {{"--no-verify", false},
                 {"--index", true},
                 {"--wait", true},
                 {"--port", true},
                 {"--return-timeout", true}},
                Parsed, Exit) ||
      !CheckPositional(Name, Parsed, 1, 1, Exit) ||
      !ReadSeconds(Name, Parsed, "--wait", DefaultDeviceWait, Wait, Exit) ||
      !ReadSeconds(Name, Parsed, "--return-timeout", DefaultReturnWait, ReturnWait, Exit) ||
      (Parsed.Values.count("--port") && !ReadPort(Name, Parsed, Port, Exit)))
    return Exit;
  if (const auto Given = Parsed.Values.find("--index");
      Given != Parsed.Values.end() && !ParseIndex(Given->second, 1000000, Index))
    return UsageError(Name, "'" + Given->second + "' is not a device index");

  const std::string File = Parsed.Positional[0];
  std::vector<uint8_t> Image;
  std::string Error;
  if (!LoadImage(File, Image, Error) || !InitLibrary(Error)) return Failure(Error);

  // The card appears a moment after Boot: search once a second, as the update dialog does.
  if (Index < 0) {
    const auto Until = std::chrono::steady_clock::now() + Seconds(Wait);
    while ((Index = FindCard()) < 0 && std::chrono::steady_clock::now() < Until)
      if (tCliLoop(nullptr).RunFor(SearchPeriod) == le_Stopped) return ExitInterrupted;
    if (Index < 0) return Failure("No USB DFU devices found (vendor 0x1CBE, product 0x00FF)");
  }
  tLMDFUDeviceInfo Info{};
  tLMDFUHandle Handle = nullptr;
  if (const tLMDFUErr Status = LMDFUDeviceOpen(Index, &Info, &Handle); Status != lm_Ok)
    return Failure("Open error " + std::to_string(Status) + ": " + LMDFUStatusText(Status));
  PrintDevice(Index, Handle, Info);

  const std::string FileName = std::filesystem::path(File).filename().string();
  if (const tLMDFUErr Status =
          LMDFUIsValidImage(Handle, ImageData(Image), static_cast<uint32_t>(Image.size()), nullptr);
      Status != lm_Ok) {
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
    return Failure("File " + FileName + " is not compatible with this device: " +
                   LMDFUStatusText(Status) + " (" + std::to_string(Status) + ")");
  }
  const tLMDFUErr Result = Download(Handle, Image, !Parsed.Has("--no-verify"));
  if (Result != lm_Ok) {
    const std::string Details = LMDFULastErrorText(Handle);
    // Left in DFU mode, the device can be tried again.
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
    return Failure("Download error " + std::to_string(Result) + ": " + LMDFUStatusText(Result) +
                   (Details.empty() ? "" : " (" + Details + ")"));
  }
  // The new firmware runs only once the device has left DFU mode.
  if (const tLMDFUErr Closed = LMDFUDeviceClose(Handle, LMDFU_TRUE); Closed != lm_Ok)
    return Failure("The firmware was written, but the device did not restart into it: error " +
                   std::to_string(Closed) + ": " + LMDFUStatusText(Closed));
  std::printf("Device updated successfully\n");
  std::fflush(stdout);
  // After an update the card restarts its firmware; the window waits for it to come back
  // before it closes the dialog, and so does this when given the port. The card's port is
  // gone while it is in its boot loader, so it is looked for at once.
  return Port > 0 ? WaitForCardReturn(Port, std::chrono::milliseconds(0), ReturnWait) : ExitOk;
}
