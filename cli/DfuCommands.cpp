// caddis dfu list, dfu download and update-firmware: the card's microcontroller firmware
// over USB DFU.
#include <cstdio>
#include <cstring>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "dfu/LMDFU.h"
#include "hostlink/OrvaneHost.h"
#include "session/FirmwareBackup.h"
#include "session/ServiceRecord.h"

namespace {

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

std::string PartName(const tLMDFUDeviceInfo& Info) {
  return std::string(Info.pcPartNumber, strnlen(Info.pcPartNumber, sizeof Info.pcPartNumber));
}

std::string StringText(const tDFUString& String) {
  if (String.Index == 0) return "";
  if (String.Refused) return "(no permission)";
  return String.Read ? String.Text : "(unreadable)";
}

void PrintDevice(const tDFUDeviceEntry& Device) {
  const tLMDFUDeviceInfo& Info = Device.Info;
  std::printf("%d: vendor 0x%s product 0x%s release 0x%s, %s\n", Device.Index,
              Hex4(Info.usVID).c_str(), Hex4(Info.usPID).c_str(), Hex4(Info.usDevice).c_str(),
              Info.bDFUMode ? "DFU mode" : "run-time mode");
  std::printf("   transfer size %u, detach time-out %u ms, attributes 0x%02X (%s)\n",
              Info.usTransferSize, Info.usDetachTimeOut, Info.ucDFUAttributes,
              AttributeText(Info.ucDFUAttributes).c_str());
  // The target fields are filled only by devices with the vendor's own extensions.
  const std::string Part = PartName(Info);
  std::printf("   Tiva extensions %s, part number %d, revision %s, part name %s\n",
              Info.bSupportsTivaExtensions ? "yes" : "no", Info.ulPartNumber,
              RevisionText(Info).c_str(), Part.empty() ? "(none)" : Part.c_str());
  const std::pair<const char*, const tDFUString*> Strings[] = {
      {"Manufacturer", &Device.Manufacturer},
      {"Product", &Device.Product},
      {"Serial number", &Device.Serial},
      {"Interface", &Device.Interface}};
  for (const auto& [Label, String] : Strings)
    std::printf("   %-14s %s (string %u)\n", (std::string(Label) + ":").c_str(),
                StringText(*String).c_str(), String->Index);
  std::printf("   Location:      %s\n", Device.Location.c_str());
}

nlohmann::ordered_json DeviceJson(const tDFUDeviceEntry& Device) {
  const tLMDFUDeviceInfo& Info = Device.Info;
  auto String = [](const tDFUString& S) {
    return S.Index != 0 && S.Read ? nlohmann::ordered_json(Utf8FromLatin1(S.Text))
                                  : nlohmann::ordered_json(nullptr);
  };
  return {{"Index", Device.Index},
          {"VendorID", Info.usVID},
          {"ProductID", Info.usPID},
          {"Release", Info.usDevice},
          {"DFUMode", Info.bDFUMode != 0},
          {"TransferSize", Info.usTransferSize},
          {"DetachTimeOut", Info.usDetachTimeOut},
          {"Attributes", Info.ucDFUAttributes},
          {"TivaExtensions", Info.bSupportsTivaExtensions != 0},
          {"PartNumber", Info.ulPartNumber},
          {"PartName", Utf8FromLatin1(PartName(Info))},
          {"Manufacturer", String(Device.Manufacturer)},
          {"Product", String(Device.Product)},
          {"SerialNumber", String(Device.Serial)},
          {"Interface", String(Device.Interface)},
          {"Location", Utf8FromLatin1(Device.Location)},
          {"IsCard", Device.IsCard()}};
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

// Loads the image named on the command line; the reason when it cannot be used.
bool LoadImage(const std::string& File, tDFUImage& Image, std::string& Error) {
  switch (Image.Load(File)) {
    case tDFUImage::il_Loaded:
      return true;
    case tDFUImage::il_TooLarge:
      Error = "cannot use " + File + ": " + Image.Error();
      return false;
    default:
      Error = "cannot read " + File + ": " + Image.Error();
      return false;
  }
}

// Downloads with progress and reports the outcome; true on success. Target names the card in
// the progress lines: its port when known, else its boot loader's serial number. Outcome as
// for DownloadFirmware.
bool Download(const tDFUDeviceEntry& Device, const tDFUImage& Image, const std::string& File,
              bool Verify, const std::string& Target, std::string& Error,
              tDownloadOutcome* Outcome = nullptr) {
  tStatusLine Line;
  tTransferDisplay Display(Line, Image.Size(), Target);
  // The name after the last separator of either system, taken from the UTF-8 text itself (a
  // file-system path object would read it in Windows' ANSI code page).
  const std::string FileName = File.substr(File.find_last_of("/\\") + 1);
  const bool Done = DownloadFirmware(
      Device, Image, FileName, Verify,
      [&](const tDFUProgress& Progress) {
        if (!Progress.Failed())
          Display.Show(Progress.Phase(), Progress.Phase(), Progress.PhaseFraction());
      },
      Error, Outcome);
  Line.Finish();
  if (StopRequested()) std::fprintf(stderr, "caddis: the download was finished before stopping\n");
  return Done;
}

// A boot loader in a progress line: "USB SIM00021", by its location when it has no serial.
std::string BootLoaderName(const tDFUDeviceEntry& Device) {
  return "USB " + (Device.Serial.Text.empty() ? Device.Location : Device.Serial.Text);
}

// Once the card has identified itself on the session's link: Boot, its boot loader, BeforeDownload
// (when given; its failure ends the update before anything is written), the download and
// the card's return. ExitOk, or the failure reported with its text in Error.
int BootAndDownload(
    tCliSession& Session, const tCliRequest& Request, const tDFUFilter& Filter,
    const tDFUImage& Image, const std::string& File, std::string& Error,
    const std::function<bool(const tDFUDeviceEntry&, std::string&)>& BeforeDownload = {}) {
  const int32_t Port = Session.ComPort;
  const double ReturnTimeout = Request.SecondsOf("--return-timeout");
  std::printf("Boot sent on COM%d: waiting for its boot loader on USB\n", Port);
  std::fflush(stdout);
  // From here on the card is in its boot loader until it is sent back: a stop or a failure
  // says where it is and how to bring it back.
  const std::string Again = "caddis dfu download " + File;
  const std::string Back = " --port " + std::to_string(Port);
  // Switching the card off and on starts the firmware it holds, when that is whole.
  auto Stranded = [&](const std::string& Serial, bool FirmwareWhole) {
    const std::string Command = Again + (Serial.empty() ? "" : " --serial " + Serial) + Back;
    return "the card from COM" + std::to_string(Port) + " is in its USB DFU boot loader" +
           (Serial.empty() ? "" : " (serial " + Serial + ")") + "; bring it back with " + Command +
           (FirmwareWhole ? ", or by switching it off and on" : "");
  };
  tDFUDeviceEntry Device;
  if (!Session.BootToLoader(Filter, Seconds(Request.SecondsOf("--boot-timeout")), Device, Error)) {
    if (StopRequested()) {
      Error = "interrupted: " + Stranded(std::string(), true);
      Failure(Error);
      return InterruptedExit();
    }
    return Failure(Error);
  }
  PrintDevice(Device);
  if (BeforeDownload && !BeforeDownload(Device, Error)) {
    Error += "; " + Stranded(Device.Serial.Text, true);
    return Failure(Error);
  }
  tDownloadOutcome Outcome;
  if (!Download(Device, Image, File, !Request.NoVerify, "COM" + std::to_string(Port), Error,
                &Outcome)) {
    if (Outcome.SentBack) {
      Failure(Error);
      const int Returned = Session.WaitForReturn(std::chrono::milliseconds(0), ReturnTimeout);
      return Returned == ExitOk ? ExitFailure : Returned;
    }
    Error += "; " + Stranded(Device.Serial.Text, !Outcome.Written || Outcome.Complete);
    Failure(Error);
    return StopRequested() ? InterruptedExit() : ExitFailure;
  }
  std::printf("Device updated successfully\n");
  std::fflush(stdout);
  if (StopRequested()) {
    Error = "interrupted: the card from COM" + std::to_string(Port) +
            " restarts with its new firmware by itself";
    Failure(Error);
    return InterruptedExit();
  }
  return Session.WaitForReturn(std::chrono::milliseconds(0), ReturnTimeout, &Error);
}

// The device filters given on the command line.
bool ReadFilter(const tCliRequest& Request, tDFUFilter& Filter, int& Exit) {
  Filter.Serial = Request.Serial;
  Filter.Location = Request.Path;
  if (Request.Has("--index")) {
    if (!ParseIndex(Request.Index, 1000000, Filter.Index)) {
      Exit = UsageError(Request.Command, "'" + Request.Index + "' is not a device index");
      return false;
    }
    // A device named by its index is taken whatever its identity, as dfu list shows it.
    Filter.CardOnly = false;
  }
  return true;
}

}  // namespace

int DfuListCommand(const tCliRequest& Request) {
  std::string Error;
  if (!InitLibrary(Error)) return Failure(Error);
  tDFUFilter All;
  All.CardOnly = false;
  const auto Devices = SearchDFUDevices(All);
  if (Request.Json) {
    nlohmann::ordered_json List = nlohmann::ordered_json::array();
    for (const auto& Device : Devices)
      List.push_back(DeviceJson(Device));
    std::printf("%s\n", JsonText(List).c_str());
    return ExitOk;
  }
  for (const auto& Device : Devices)
    PrintDevice(Device);
  if (Devices.empty()) std::printf("No USB DFU devices found\n");
  return ExitOk;
}

int DfuDownloadCommand(const tCliRequest& Request) {
  int Exit = ExitOk;
  const int32_t Port = Request.PortNumber;
  tDFUFilter Filter;
  if (!ReadFilter(Request, Filter, Exit)) return Exit;

  const std::string File = Request.Words[0];
  tDFUImage Image;
  std::string Error;
  if (!LoadImage(File, Image, Error) || !InitLibrary(Error)) return Failure(Error);

  // The card appears a moment after Boot: search once a second, as the update dialog does.
  // With several boot loaders present the operator chooses; the tool never guesses.
  tDFUDeviceEntry Device;
  if (!FindBootLoader(Filter, Seconds(Request.SecondsOf("--wait")), Device, Error)) {
    if (StopRequested()) return InterruptedExit();
    if (Error.rfind("more than one", 0) == 0) return UsageError(Request.Command, Error);
    return Failure(Error);
  }
  PrintDevice(Device);
  const std::string Target = Port > 0 ? "COM" + std::to_string(Port) : BootLoaderName(Device);
  if (!Download(Device, Image, File, !Request.NoVerify, Target, Error)) return Failure(Error);
  std::printf("Device updated successfully\n");
  std::fflush(stdout);
  // After an update the card restarts its firmware; the window waits for it to come back
  // before it closes the dialog, and so does this when given the port. The card's port is
  // gone while it is in its boot loader, so it is looked for at once.
  if (Port <= 0) return ExitOk;
  tCliSession Session;
  Session.ComPort = Port;
  return Session.WaitForReturn(std::chrono::milliseconds(0), Request.SecondsOf("--return-timeout"));
}

int UpdateFirmwareCommand(const tCliRequest& Request) {
  int Exit = ExitOk;
  const int32_t Port = Request.PortNumber;
  tDFUFilter Filter;
  Filter.Serial = Request.Serial;

  // Everything that can be checked is checked before the card leaves its link: an image
  // refused later would leave the card in its boot loader for nothing.
  const std::string File =
      Request.Has("--file") ? Request.File : DefaultImagePath(FirmwareImageName);
  tDFUImage Image;
  std::string Error;
  if (!LoadImage(File, Image, Error)) return Failure(Error);
  if (!CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Error))
    return Failure("cannot use " + File + ": " + Error);
  if (!InitLibrary(Error)) return Failure(Error);

  tCliSession Session;
  if (!Session.OpenIdentified(Port, Request.SecondsOf("--timeout"), Exit)) return Exit;
  std::printf("Card on COM%d: device ID %u, firmware version %u\n", Port, Session.Host->DeviceID,
              Session.Host->FirmwareVersion);
  return BootAndDownload(Session, Request, Filter, Image, File, Error);
}

int RestoreCommand(const tCliRequest& Request) {
  int Exit = ExitOk;
  const int32_t Port = Request.PortNumber;
  tDFUFilter Filter;
  Filter.Serial = Request.Serial;
  std::string Error;
  if (!InitLibrary(Error)) return Failure(Error);
  tCliSession Session;
  if (!Session.OpenIdentified(Port, Request.SecondsOf("--timeout"), Exit)) return Exit;
  const uint8_t Card = Session.Host->DeviceID;
  std::printf("Card on COM%d: device ID %u, firmware version %u\n", Port, Card,
              Session.Host->FirmwareVersion);
  // The image and its kept SHA-256 are checked while the card still runs its firmware.
  std::string File = Request.File;
  if (!Request.Has("--file")) {
    File = NewestKeptFirmware(Card);
    if (File.empty())
      return Failure("no firmware kept for card " + std::to_string(Card) + " in " +
                     KeptFirmwareFolder());
  }
  tDFUImage Image;
  if (!CheckKeptFirmware(File, Error) || !LoadImage(File, Image, Error)) return Failure(Error);
  if (!CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Error))
    return Failure("cannot use " + File + ": " + Error);
  std::printf("Restoring %s\n", File.c_str());
  std::fflush(stdout);
  tServiceRecorder Record("caddis");
  Record.Begin(Session, tRecordAction::Restore, File);
  const int Result = BootAndDownload(Session, Request, Filter, Image, File, Error);
  std::string RecordError;
  if (!Record.Finish(Session,
                     Result == ExitOk              ? sr_Succeeded
                     : Result == InterruptedExit() ? sr_Interrupted
                                                   : sr_Failed,
                     Error, RecordError))
    Failure(RecordError);
  return Result;
}
