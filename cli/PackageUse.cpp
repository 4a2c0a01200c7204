#include "cli/PackageUse.h"

#include <cstdio>

tPackageCheck CheckPackage(const std::string& Path) {
  std::vector<std::string> Warnings;
  const std::vector<tTrustedKey> Keys = LoadTrustedKeys(TrustedKeyFolders(), Warnings);
  for (const std::string& Warning : Warnings)
    std::fprintf(stderr, "caddis: %s\n", Warning.c_str());
  return OpenReleasePackage(Path, Keys);
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
