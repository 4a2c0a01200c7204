#include "package/ReleaseManifest.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "hostlink/OrvaneHost.h"

namespace {

using tJson = nlohmann::ordered_json;

struct tKindName {
  tPackageImageKind Kind;
  const char* Name;
  const char* Title;
};
constexpr tKindName KindNames[] = {
    {pk_FPGA, "fpga", "FPGA"},
    {pk_USBAudio, "usb-audio", "USB-audio"},
    {pk_Firmware, "firmware", "firmware"},
};

bool IsHexDigest(const std::string& Text) {
  return Text.size() == 64 && std::all_of(Text.begin(), Text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// A field's failure names the field the way the manifest spells it.
struct tFieldError {
  std::string Why;
};

const tJson& Field(const tJson& Object, const char* Name, const std::string& Where) {
  if (!Object.is_object() || !Object.contains(Name))
    throw tFieldError{Where + Name + " is missing"};
  return Object.at(Name);
}

std::string TextField(const tJson& Object, const char* Name, const std::string& Where) {
  const tJson& Value = Field(Object, Name, Where);
  if (!Value.is_string() || Value.get<std::string>().empty() ||
      Value.get<std::string>().size() > 255)
    throw tFieldError{Where + Name + " must be a text of 1 to 255 characters"};
  return Value.get<std::string>();
}

uint64_t NumberField(const tJson& Object, const char* Name, const std::string& Where,
                     uint64_t Max) {
  const tJson& Value = Field(Object, Name, Where);
  if (!Value.is_number_unsigned() || Value.get<uint64_t>() > Max)
    throw tFieldError{Where + Name + " must be a whole number from 0 to " + std::to_string(Max)};
  return Value.get<uint64_t>();
}

std::optional<double> OptionalReal(const tJson& Object, const char* Name,
                                   const std::string& Where) {
  if (!Object.contains(Name) || Object.at(Name).is_null()) return std::nullopt;
  if (!Object.at(Name).is_number()) throw tFieldError{Where + Name + " must be a number"};
  return Object.at(Name).get<double>();
}

tManifestImage ImageFrom(const tJson& Entry, size_t Index) {
  const std::string Where = "Images[" + std::to_string(Index) + "].";
  tManifestImage Image;
  const std::string KindName = TextField(Entry, "Kind", Where);
  const auto Kind = PackageImageKindNamed(KindName);
  if (!Kind)
    throw tFieldError{Where + "Kind \"" + KindName + "\" is none of fpga, usb-audio, firmware"};
  Image.Kind = *Kind;
  Image.File = TextField(Entry, "File", Where);
  if (const std::string Problem = PackageFileNameProblem(Image.File); !Problem.empty())
    throw tFieldError{Where + "File: " + Problem};
  Image.Size = NumberField(Entry, "Size", Where, MaxPackageImageSize);
  Image.SHA256 = TextField(Entry, "SHA256", Where);
  if (!IsHexDigest(Image.SHA256))
    throw tFieldError{Where + "SHA256 must be 64 lower-case hex digits"};
  const tJson& Version = Field(Entry, "Version", Where);
  switch (Image.Kind) {
    case pk_FPGA:
      Image.FPGAVersion = TextField(Entry, "Version", Where);
      break;
    case pk_Firmware:
      Image.FirmwareVersion = static_cast<uint8_t>(NumberField(Entry, "Version", Where, 255));
      break;
    case pk_USBAudio:
      if (!Version.is_null())
        throw tFieldError{Where + "Version must be null: the card reports no USB-audio version"};
      break;
  }
  return Image;
}

tManifestLimits LimitsFrom(const tJson& Object) {
  tManifestLimits Limits;
  if (Object.contains("Temperature") && !Object.at("Temperature").is_null()) {
    const tJson& Temperature = Object.at("Temperature");
    Limits.TemperatureMin = OptionalReal(Temperature, "Min", "Limits.Temperature.");
    Limits.TemperatureMax = OptionalReal(Temperature, "Max", "Limits.Temperature.");
  }
  if (Object.contains("Voltages")) {
    const tJson& Voltages = Object.at("Voltages");
    if (!Voltages.is_array()) throw tFieldError{"Limits.Voltages must be a list"};
    for (size_t i = 0; i < Voltages.size(); ++i) {
      const std::string Where = "Limits.Voltages[" + std::to_string(i) + "].";
      tSupplyLimit Limit;
      Limit.Index =
          static_cast<int>(NumberField(Voltages[i], "Index", Where, OrvaneVoltageCount - 1));
      Limit.Min = OptionalReal(Voltages[i], "Min", Where);
      Limit.Max = OptionalReal(Voltages[i], "Max", Where);
      Limits.Voltages.push_back(Limit);
    }
  }
  return Limits;
}

tReleaseManifest ManifestFrom(const tJson& Root) {
  if (!Root.is_object()) throw tFieldError{"the manifest is not a JSON object"};
  tReleaseManifest Manifest;
  Manifest.Format = static_cast<int>(NumberField(Root, "Format", "", 1000));
  if (Manifest.Format > tReleaseManifest::CurrentFormat)
    throw tFieldError{"the manifest is of format " + std::to_string(Manifest.Format) +
                      ", made by a newer tool; this one reads format " +
                      std::to_string(tReleaseManifest::CurrentFormat)};
  const tJson& Release = Field(Root, "Release", "");
  Manifest.Name = TextField(Release, "Name", "Release.");
  Manifest.Version = TextField(Release, "Version", "Release.");
  Manifest.Date = TextField(Release, "Date", "Release.");
  const tJson& IDs = Field(Root, "DeviceIDs", "");
  if (!IDs.is_array() || IDs.empty()) throw tFieldError{"DeviceIDs must list at least one card"};
  for (const tJson& ID : IDs) {
    if (!ID.is_number_unsigned() || ID.get<uint64_t>() < 1 || ID.get<uint64_t>() > 255)
      throw tFieldError{"DeviceIDs must hold device IDs from 1 to 255"};
    Manifest.DeviceIDs.push_back(static_cast<uint8_t>(ID.get<uint64_t>()));
  }
  const tJson& Images = Field(Root, "Images", "");
  if (!Images.is_array() || Images.empty())
    throw tFieldError{"Images must list at least one image"};
  for (size_t i = 0; i < Images.size(); ++i) {
    tManifestImage Image = ImageFrom(Images[i], i);
    for (const tManifestImage& Other : Manifest.Images) {
      if (Other.Kind == Image.Kind)
        throw tFieldError{std::string("more than one ") + PackageImageKindName(Image.Kind) +
                          " image"};
      if (Other.File == Image.File) throw tFieldError{"two images in the file " + Image.File};
    }
    Manifest.Images.push_back(std::move(Image));
  }
  if (Root.contains("Limits") && !Root.at("Limits").is_null())
    Manifest.Limits = LimitsFrom(Root.at("Limits"));
  return Manifest;
}

}  // namespace

const char* PackageImageKindName(tPackageImageKind Kind) {
  for (const tKindName& Name : KindNames)
    if (Name.Kind == Kind) return Name.Name;
  return "?";
}

const char* PackageImageKindTitle(tPackageImageKind Kind) {
  for (const tKindName& Name : KindNames)
    if (Name.Kind == Kind) return Name.Title;
  return "?";
}

std::optional<tPackageImageKind> PackageImageKindNamed(const std::string& Name) {
  for (const tKindName& Known : KindNames)
    if (Name == Known.Name) return Known.Kind;
  return std::nullopt;
}

std::string tManifestImage::VersionText() const {
  if (FPGAVersion) return *FPGAVersion;
  if (FirmwareVersion) return std::to_string(*FirmwareVersion);
  return "";
}

const tManifestImage* tReleaseManifest::ImageOf(tPackageImageKind Kind) const {
  for (const tManifestImage& Image : Images)
    if (Image.Kind == Kind) return &Image;
  return nullptr;
}

bool tReleaseManifest::Fits(uint8_t DeviceID) const {
  return std::find(DeviceIDs.begin(), DeviceIDs.end(), DeviceID) != DeviceIDs.end();
}

std::string tReleaseManifest::DeviceIDsText() const {
  std::string Text;
  for (uint8_t ID : DeviceIDs)
    Text += (Text.empty() ? "" : ", ") + std::to_string(ID);
  return Text;
}

std::string PackageFileNameProblem(const std::string& Name) {
  if (Name.empty() || Name.size() > 255) return "a name of 1 to 255 characters is needed";
  if (Name.find_first_of("/\\:") != std::string::npos || Name == "." || Name == "..")
    return "\"" + Name + "\" is not a plain file name";
  if (std::any_of(Name.begin(), Name.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    return "the name holds control characters";
  if (Name.rfind("manifest.json", 0) == 0) return "\"" + Name + "\" is the manifest's own name";
  return "";
}

std::optional<tReleaseManifest> ParseReleaseManifest(const std::string& Text, std::string& Why) {
  try {
    return ManifestFrom(tJson::parse(Text));
  } catch (const tFieldError& Error) {
    Why = "the manifest is not valid: " + Error.Why;
  } catch (const nlohmann::json::exception& Error) {
    Why = "the manifest is not JSON: " + std::string(Error.what());
  }
  return std::nullopt;
}

std::string ReleaseManifestText(const tReleaseManifest& Manifest) {
  tJson Root;
  Root["Format"] = Manifest.Format;
  Root["Release"] = {
      {"Name", Manifest.Name}, {"Version", Manifest.Version}, {"Date", Manifest.Date}};
  Root["DeviceIDs"] = Manifest.DeviceIDs;
  tJson Images = tJson::array();
  for (const tManifestImage& Image : Manifest.Images) {
    tJson Entry = {{"Kind", PackageImageKindName(Image.Kind)},
                   {"File", Image.File},
                   {"Size", Image.Size},
                   {"SHA256", Image.SHA256}};
    if (Image.FPGAVersion)
      Entry["Version"] = *Image.FPGAVersion;
    else if (Image.FirmwareVersion)
      Entry["Version"] = *Image.FirmwareVersion;
    else
      Entry["Version"] = nullptr;
    Images.push_back(std::move(Entry));
  }
  Root["Images"] = std::move(Images);
  if (!Manifest.Limits.Empty()) {
    tJson Limits = tJson::object();
    const auto Real = [](const std::optional<double>& Value) {
      return Value ? tJson(*Value) : tJson(nullptr);
    };
    if (Manifest.Limits.TemperatureMin || Manifest.Limits.TemperatureMax)
      Limits["Temperature"] = {{"Min", Real(Manifest.Limits.TemperatureMin)},
                               {"Max", Real(Manifest.Limits.TemperatureMax)}};
    if (!Manifest.Limits.Voltages.empty()) {
      tJson Voltages = tJson::array();
      for (const tSupplyLimit& Limit : Manifest.Limits.Voltages)
        Voltages.push_back(
            {{"Index", Limit.Index}, {"Min", Real(Limit.Min)}, {"Max", Real(Limit.Max)}});
      Limits["Voltages"] = std::move(Voltages);
    }
    Root["Limits"] = std::move(Limits);
  }
  return Root.dump(2) + "\n";
}
