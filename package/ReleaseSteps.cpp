#include "package/ReleaseSteps.h"

#include <cerrno>
#include <cstdio>

#include "fileupdate/TivaUpdateUnit.h"
#include "platform/Files.h"
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
  int Error = 0;
  tFiles::Remove(Path, Error);
  std::FILE* File = tFiles::CreateNew(Path, Error);
  bool Written = File && std::fwrite(Bytes->data(), 1, Bytes->size(), File) == Bytes->size() &&
                 tFiles::SyncToDisk(File, Error);
  if (File && std::fclose(File) != 0) Written = false;
  if (!Written) {
    Why = "cannot write " + Path + ": " + tFiles::SystemErrorText(Error ? Error : errno);
    return false;
  }
  return true;
}
