// A release's manifest: what the release is called, which cards it fits, and for each image its
// kind, its file in the package, its size and SHA-256, and the version the card reports once it
// runs the image (the FPGA's version text, the firmware's version number; the card reports
// none for its USB-audio image). Optional limits say what a card running the release must
// report of its temperature and supply voltages. It is JSON, and the package's signature covers
// its bytes, so the images' hashes are signed with it.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum tPackageImageKind { pk_FPGA, pk_USBAudio, pk_Firmware };
// "fpga", "usb-audio", "firmware": as the manifest names the kinds.
const char* PackageImageKindName(tPackageImageKind Kind);
// "FPGA", "USB-audio", "firmware": as the operator's texts name them.
const char* PackageImageKindTitle(tPackageImageKind Kind);
std::optional<tPackageImageKind> PackageImageKindNamed(const std::string& Name);

struct tManifestImage {
  tPackageImageKind Kind = pk_FPGA;
  std::string File;  // its name inside the package
  uint64_t Size = 0;
  std::string SHA256;                      // lower-case hex
  std::optional<std::string> FPGAVersion;  // FPGA images only
  std::optional<uint8_t> FirmwareVersion;  // firmware images only
  // "0104052026", "13", or "" for an image without a version.
  std::string VersionText() const;
};

struct tSupplyLimit {
  int Index = 0;                   // the supply voltage's index in the card's readings
  std::optional<double> Min, Max;  // volts
};
struct tManifestLimits {
  std::optional<double> TemperatureMin, TemperatureMax;  // degrees Celsius
  std::vector<tSupplyLimit> Voltages;
  bool Empty() const { return !TemperatureMin && !TemperatureMax && Voltages.empty(); }
};

struct tReleaseManifest {
  static constexpr int CurrentFormat = 1;
  int Format = CurrentFormat;
  std::string Name;     // "Caddis 2027.1"
  std::string Version;  // "2027.1"
  std::string Date;     // "2027-01-15"
  std::vector<uint8_t> DeviceIDs;
  std::vector<tManifestImage> Images;
  tManifestLimits Limits;

  const tManifestImage* ImageOf(tPackageImageKind Kind) const;
  bool Fits(uint8_t DeviceID) const;
  std::string DeviceIDsText() const;  // "21, 22"
};

// The largest image a package may hold: far above any image of the card.
constexpr uint64_t MaxPackageImageSize = 64ull << 20;

// Reads a manifest strictly: every field the tool relies on present and of its type, each kind
// at most once, file names plain (no folders), sizes within MaxPackageImageSize, hashes of 64
// hex digits. Why says what is wrong otherwise.
std::optional<tReleaseManifest> ParseReleaseManifest(const std::string& Text, std::string& Why);
// Why Name cannot be a file's name inside a package; empty when it can.
std::string PackageFileNameProblem(const std::string& Name);
// The manifest as JSON text, fields in a fixed order, ending in a line end.
std::string ReleaseManifestText(const tReleaseManifest& Manifest);
