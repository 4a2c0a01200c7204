// A release package: one zip file holding "manifest.json", its signature
// "manifest.json.minisig" (absent in an unsigned package) and the images the manifest names.
// Opening one checks everything before any of it is used: the file is an ordinary file of a
// sane size, the zip holds nothing the manifest does not name, the manifest is valid, the
// signature was made by a trusted key over these very manifest bytes, and every image has the
// size and SHA-256 the manifest gives. The images' bytes are then held in memory, so what is
// sent is what was checked.
//
// Trusted keys are public key files ("*.pub") in the folders TrustedKeyFolders() names:
// $CADDIS_TRUSTED_KEYS alone when set, else "trusted-keys" in the user's config folder and,
// on Linux, /etc/caddis/trusted-keys.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/Minisign.h"
#include "package/ReleaseManifest.h"

inline constexpr const char* ManifestName = "manifest.json";
inline constexpr const char* ManifestSignatureName = "manifest.json.minisig";
// The largest package file the tool reads.
constexpr uint64_t MaxPackageSize = 4 * MaxPackageImageSize;

struct tTrustedKey {
  tMinisignPublicKey Key;
  std::string File;
};

// The folders trusted keys are read from, in order (see above).
std::vector<std::string> TrustedKeyFolders();
// The keys in Folders; a file that is no public key is skipped and said in Warnings.
std::vector<tTrustedKey> LoadTrustedKeys(const std::vector<std::string>& Folders,
                                         std::vector<std::string>& Warnings);

// What stands between a package and its use, in the order it is checked.
enum tPackageFault {
  pf_None,
  pf_Unreadable,    // the file cannot be read, or is not a zip
  pf_Contents,      // the manifest is missing or invalid, or the zip holds files it does not name
  pf_Unsigned,      // no signature (usable with --allow-unsigned)
  pf_UnknownKey,    // signed by a key that is not trusted here
  pf_BadSignature,  // the signature does not match the manifest
  pf_Image,         // an image is missing, or its size or SHA-256 differs from the manifest's
};

struct tReleasePackage {
  std::string Path;
  std::string SHA256;  // of the package file
  uint64_t Size = 0;
  std::string ManifestText;
  tReleaseManifest Manifest;
  std::optional<tMinisignSignature> Signature;
  std::string SignerKeyId;  // the trusted key that signed it, when one did
  std::string SignerKeyFile;
  // The images' bytes, in the manifest's order (filled only when every image checks out).
  std::vector<std::vector<uint8_t>> ImageBytes;

  const std::vector<uint8_t>* BytesOf(tPackageImageKind Kind) const;
};

struct tPackageCheck {
  tPackageFault Fault = pf_None;
  std::string Why;  // the refusal's reason; empty with pf_None
  // What could be read, even when a later check failed (so a refused package can be shown).
  std::optional<tReleasePackage> Package;
  bool Signed() const { return Package && Package->Signature.has_value(); }
  // Whether the package may be used: nothing wrong, or only unsigned and that is allowed.
  bool Usable(bool AllowUnsigned) const {
    return Fault == pf_None || (Fault == pf_Unsigned && AllowUnsigned);
  }
};

// Reads and checks the package at Path against Keys (see above). An unsigned package is read
// to its end, images checked, and then reported as pf_Unsigned.
tPackageCheck OpenReleasePackage(const std::string& Path, const std::vector<tTrustedKey>& Keys);

// An image for a new package: its kind, its file, and the version the card reports.
struct tPackageSource {
  tPackageImageKind Kind = pk_FPGA;
  std::string Path;
  std::optional<std::string> FPGAVersion;
  std::optional<uint8_t> FirmwareVersion;
};

// Writes a new package to OutPath (replacing it at once, never half-written): Release gives
// the release's name, version, date, device IDs and limits; the images are read from Sources
// and entered into the manifest with their sizes and hashes. With Key the manifest is signed.
bool CreateReleasePackage(const tReleaseManifest& Release,
                          const std::vector<tPackageSource>& Sources, const tMinisignSecretKey* Key,
                          const std::string& OutPath, std::string& Why);

// Puts SignatureText (a signature file's text: made by Key here, or by another signing tool
// over the package's manifest) into the package at Path, replacing any signature it had.
bool AttachPackageSignature(const std::string& Path, const std::string& SignatureText,
                            std::string& Why);

// Writes Bytes to Path through a file of its own beside it, put in Path's place once whole:
// a reader of Path sees the old file or the whole new one. False with Why otherwise.
bool WriteFileWhole(const std::string& Path, const std::vector<uint8_t>& Bytes, std::string& Why);

// The package's manifest bytes, as signed, read without any check but the zip's own.
std::optional<std::string> ReadPackageManifest(const std::string& Path, std::string& Why);

// The trusted comment a package signature made here carries.
std::string PackageTrustedComment(const tReleaseManifest& Manifest);
