// caddis dfu list, dfu download and update-firmware: the card's microcontroller firmware
// over USB DFU.
#include <cstdio>
#include <cstring>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "lib/lmdfu/LMDFU.h"
#include "hostlink/OrvaneHost.h"
#include "session/BootTurn.h"
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

nlohmann::ordered_json DeviceJson(const tDFUDeviceEntry& Device);

// The boot loader a download goes to: as dfu list shows it, or with --json a "boot-loader"
// event with its serial number and location.
void ShowDevice(const tDFUDeviceEntry& Device) {
  if (!tCliEvents::On()) return PrintDevice(Device);
  nlohmann::ordered_json Line = tCliEvents::Event("boot-loader");
  Line["serial"] = Device.Serial.Read ? nlohmann::ordered_json(Utf8FromLatin1(Device.Serial.Text))
                                      : nlohmann::ordered_json(nullptr);
  Line["location"] = Utf8FromLatin1(Device.Location);
  tCliEvents::Emit(Line);
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

// Loads a firmware image and checks that it fits the card: done before the card leaves its
// link, as an image refused later would leave the card in its boot loader for nothing.
bool LoadFirmwareImage(const std::string& File, tDFUImage& Image, std::string& Error) {
  if (!LoadImage(File, Image, Error)) return false;
  if (CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Error)) return true;
  Error = "cannot use " + File + ": " + Error;
  return false;
}

// What a download's failure means for a script.
tFailKind DownloadFailureKind(const tDownloadOutcome& Failed) {
  const tLMDFUErr Code = Failed.Code;
  switch (Failed.Step) {
    case tDownloadOutcome::df_Check:
      return Code <= lm_ImageTooShort ? fk_Image : fk_Failure;
    case tDownloadOutcome::df_CardImage:
      return fk_Image;
    case tDownloadOutcome::df_Open:
      return fk_Failure;
    case tDownloadOutcome::df_Leave:
      return fk_Verify;
    case tDownloadOutcome::df_Download:
      break;
  }
  switch (Code) {
    case lm_VerifyMismatch:
    case lm_VerifyShort:
      return fk_Verify;
    case lm_Stall:
    case lm_DeviceStatus:
    case lm_DeviceState:
    case lm_NotSupported:
      return fk_Refused;
    case lm_DeviceGone:
    case lm_Timeout:
      return fk_NoCard;
    default:
      return fk_Failure;
  }
}

// Downloads with progress and reports the outcome; true on success. Target names the card in
// the progress lines: its port when known, else its boot loader's serial number. Outcome as
// for DownloadFirmware.
bool Download(const tDFUDeviceEntry& Device, const tDFUImage& Image, const std::string& File,
              bool Verify, const std::string& Target, std::string& Error, tFailKind& Kind,
              tDownloadOutcome* Outcome = nullptr) {
  tStatusLine Line;
  tTransferDisplay Display(Line, Image.Size(), Target);
  // The name after the last separator of either system, taken from the UTF-8 text itself (a
  // file-system path object would read it in Windows' ANSI code page).
  const std::string FileName = File.substr(File.find_last_of("/\\") + 1);
  // Without Outcome a device that refused the image stays in its boot loader for another try.
  tDownloadOutcome Local;
  tDownloadOutcome& Out = Outcome ? *Outcome : Local;
  const bool Done = DownloadFirmware(
      Device, Image, FileName, Verify,
      [&](const tDFUProgress& Progress) {
        if (!Progress.Failed())
          Display.Show(Progress.Phase(), Progress.Phase(), Progress.PhaseFraction());
      },
      Error, &Out, Outcome != nullptr);
  Kind = DownloadFailureKind(Out);
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
// the card's return. ExitOk, or the failure reported.
tCliResult BootAndDownload(
    tCliSession& Session, const tBootDownloadGroup& Options, const tDFUFilter& Filter,
    const tDFUImage& Image, const std::string& File,
    const std::function<bool(const tDFUDeviceEntry&, std::string&)>& BeforeDownload = {}) {
  std::string Error;
  const int32_t Port = Session.ComPort;
  const double ReturnTimeout = Options.ReturnTimeout;
  // One card at a time from its Boot until its boot loader is found, among every caddis of
  // this user: the one new boot loader is then this card's.
  tBootTurn Turn;
  if (!Turn.Take(
          [&] {
            return tCliLoop(Session.Host.get()).RunFor(tCardSession::PollPeriod) != le_Stopped;
          },
          Error)) {
    if (StopRequested()) return InterruptedExit();
    std::fprintf(stderr, "caddis: %s\n", Error.c_str());
    Error.clear();
  }
  Say("Boot sent on COM" + std::to_string(Port) + ": waiting for its boot loader on USB");
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
  // A card whose boot loader was sent back is waited for; the failure stands, and is the
  // reason when that wait is stopped.
  auto SentBack = [&](tFailKind Kind) {
    const tCliResult Failed = Failure(Kind, Error);
    const tCliResult Returned = Session.WaitForReturn(std::chrono::milliseconds(0), ReturnTimeout);
    if (Returned.Exit == ExitOk) return Failed;
    return Returned.Text.empty() ? tCliResult(Returned.Exit, Failed.Text) : Returned;
  };
  tDFUDeviceEntry Device;
  if (!Session.BootToLoader(Filter, Seconds(Options.BootTimeout), Device, Error)) {
    if (StopRequested()) {
      Error = "interrupted: " + Stranded(std::string(), true);
      Failure(fk_Interrupted, Error);
      return InterruptedExit(Error);
    }
    return Failure(fk_NoCard, Error);
  }
  Turn.Release();
  ShowDevice(Device);
  if (BeforeDownload && !BeforeDownload(Device, Error)) {
    if (LeaveDFUMode(Device.Index)) {
      Error += "; nothing was written: the card restarts with its former firmware";
      return SentBack(fk_Failure);
    }
    Error += "; " + Stranded(Device.Serial.Text, true);
    return Failure(Error);
  }
  tDownloadOutcome Outcome;
  if (tFailKind Kind = fk_Failure; !Download(Device, Image, File, !Options.NoVerify,
                                             "COM" + std::to_string(Port), Error, Kind, &Outcome)) {
    if (Outcome.SentBack) return SentBack(Kind);
    Error += "; " + Stranded(Device.Serial.Text, !Outcome.Written || Outcome.Complete);
    const tCliResult Failed = Failure(Kind, Error);
    return StopRequested() ? InterruptedExit(Failed.Text) : Failed;
  }
  Say("Device updated successfully");
  if (StopRequested()) {
    Error = "interrupted: the card from COM" + std::to_string(Port) +
            " restarts with its new firmware by itself";
    Failure(fk_Interrupted, Error);
    return InterruptedExit(Error);
  }
  return Session.WaitForReturn(std::chrono::milliseconds(0), ReturnTimeout, fk_Verify);
}

// The device filters given on the command line.
bool ReadFilter(const std::string& Command, const tDfuFilterGroup& Options, tDFUFilter& Filter,
                tCliResult& Exit) {
  Filter.Serial = Options.Serial;
  Filter.Location = Options.Path;
  if (Options.Index) {
    if (!ParseIndex(*Options.Index, 1000000, Filter.Index)) {
      Exit = UsageError(Command, "'" + *Options.Index + "' is not a device index");
      return false;
    }
    // A device named by its index is taken whatever its identity, as dfu list shows it.
    Filter.CardOnly = false;
  }
  return true;
}

}  // namespace

tCliResult DfuListCommand(const tCliContext&, const tJsonOptions& Options) {
  std::string Error;
  if (!InitLibrary(Error)) return Failure(Error);
  tDFUFilter All;
  All.CardOnly = false;
  const auto Devices = SearchDFUDevices(All);
  if (Options.Json) {
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

tCliResult DfuDownloadCommand(const tCliContext& Context, const tDfuDownloadOptions& Options) {
  tCliResult Exit;
  const int32_t Port = Options.Port.value_or(0);
  tDFUFilter Filter;
  if (!ReadFilter(Context.Command, Options, Filter, Exit)) return Exit;

  const std::string File = Context.Words[0];
  tCliEvents::Start(tCliEvents::ImageObject(File));
  tDFUImage Image;
  std::string Error;
  if (!LoadImage(File, Image, Error)) return Failure(fk_Image, Error);
  if (!InitLibrary(Error)) return Failure(Error);

  // The card appears a moment after Boot: search once a second, as the update dialog does.
  // With several boot loaders present the operator chooses; the tool never guesses.
  tDFUDeviceEntry Device;
  if (!FindBootLoader(Filter, Seconds(Options.Wait), Device, Error)) {
    if (StopRequested()) return InterruptedExit();
    if (Error.rfind("more than one", 0) == 0) return UsageError(Context.Command, Error);
    return Failure(fk_NoCard, Error);
  }
  ShowDevice(Device);
  const std::string Target = Port > 0 ? "COM" + std::to_string(Port) : BootLoaderName(Device);
  if (tFailKind Kind = fk_Failure;
      !Download(Device, Image, File, !Options.NoVerify, Target, Error, Kind))
    return Failure(Kind, Error);
  Say("Device updated successfully");
  // After an update the card restarts its firmware; the window waits for it to come back
  // before it closes the dialog, and so does this when given the port. The card's port is
  // gone while it is in its boot loader, so it is looked for at once.
  if (Port <= 0) return ExitOk;
  tCliSession Session;
  Session.ComPort = Port;
  return Session.WaitForReturn(std::chrono::milliseconds(0), Options.ReturnTimeout, fk_Verify);
}

tCliResult UpdateFirmwareCommand(const tCliContext&, const tFirmwareOptions& Options) {
  tCliResult Exit;
  const int32_t Port = Options.Port;
  tDFUFilter Filter;
  Filter.Serial = Options.Serial;

  // Everything that can be checked is checked before the card leaves its link: an image
  // refused later would leave the card in its boot loader for nothing.
  const std::string File = Options.File ? *Options.File : DefaultImagePath(FirmwareImageName);
  tCliEvents::Start(tCliEvents::ImageObject(File));
  tDFUImage Image;
  std::string Error;
  if (!LoadFirmwareImage(File, Image, Error)) return Failure(fk_Image, Error);
  if (!InitLibrary(Error)) return Failure(Error);

  tCliSession Session;
  if (!Session.OpenIdentified(Port, Options.Timeout, Exit)) return Exit;
  tCliEvents::Card(*Session.Host, "before");
  Session.SayCard("Card on");
  tServiceRecorder Record("caddis", Options.Record.value_or(""));
  Record.Begin(Session, tRecordAction::Firmware, File);
  // The card's firmware is read back and kept first: nothing is written unless it was.
  const tCardFacts Card = CardFactsOf(Session.Host.get());
  auto KeepOld = [&](const tDFUDeviceEntry& Device, std::string& Failed) {
    if (Options.NoBackup) return true;
    Say("Reading the card's firmware back before the update");
    tStatusLine Line;
    tTransferDisplay Display(Line, tDFUImage::CardFlashSize, "COM" + std::to_string(Port));
    tKeptFirmware Kept;
    const bool Done = KeepFirmware(
        Device, Card,
        [&](const tDFUProgress& Progress) {
          if (!Progress.Failed())
            Display.Show(Progress.Phase(), Progress.Phase(), Progress.PhaseFraction());
        },
        Kept, Failed);
    Line.Finish();
    if (!Done) return false;
    Say("The card's firmware is kept in " + Kept.Path);
    Record.SetKept(Kept.Path, Kept.SHA256);
    return true;
  };
  return FinishRecord(Record, Session,
                      BootAndDownload(Session, Options, Filter, Image, File, KeepOld));
}

tCliResult RestoreCommand(const tCliContext&, const tRestoreOptions& Options) {
  tCliResult Exit;
  const int32_t Port = Options.Port;
  tDFUFilter Filter;
  Filter.Serial = Options.Serial;
  std::string Error;
  if (!InitLibrary(Error)) return Failure(Error);
  tCliSession Session;
  if (!Session.OpenIdentified(Port, Options.Timeout, Exit)) return Exit;
  const uint8_t Card = Session.Host->DeviceID;
  Session.SayCard("Card on");
  // The image and its kept SHA-256 are checked while the card still runs its firmware.
  std::string File = Options.File.value_or("");
  if (!Options.File) {
    File = NewestKeptFirmware(Card);
    if (File.empty())
      return Failure(fk_Image, "no firmware kept for card " + std::to_string(Card) + " in " +
                                   KeptFirmwareFolder());
  }
  tDFUImage Image;
  if (!CheckKeptFirmware(File, Error) || !LoadFirmwareImage(File, Image, Error))
    return Failure(fk_Image, Error);
  Say("Restoring " + File);
  tServiceRecorder Record("caddis", Options.Record.value_or(""));
  Record.Begin(Session, tRecordAction::Restore, File);
  return FinishRecord(Record, Session, BootAndDownload(Session, Options, Filter, Image, File));
}
