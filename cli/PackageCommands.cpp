// caddis package create/sign/verify/show: release packages made, signed and checked.
#include <cstdio>
#include <ctime>

#include "cli/CliArgs.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "package/ReleaseSteps.h"
#include "platform/Console.h"
#include "platform/Files.h"

namespace {

using tJson = nlohmann::ordered_json;

std::string TodayUtc() {
  const std::time_t Now = std::time(nullptr);
  std::tm Parts{};
#ifdef _WIN32
  gmtime_s(&Parts, &Now);
#else
  gmtime_r(&Now, &Parts);
#endif
  char Text[16];
  std::strftime(Text, sizeof Text, "%Y-%m-%d", &Parts);
  return Text;
}

bool ReadReal(const std::string& Text, std::optional<double>& Value) {
  if (Text.empty()) return true;
  try {
    size_t Used = 0;
    const double Read = std::stod(Text, &Used);
    if (Used != Text.size()) return false;
    Value = Read;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Splits "A:B:C" at its colons.
std::vector<std::string> Parts(const std::string& Text) {
  std::vector<std::string> Split;
  size_t Start = 0;
  for (;;) {
    const size_t Colon = Text.find(':', Start);
    Split.push_back(Text.substr(Start, Colon - Start));
    if (Colon == std::string::npos) return Split;
    Start = Colon + 1;
  }
}

bool ReadLimits(const tPackageCreateOptions& Options, tManifestLimits& Limits, std::string& Why) {
  if (Options.Temperature) {
    const std::vector<std::string> Split = Parts(*Options.Temperature);
    if (Split.size() != 2 || !ReadReal(Split[0], Limits.TemperatureMin) ||
        !ReadReal(Split[1], Limits.TemperatureMax)) {
      Why = "--temperature wants MIN:MAX in degrees Celsius, not '" + *Options.Temperature + "'";
      return false;
    }
  }
  for (const std::string& Text : Options.Voltages) {
    const std::vector<std::string> Split = Parts(Text);
    tSupplyLimit Limit;
    int32_t Index = 0;
    if (Split.size() != 3 || !ParseIndex(Split[0], OrvaneVoltageCount - 1, Index) ||
        !ReadReal(Split[1], Limit.Min) || !ReadReal(Split[2], Limit.Max)) {
      Why = "--voltage wants INDEX:MIN:MAX in volts, not '" + Text + "'";
      return false;
    }
    Limit.Index = Index;
    Limits.Voltages.push_back(Limit);
  }
  return true;
}

bool ReadDeviceIDs(const std::string& Text, std::vector<uint8_t>& IDs) {
  size_t Start = 0;
  while (Start <= Text.size()) {
    const size_t Comma = Text.find(',', Start);
    int32_t ID = 0;
    if (!ParseIndex(Text.substr(Start, Comma - Start), 255, ID) || ID == 0) return false;
    IDs.push_back(static_cast<uint8_t>(ID));
    if (Comma == std::string::npos) break;
    Start = Comma + 1;
  }
  return !IDs.empty();
}

// The images create puts in the package, from the options.
bool ReadSources(const std::string& Command, const tPackageCreateOptions& Options,
                 std::vector<tPackageSource>& Sources, tCliResult& Exit) {
  if (Options.FPGA) {
    if (!Options.FPGAVersion) {
      Exit = UsageError(Command, "--fpga needs --fpga-version: the version text the card reports");
      return false;
    }
    Sources.push_back({pk_FPGA, *Options.FPGA, *Options.FPGAVersion, std::nullopt});
  }
  if (Options.USBAudio) Sources.push_back({pk_USBAudio, *Options.USBAudio, {}, {}});
  if (Options.Firmware) {
    int32_t Version = 0;
    if (!Options.FirmwareVersion || !ParseIndex(*Options.FirmwareVersion, 255, Version)) {
      Exit = UsageError(Command,
                        "--firmware needs --firmware-version N (0..255): the number the card "
                        "reports");
      return false;
    }
    Sources.push_back(
        {pk_Firmware, *Options.Firmware, std::nullopt, static_cast<uint8_t>(Version)});
  }
  if ((Options.FPGAVersion && !Options.FPGA) || (Options.FirmwareVersion && !Options.Firmware)) {
    Exit = UsageError(Command, "a version is given for an image that is not");
    return false;
  }
  if (Sources.empty()) {
    Exit = UsageError(Command, "give at least one of --fpga, --usb-audio, --firmware");
    return false;
  }
  return true;
}

// The secret key at Path, its password asked for when it is sealed with one.
std::optional<tMinisignSecretKey> LoadSecretKey(const std::string& Path, std::string& Why) {
  std::string Text;
  if (tFiles::ReadSmallFile(Path, 4096, Text, Why) != tFiles::rr_Read) {
    Why = "cannot read the secret key " + Path + ": " + (Why.empty() ? "no such file" : Why);
    return std::nullopt;
  }
  std::string Password;
  if (MinisignSecretKeyIsSealed(Text) &&
      !tConsole::ReadSecretLine("Password for " + Path + ": ", Password)) {
    Why = "the secret key " + Path + " is sealed with a password, and none was given";
    return std::nullopt;
  }
  auto Key = ReadMinisignSecretKey(Text, Password, Why);
  if (!Key) Why = "the secret key " + Path + " cannot be used: " + Why;
  return Key;
}

tJson ImageJson(const tManifestImage& Image) {
  tJson Entry = {{"kind", PackageImageKindName(Image.Kind)},
                 {"file", Image.File},
                 {"size", Image.Size},
                 {"sha256", Image.SHA256}};
  if (Image.FPGAVersion)
    Entry["version"] = *Image.FPGAVersion;
  else if (Image.FirmwareVersion)
    Entry["version"] = *Image.FirmwareVersion;
  else
    Entry["version"] = nullptr;
  return Entry;
}

tJson CheckJson(const tPackageCheck& Check, bool AllowUnsigned) {
  tJson Object = {{"ok", Check.Usable(AllowUnsigned)},
                  {"verdict", PackageVerdictName(Check.Fault)},
                  {"reason", Check.Why.empty() ? tJson(nullptr) : tJson(Check.Why)}};
  if (!Check.Package) return Object;
  const tReleasePackage& Package = *Check.Package;
  const tReleaseManifest& Manifest = Package.Manifest;
  Object["file"] = Package.Path;
  Object["sha256"] = Package.SHA256;
  Object["release"] = {
      {"name", Manifest.Name}, {"version", Manifest.Version}, {"date", Manifest.Date}};
  Object["device_ids"] = Manifest.DeviceIDs;
  tJson Images = tJson::array();
  for (const tManifestImage& Image : Manifest.Images)
    Images.push_back(ImageJson(Image));
  Object["images"] = std::move(Images);
  Object["signed"] = Package.Signature.has_value();
  Object["key_id"] = Package.Signature ? tJson(KeyIdText(Package.Signature->Id)) : tJson(nullptr);
  Object["signer"] = Package.SignerKeyFile.empty() ? tJson(nullptr) : tJson(Package.SignerKeyFile);
  Object["trusted_comment"] =
      Package.Signature ? tJson(Package.Signature->TrustedComment) : tJson(nullptr);
  return Object;
}

void PrintCheck(const tPackageCheck& Check) {
  if (Check.Package) {
    const tReleasePackage& Package = *Check.Package;
    const tReleaseManifest& Manifest = Package.Manifest;
    std::printf("Package:    %s\n", Package.Path.c_str());
    std::printf("Release:    %s, version %s, %s\n", Manifest.Name.c_str(), Manifest.Version.c_str(),
                Manifest.Date.c_str());
    std::printf("For cards:  device ID %s\n", Manifest.DeviceIDsText().c_str());
    for (const tManifestImage& Image : Manifest.Images) {
      const std::string Version = Image.VersionText();
      std::printf("Image:      %-9s %s, %llu bytes, version %s\n           SHA-256 %s\n",
                  PackageImageKindName(Image.Kind), Image.File.c_str(),
                  static_cast<unsigned long long>(Image.Size),
                  Version.empty() ? "(not reported by the card)" : Version.c_str(),
                  Image.SHA256.c_str());
    }
    if (Package.Signature)
      std::printf(
          "Signed by:  key %s%s\n", KeyIdText(Package.Signature->Id).c_str(),
          Package.SignerKeyFile.empty() ? "" : (" (" + Package.SignerKeyFile + ")").c_str());
    else
      std::printf("Signed by:  nobody (unsigned)\n");
  }
  std::printf("Verdict:    %s\n", Check.Fault == pf_None ? "good" : Check.Why.c_str());
}

}  // namespace

tPackageCheck CheckPackage(const std::string& Path) {
  std::vector<std::string> Warnings;
  tPackageCheck Check = CheckPackage(Path, Warnings);
  for (const std::string& Warning : Warnings)
    std::fprintf(stderr, "caddis: %s\n", Warning.c_str());
  return Check;
}

bool TakePackage(const tPackageGroup& Options, std::optional<tReleasePackage>& Package,
                 tCliResult& Exit) {
  if (!Options.Package) return true;
  tPackageCheck Check = CheckPackage(*Options.Package);
  if (!Check.Usable(Options.AllowUnsigned)) {
    Exit =
        Failure(fk_Image, *Options.Package + ": " + Check.Why +
                              (Check.Fault == pf_Unsigned ? " (--allow-unsigned takes it)" : ""));
    return false;
  }
  if (Check.Fault == pf_Unsigned)
    std::fprintf(stderr, "caddis: warning: %s is not signed; taken as --allow-unsigned asks\n",
                 Options.Package->c_str());
  Package = std::move(Check.Package);
  return true;
}

tCliResult PackageCreateCommand(const tCliContext& Context, const tPackageCreateOptions& Options) {
  tReleaseManifest Release;
  Release.Name = Options.Name;
  Release.Version = Options.Version;
  Release.Date = Options.Date.empty() ? TodayUtc() : Options.Date;
  if (Release.Name.empty() || Release.Version.empty())
    return UsageError(Context.Command, "give the release's --name and --version");
  if (!ReadDeviceIDs(Options.DeviceIDs, Release.DeviceIDs))
    return UsageError(Context.Command,
                      "--device-id wants the cards' device IDs (1..255), as 21 or 21,22");
  std::string Why;
  if (!ReadLimits(Options, Release.Limits, Why)) return UsageError(Context.Command, Why);
  std::vector<tPackageSource> Sources;
  tCliResult Exit = ExitOk;
  if (!ReadSources(Context.Command, Options, Sources, Exit)) return Exit;
  std::optional<tMinisignSecretKey> Key;
  if (Options.Key && !(Key = LoadSecretKey(*Options.Key, Why))) return Failure(Why);
  const std::string& Out = Context.Words.front();
  if (!CreateReleasePackage(Release, Sources, Key ? &*Key : nullptr, Out, Why))
    return Failure(fk_Image, Why);
  if (Options.Json) {
    std::printf("%s\n", JsonText({{"file", Out}, {"signed", Key.has_value()}}).c_str());
  } else {
    std::printf("Package %s written%s\n", Out.c_str(),
                Key ? (", signed by key " + KeyIdText(Key->Id)).c_str() : " (unsigned)");
  }
  return ExitOk;
}

tCliResult PackageSignCommand(const tCliContext& Context, const tPackageSignOptions& Options) {
  if (Options.Key.has_value() == Options.Signature.has_value())
    return UsageError(Context.Command, "give --key or --signature, one of them");
  const std::string& Path = Context.Words.front();
  std::string Why, Signature;
  if (Options.Key) {
    const auto Key = LoadSecretKey(*Options.Key, Why);
    if (!Key) return Failure(Why);
    const auto Manifest = ReadPackageManifest(Path, Why);
    if (!Manifest) return Failure(fk_Image, Why);
    const auto Release = ParseReleaseManifest(*Manifest, Why);
    if (!Release) return Failure(fk_Image, Path + ": " + Why);
    Signature = MinisignSign(*Key, std::vector<uint8_t>(Manifest->begin(), Manifest->end()),
                             PackageTrustedComment(*Release));
  } else if (tFiles::ReadSmallFile(*Options.Signature, 4096, Signature, Why) != tFiles::rr_Read) {
    return Failure("cannot read " + *Options.Signature + ": " +
                   (Why.empty() ? "no such file" : Why));
  }
  if (!AttachPackageSignature(Path, Signature, Why)) return Failure(fk_Image, Why);
  if (Options.Json)
    std::printf("%s\n", JsonText({{"file", Path}, {"signed", true}}).c_str());
  else
    std::printf("Package %s signed\n", Path.c_str());
  return ExitOk;
}

tCliResult PackageVerifyCommand(const tCliContext& Context, const tPackageCheckOptions& Options) {
  const tPackageCheck Check = CheckPackage(Context.Words.front());
  const bool Usable = Check.Usable(Options.AllowUnsigned);
  if (Options.Json) {
    std::printf("%s\n", JsonText(CheckJson(Check, Options.AllowUnsigned)).c_str());
    return Usable ? ExitOk : ExitImage;
  }
  if (!Usable) return Failure(fk_Image, Context.Words.front() + ": " + Check.Why);
  std::printf("%s: good%s\n", Context.Words.front().c_str(),
              Check.Fault == pf_Unsigned
                  ? " (unsigned, taken with --allow-unsigned)"
                  : (", signed by key " + Check.Package->SignerKeyId).c_str());
  return ExitOk;
}

tCliResult PackageShowCommand(const tCliContext& Context, const tPackageCheckOptions& Options) {
  const std::string& Path = Context.Words.front();
  if (Options.ManifestOnly) {
    std::string Why;
    const auto Manifest = ReadPackageManifest(Path, Why);
    if (!Manifest) return Failure(fk_Image, Why);
    std::fwrite(Manifest->data(), 1, Manifest->size(), stdout);
    return ExitOk;
  }
  const tPackageCheck Check = CheckPackage(Path);
  if (Options.Json) {
    std::printf("%s\n", JsonText(CheckJson(Check, Options.AllowUnsigned)).c_str());
    return Check.Package ? ExitOk : ExitImage;
  }
  if (!Check.Package) return Failure(fk_Image, Check.Why);
  PrintCheck(Check);
  return ExitOk;
}
