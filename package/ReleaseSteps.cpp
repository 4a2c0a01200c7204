#include "package/ReleaseSteps.h"

#include "fileupdate/TivaUpdateUnit.h"
#include "platform/Paths.h"

tPackageCheck CheckPackage(const std::string& Path, std::vector<std::string>& Warnings) {
  return OpenReleasePackage(Path, LoadTrustedKeys(TrustedKeyFolders(), Warnings));
}

const char* PackageVerdictName(tPackageFault Fault) {
  switch (Fault) {
    case pf_None:
      return "good";
    case pf_Unreadable:
      return "unreadable";
    case pf_Contents:
      return "contents";
    case pf_Unsigned:
      return "unsigned";
    case pf_UnknownKey:
      return "unknown-key";
    case pf_BadSignature:
      return "bad-signature";
    case pf_Image:
      return "image";
  }
  return "?";
}

bool ReleaseImageFile(const tReleasePackage& Package, tPackageImageKind Kind, std::string& Path,
                      std::string& Why) {
  const tManifestImage* Image = Package.Manifest.ImageOf(Kind);
  const std::vector<uint8_t>* Bytes = Package.BytesOf(Kind);
  if (!Image || !Bytes) {
    Why = Package.Path + " holds no " + PackageImageKindTitle(Kind) + " image";
    return false;
  }
  const std::string Folder =
      tPaths::StateFolder() + "/release-images/" + Package.SHA256.substr(0, 16);
  if (!tPaths::MakeFolders(Folder, Why)) {
    Why = "cannot make " + Folder + ": " + Why;
    return false;
  }
  Path = Folder + "/" + Image->File;
  const tImageFile There = ReadImageFile(Path, MaxPackageImageSize);
  if (There.Read && There.Bytes == *Bytes) return true;
  return WriteFileWhole(Path, *Bytes, Why);
}

tReleaseFacts ReleaseFactsOf(const tReleasePackage& Package) {
  tReleaseFacts Facts;
  Facts.Name = Package.Manifest.Name;
  Facts.Version = Package.Manifest.Version;
  Facts.File = Package.Path;
  Facts.SHA256 = Package.SHA256;
  // Signed means signed by a key trusted here; an unsigned package was taken on purpose.
  Facts.Signer = Package.SignerKeyId;
  Facts.Signed = !Package.SignerKeyId.empty();
  return Facts;
}

tHealthLimits HealthLimitsOf(const tManifestLimits& Limits) {
  tHealthLimits Health;
  Health.TemperatureMin = Limits.TemperatureMin;
  Health.TemperatureMax = Limits.TemperatureMax;
  for (const tSupplyLimit& Limit : Limits.Voltages) {
    // The manifest's reader keeps the index within the card's supplies.
    if (Limit.Index < 0 || Limit.Index >= OrvaneVoltageCount) continue;
    Health.VoltageMin[static_cast<size_t>(Limit.Index)] = Limit.Min;
    Health.VoltageMax[static_cast<size_t>(Limit.Index)] = Limit.Max;
  }
  return Health;
}

namespace {

// What every update takes from a release: the image's file and hash, the cards, the release.
template <class tRequest>
const tManifestImage* TakeReleaseCommon(const tReleasePackage& Package, tPackageImageKind Kind,
                                        tRequest& Request, std::string& Why) {
  std::string Path;
  if (!ReleaseImageFile(Package, Kind, Path, Why)) return nullptr;
  const tManifestImage* Image = Package.Manifest.ImageOf(Kind);
  Request.File = Path;
  Request.ExpectedSHA256 = Image->SHA256;
  Request.DeviceIDs = Package.Manifest.DeviceIDs;
  Request.Release = ReleaseFactsOf(Package);
  return Image;
}

}  // namespace

bool TakeReleaseImage(const tReleasePackage& Package, tImageUpdateRequest& Request,
                      std::string& Why) {
  const tManifestImage* Image =
      TakeReleaseCommon(Package, Request.Kind == ik_FPGA ? pk_FPGA : pk_USBAudio, Request, Why);
  if (Image) Request.ExpectedVersion = Image->FPGAVersion;
  return Image != nullptr;
}

bool TakeReleaseFirmware(const tReleasePackage& Package, tFirmwareRequest& Request,
                         std::string& Why) {
  const tManifestImage* Image = TakeReleaseCommon(Package, pk_Firmware, Request, Why);
  if (!Image) return false;
  Request.ExpectedVersion = Image->FirmwareVersion;
  Request.Proof.Limits = HealthLimitsOf(Package.Manifest.Limits);
  return true;
}
