// caddis dfu list, dfu download and update-firmware: the card's microcontroller firmware
// over USB DFU.
#include <cstdio>
#include <cstring>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "lib/lmdfu/LMDFU.h"
#include "package/ReleaseSteps.h"
#include "session/BootTurn.h"
#include "session/FirmwareBackup.h"
#include "session/ServiceRecord.h"
#include "support/FilePlaces.h"

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

void ShowBootLoader(const tDFUDeviceEntry& Device) {
  if (!tCliEvents::On()) return PrintDevice(Device);
  nlohmann::ordered_json Line = tCliEvents::Event("boot-loader");
  Line["serial"] = Device.Serial.Read ? nlohmann::ordered_json(Utf8FromLatin1(Device.Serial.Text))
                                      : nlohmann::ordered_json(nullptr);
  Line["location"] = Utf8FromLatin1(Device.Location);
  tCliEvents::Emit(Line);
}

tCliResult DfuListCommand(const tCliContext& Context, const tJsonOptions& Options) {
  tCliReport Report;
  if (const tFlowOutcome Ready = InitDFULibrary(Report); !Ready.Ok)
    return OutcomeExit(Ready, Context.Command);
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
  tDFUDownloadRequest Download;
  if (!ReadFilter(Context.Command, Options, Download.Filter, Exit)) return Exit;
  Download.File = Context.Words[0];
  Download.Verify = !Options.NoVerify;
  Download.Wait = Seconds(Options.Wait);
  Download.Port = Options.Port.value_or(0);
  Download.ReturnTimeout = Seconds(Options.ReturnTimeout);
  tCliSession Session;
  tCliReport Report;
  return RunCommandFlow(Session, DFUDownloadFlow(Session, Report, Download), Context.Command);
}

namespace {

tFirmwareRequest FirmwareRequestOf(int32_t Port, const tBootDownloadGroup& Options,
                                   const std::string& File) {
  tFirmwareRequest Firmware;
  Firmware.Port = Port;
  Firmware.File = File;
  Firmware.Filter.Serial = Options.Serial;
  Firmware.Verify = !Options.NoVerify;
  Firmware.IdentityTimeout = Seconds(Options.Timeout);
  Firmware.BootTimeout = Seconds(Options.BootTimeout);
  Firmware.ReturnTimeout = Seconds(Options.ReturnTimeout);
  Firmware.Record = {"caddis", Options.Record.value_or("")};
  return Firmware;
}

}  // namespace

tCliResult UpdateFirmwareCommand(const tCliContext& Context, const tFirmwareOptions& Options) {
  tFirmwareRequest Firmware = FirmwareRequestOf(
      Options.Port, Options, Options.File.value_or(DefaultImagePath(FirmwareImageName)));
  Firmware.Backup = !Options.NoBackup;
  Firmware.Force = Options.Force;
  Firmware.AllowDowngrade = Options.AllowDowngrade;
  Firmware.Proof.Rollback = !Options.NoRollback;
  Firmware.Proof.Settle = Seconds(Options.Settle);
  if (Options.Package && Options.File)
    return UsageError(Context.Command, "give --file or --package, not both");
  std::optional<tReleasePackage> Release;
  if (tCliResult Refused; !TakePackage(Options, Release, Refused)) return Refused;
  if (std::string Why; Release && !TakeReleaseFirmware(*Release, Firmware, Why))
    return Failure(fk_Image, Why);
  tCliSession Session;
  tCliReport Report;
  tCliResult Exit =
      RunCommandFlow(Session, FirmwareUpdateFlow(Session, Report, Firmware), Context.Command);
  // A default image that is not there: where to put it, after the failure.
  if (Exit.Exit == ExitImage && !Options.File && !PathExists(Firmware.File) && !tCliEvents::On())
    std::fprintf(stderr, "caddis: %s\n",
                 MissingImageHint(CurrentFileFolders(), FirmwareImageName).c_str());
  return Exit;
}

tCliResult RestoreCommand(const tCliContext& Context, const tRestoreOptions& Options) {
  tFirmwareRequest Restore = FirmwareRequestOf(Options.Port, Options, Options.File.value_or(""));
  Restore.AnyCard = Options.AnyCard;
  // The image kept for the card is chosen once the card has answered: the start event names
  // only an image given with --file; the message "Restoring FILE" names the one chosen.
  tCliEvents::Start(Options.File ? tCliEvents::ImageObject(*Options.File, std::nullopt) : nullptr);
  tCliSession Session;
  tCliReport Report;
  return RunCommandFlow(Session, RestoreFlow(Session, Report, Restore), Context.Command);
}
