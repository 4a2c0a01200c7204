#include "package/ReleasePackage.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <set>

#include "fileupdate/TivaUpdateUnit.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/Sha256.h"

namespace {

constexpr uint64_t MaxManifestSize = 1 << 20;

struct tZipCloser {
  void operator()(zip_t* Zip) const { zip_discard(Zip); }
};
using tZip = std::unique_ptr<zip_t, tZipCloser>;

std::string ZipErrorText(zip_error_t& Error) {
  std::string Text = zip_error_strerror(&Error);
  zip_error_fini(&Error);
  return Text;
}

// A zip read from bytes held in memory (Bytes must outlive it). With Keep the source stays
// alive after the zip is closed, so what the zip became can be read back from it.
tZip OpenZip(const std::vector<uint8_t>& Bytes, int Flags, zip_source_t** Keep, std::string& Why) {
  zip_error_t Error;
  zip_error_init(&Error);
  // A zip that is written to owns a copy of the bytes: its source replaces its buffer when the
  // zip is closed, and frees what it was given.
  void* Copy = nullptr;
  if (Keep && !Bytes.empty()) {
    Copy = std::malloc(Bytes.size());
    if (!Copy) {
      Why = "out of memory";
      return nullptr;
    }
    std::memcpy(Copy, Bytes.data(), Bytes.size());
  }
  zip_source_t* Source = Keep ? zip_source_buffer_create(Copy, Bytes.size(), 1, &Error)
                              : zip_source_buffer_create(Bytes.empty() ? nullptr : Bytes.data(),
                                                         Bytes.size(), 0, &Error);
  if (!Source) {
    std::free(Copy);
    Why = ZipErrorText(Error);
    return nullptr;
  }
  if (Keep) {
    zip_source_keep(Source);
    *Keep = Source;
  }
  zip_t* Zip = zip_open_from_source(Source, Flags, &Error);
  if (!Zip) {
    zip_source_free(Source);
    if (Keep) {
      zip_source_free(Source);
      *Keep = nullptr;
    }
    Why = "not a zip file (" + ZipErrorText(Error) + ")";
    return nullptr;
  }
  return tZip(Zip);
}

// The entry Index read whole, refused when it holds more than Max bytes.
bool ReadEntry(zip_t* Zip, zip_uint64_t Index, uint64_t Max, std::vector<uint8_t>& Bytes,
               std::string& Why) {
  zip_file_t* File = zip_fopen_index(Zip, Index, 0);
  if (!File) {
    Why = zip_strerror(Zip);
    return false;
  }
  Bytes.clear();
  uint8_t Chunk[65536];
  for (;;) {
    const zip_int64_t Got = zip_fread(File, Chunk, sizeof Chunk);
    if (Got < 0) {
      Why = zip_file_strerror(File);
      zip_fclose(File);
      return false;
    }
    if (Got == 0) break;
    if (Bytes.size() + static_cast<uint64_t>(Got) > Max) {
      zip_fclose(File);
      Why = "larger than " + std::to_string(Max) + " bytes";
      return false;
    }
    Bytes.insert(Bytes.end(), Chunk, Chunk + Got);
  }
  zip_fclose(File);
  return true;
}

// The bytes a kept source holds after its zip was closed.
bool SourceBytes(zip_source_t* Source, std::vector<uint8_t>& Bytes, std::string& Why) {
  if (zip_source_open(Source) < 0) {
    Why = zip_error_strerror(zip_source_error(Source));
    return false;
  }
  zip_source_seek(Source, 0, SEEK_END);
  const zip_int64_t Size = zip_source_tell(Source);
  zip_source_seek(Source, 0, SEEK_SET);
  Bytes.resize(Size > 0 ? static_cast<size_t>(Size) : 0);
  const zip_int64_t Got = Bytes.empty() ? 0 : zip_source_read(Source, Bytes.data(), Bytes.size());
  zip_source_close(Source);
  if (Got != Size) {
    Why = "the package could not be put together in memory";
    return false;
  }
  return true;
}

bool ReadPackageFile(const std::string& Path, std::vector<uint8_t>& Bytes, std::string& Why) {
  tImageFile File = ReadImageFile(Path, MaxPackageSize);
  if (!File.Read) {
    Why = "cannot read " + Path + ": " + File.Error;
    return false;
  }
  Bytes = std::move(File.Bytes);
  return true;
}

// Adds Bytes as the entry Name (replacing one of that name). Bytes must outlive the zip.
bool AddEntry(zip_t* Zip, const std::string& Name, const std::vector<uint8_t>& Bytes,
              std::string& Why) {
  zip_source_t* Source =
      zip_source_buffer(Zip, Bytes.empty() ? nullptr : Bytes.data(), Bytes.size(), 0);
  if (!Source || zip_file_add(Zip, Name.c_str(), Source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
    if (Source) zip_source_free(Source);
    Why = "cannot add " + Name + " to the package: " + zip_strerror(Zip);
    return false;
  }
  return true;
}

// Closes Zip, whose kept Source then holds the new package; Bytes receive it.
bool FinishZip(tZip Zip, zip_source_t* Source, std::vector<uint8_t>& Bytes, std::string& Why) {
  if (zip_close(Zip.get()) < 0) {
    Why = std::string("the package cannot be written: ") + zip_strerror(Zip.get());
    zip_source_free(Source);
    return false;
  }
  Zip.release();
  const bool Read = SourceBytes(Source, Bytes, Why);
  zip_source_free(Source);
  return Read;
}

std::vector<uint8_t> BytesOfText(const std::string& Text) {
  return {Text.begin(), Text.end()};
}

struct tEntries {
  std::optional<zip_uint64_t> Manifest, Signature;
  std::vector<std::pair<std::string, zip_uint64_t>> Others;
};

bool ListEntries(zip_t* Zip, tEntries& Entries, std::string& Why) {
  const zip_int64_t Count = zip_get_num_entries(Zip, 0);
  std::set<std::string> Seen;
  for (zip_int64_t i = 0; i < Count; ++i) {
    const char* Raw = zip_get_name(Zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
    const std::string Name = Raw ? Raw : "";
    if (!Seen.insert(Name).second) {
      Why = "the package holds two files named \"" + Name + "\"";
      return false;
    }
    const zip_uint64_t Index = static_cast<zip_uint64_t>(i);
    if (Name == ManifestName)
      Entries.Manifest = Index;
    else if (Name == ManifestSignatureName)
      Entries.Signature = Index;
    else
      Entries.Others.emplace_back(Name, Index);
  }
  if (!Entries.Manifest) {
    Why = std::string("the package holds no ") + ManifestName;
    return false;
  }
  return true;
}

// The signature's verdict against the trusted keys.
tPackageFault CheckSignature(tReleasePackage& Package, const std::vector<tTrustedKey>& Keys,
                             std::string& Why) {
  if (!Package.Signature) {
    Why = "the package is not signed";
    return pf_Unsigned;
  }
  const auto Signer = std::find_if(Keys.begin(), Keys.end(), [&](const tTrustedKey& Key) {
    return Key.Key.Id == Package.Signature->Id;
  });
  if (Signer == Keys.end()) {
    Why = "the package is signed by key " + KeyIdText(Package.Signature->Id) +
          ", which is not among the trusted keys (" + std::to_string(Keys.size()) +
          " trusted; see caddis paths)";
    return pf_UnknownKey;
  }
  std::string Failed;
  if (!MinisignVerify(Signer->Key, *Package.Signature, BytesOfText(Package.ManifestText), Failed)) {
    Why = "the package's signature does not match its manifest: " + Failed;
    return pf_BadSignature;
  }
  Package.SignerKeyId = KeyIdText(Signer->Key.Id);
  Package.SignerKeyFile = Signer->File;
  return pf_None;
}

// Every image present with the manifest's size and SHA-256; nothing else in the package.
tPackageFault CheckImages(zip_t* Zip, const tEntries& Entries, tReleasePackage& Package,
                          std::string& Why) {
  for (const auto& Entry : Entries.Others) {
    const std::string& Name = Entry.first;
    const bool Named = std::any_of(Package.Manifest.Images.begin(), Package.Manifest.Images.end(),
                                   [&](const tManifestImage& Image) { return Image.File == Name; });
    if (!Named) {
      Why = "the package holds \"" + Name + "\", which its manifest does not name";
      return pf_Contents;
    }
  }
  std::vector<std::vector<uint8_t>> Images;
  for (const tManifestImage& Image : Package.Manifest.Images) {
    const std::string Kind = PackageImageKindName(Image.Kind);
    const zip_int64_t Index = zip_name_locate(Zip, Image.File.c_str(), 0);
    if (Index < 0) {
      Why = "the " + Kind + " image " + Image.File + " is missing from the package";
      return pf_Image;
    }
    std::vector<uint8_t> Bytes;
    std::string Failed;
    if (!ReadEntry(Zip, static_cast<zip_uint64_t>(Index), Image.Size, Bytes, Failed) ||
        Bytes.size() != Image.Size) {
      Why = "the " + Kind + " image " + Image.File + " is not the manifest's: " +
            (Failed.empty() ? std::to_string(Bytes.size()) + " bytes, the manifest says " +
                                  std::to_string(Image.Size)
                            : Failed);
      return pf_Image;
    }
    const std::string Hash = tSha256::HexOf(Bytes);
    if (Hash != Image.SHA256) {
      Why = "the " + Kind + " image " + Image.File + " is not the manifest's: its SHA-256 is " +
            Hash + ", the manifest says " + Image.SHA256;
      return pf_Image;
    }
    Images.push_back(std::move(Bytes));
  }
  Package.ImageBytes = std::move(Images);
  return pf_None;
}

tPackageCheck Refused(tPackageCheck Check, tPackageFault Fault, std::string Why) {
  Check.Fault = Fault;
  Check.Why = std::move(Why);
  return Check;
}

}  // namespace

bool WriteFileWhole(const std::string& Path, const std::vector<uint8_t>& Bytes, std::string& Why) {
  // A name of its own for each writer: station steps started together may write one file.
  char Tag[20];
  std::snprintf(Tag, sizeof Tag, ".part-%08x", static_cast<unsigned>(std::random_device{}()));
  const std::string Part = Path + Tag;
  int Error = 0;
  std::FILE* File = tFiles::CreateNew(Part, Error);
  if (!File) {
    Why = "cannot write " + Part + ": " + tFiles::SystemErrorText(Error);
    return false;
  }
  bool Written = std::fwrite(Bytes.data(), 1, Bytes.size(), File) == Bytes.size() &&
                 tFiles::SyncToDisk(File, Error);
  if (!Written && Error == 0) Error = errno;
  if (std::fclose(File) != 0) Written = false;
  if (!Written || !tFiles::Replace(Part, Path, Error)) {
    Why = "cannot write " + Path + ": " + tFiles::SystemErrorText(Error);
    tFiles::Remove(Part, Error);
    return false;
  }
  return true;
}

const std::vector<uint8_t>* tReleasePackage::BytesOf(tPackageImageKind Kind) const {
  for (size_t i = 0; i < Manifest.Images.size() && i < ImageBytes.size(); ++i)
    if (Manifest.Images[i].Kind == Kind) return &ImageBytes[i];
  return nullptr;
}

std::vector<std::string> TrustedKeyFolders() {
  if (const auto Folder = tEnvironment::Get("CADDIS_TRUSTED_KEYS"); Folder && !Folder->empty())
    return {*Folder};
  std::vector<std::string> Folders = {tPaths::ConfigFolder() + "/trusted-keys"};
#ifndef _WIN32
  Folders.push_back("/etc/caddis/trusted-keys");
#endif
  return Folders;
}

std::vector<tTrustedKey> LoadTrustedKeys(const std::vector<std::string>& Folders,
                                         std::vector<std::string>& Warnings) {
  std::vector<tTrustedKey> Keys;
  for (const std::string& Folder : Folders) {
    std::vector<std::string> Names;
    int Error = 0;
    if (!tFiles::ListFolder(Folder, Names, Error)) continue;  // a folder nobody made
    std::sort(Names.begin(), Names.end());
    for (const std::string& Name : Names) {
      if (Name.size() < 4 || Name.compare(Name.size() - 4, 4, ".pub") != 0) continue;
      const std::string Path = Folder + "/" + Name;
      std::string Text, Why;
      if (tFiles::ReadSmallFile(Path, 4096, Text, Why) != tFiles::rr_Read) {
        Warnings.push_back("trusted key " + Path + " cannot be read: " + Why);
        continue;
      }
      auto Key = ReadMinisignPublicKey(Text, Why);
      if (!Key) {
        Warnings.push_back("trusted key " + Path + " is skipped: " + Why);
        continue;
      }
      Keys.push_back({std::move(*Key), Path});
    }
  }
  return Keys;
}

tPackageCheck OpenReleasePackage(const std::string& Path, const std::vector<tTrustedKey>& Keys) {
  tPackageCheck Check;
  std::vector<uint8_t> File;
  std::string Why;
  if (!ReadPackageFile(Path, File, Why)) return Refused(Check, pf_Unreadable, Why);
  tZip Zip = OpenZip(File, ZIP_RDONLY | ZIP_CHECKCONS, nullptr, Why);
  if (!Zip) return Refused(Check, pf_Unreadable, Path + " is " + Why);

  tReleasePackage Package;
  Package.Path = Path;
  Package.Size = File.size();
  Package.SHA256 = tSha256::HexOf(File);
  tEntries Entries;
  if (!ListEntries(Zip.get(), Entries, Why)) return Refused(Check, pf_Contents, Why);
  std::vector<uint8_t> Bytes;
  if (!ReadEntry(Zip.get(), *Entries.Manifest, MaxManifestSize, Bytes, Why))
    return Refused(Check, pf_Contents, std::string("the manifest cannot be read: ") + Why);
  Package.ManifestText.assign(Bytes.begin(), Bytes.end());
  auto Manifest = ParseReleaseManifest(Package.ManifestText, Why);
  if (!Manifest) return Refused(Check, pf_Contents, Why);
  Package.Manifest = std::move(*Manifest);
  if (Entries.Signature) {
    if (!ReadEntry(Zip.get(), *Entries.Signature, 4096, Bytes, Why))
      return Refused(Check, pf_BadSignature, "the signature cannot be read: " + Why);
    Package.Signature = ReadMinisignSignature(std::string(Bytes.begin(), Bytes.end()), Why);
    if (!Package.Signature)
      return Refused(Check, pf_BadSignature, "the package's signature is damaged: " + Why);
  }
  // The images are checked first: an unsigned package that is otherwise whole is usable with
  // --allow-unsigned, and must then hold exactly what its manifest says.
  const tPackageFault ImageFault = CheckImages(Zip.get(), Entries, Package, Why);
  std::string SignatureWhy;
  const tPackageFault SignatureFault = CheckSignature(Package, Keys, SignatureWhy);
  Check.Package = std::move(Package);
  if (SignatureFault != pf_None && SignatureFault != pf_Unsigned)
    return Refused(std::move(Check), SignatureFault, SignatureWhy);
  if (ImageFault != pf_None) return Refused(std::move(Check), ImageFault, Why);
  if (SignatureFault == pf_Unsigned) return Refused(std::move(Check), pf_Unsigned, SignatureWhy);
  return Check;
}

std::string PackageTrustedComment(const tReleaseManifest& Manifest) {
  return "release " + Manifest.Name + " version " + Manifest.Version + " of " + Manifest.Date +
         " for device IDs " + Manifest.DeviceIDsText();
}

bool CreateReleasePackage(const tReleaseManifest& Release,
                          const std::vector<tPackageSource>& Sources, const tMinisignSecretKey* Key,
                          const std::string& OutPath, std::string& Why) {
  tReleaseManifest Manifest = Release;
  Manifest.Images.clear();
  std::vector<std::vector<uint8_t>> Images;
  for (const tPackageSource& Source : Sources) {
    tImageFile File = ReadImageFile(Source.Path, MaxPackageImageSize);
    if (!File.Read) {
      Why = "cannot read " + Source.Path + ": " + File.Error;
      return false;
    }
    tManifestImage Image;
    Image.Kind = Source.Kind;
    const size_t Slash = Source.Path.find_last_of("/\\");
    Image.File = Slash == std::string::npos ? Source.Path : Source.Path.substr(Slash + 1);
    Image.Size = File.Bytes.size();
    Image.SHA256 = tSha256::HexOf(File.Bytes);
    Image.FPGAVersion = Source.FPGAVersion;
    Image.FirmwareVersion = Source.FirmwareVersion;
    Manifest.Images.push_back(Image);
    Images.push_back(std::move(File.Bytes));
  }
  // The manifest is read back as a package's would be, so a package is never made that this
  // tool would refuse.
  const std::string Text = ReleaseManifestText(Manifest);
  if (!ParseReleaseManifest(Text, Why)) return false;

  const std::vector<uint8_t> Empty;
  zip_source_t* Source = nullptr;
  tZip Zip = OpenZip(Empty, ZIP_TRUNCATE, &Source, Why);
  if (!Zip) return false;
  const std::vector<uint8_t> ManifestBytes = BytesOfText(Text);
  std::vector<uint8_t> SignatureBytes;
  if (Key)
    SignatureBytes =
        BytesOfText(MinisignSign(*Key, ManifestBytes, PackageTrustedComment(Manifest)));
  bool Added = AddEntry(Zip.get(), ManifestName, ManifestBytes, Why);
  if (Added && Key) Added = AddEntry(Zip.get(), ManifestSignatureName, SignatureBytes, Why);
  for (size_t i = 0; Added && i < Images.size(); ++i)
    Added = AddEntry(Zip.get(), Manifest.Images[i].File, Images[i], Why);
  if (!Added) {
    Zip.reset();
    zip_source_free(Source);
    return false;
  }
  std::vector<uint8_t> Package;
  return FinishZip(std::move(Zip), Source, Package, Why) && WriteFileWhole(OutPath, Package, Why);
}

bool AttachPackageSignature(const std::string& Path, const std::string& SignatureText,
                            std::string& Why) {
  if (!ReadMinisignSignature(SignatureText, Why)) {
    Why = "not a signature: " + Why;
    return false;
  }
  std::vector<uint8_t> File;
  if (!ReadPackageFile(Path, File, Why)) return false;
  zip_source_t* Source = nullptr;
  tZip Zip = OpenZip(File, ZIP_CHECKCONS, &Source, Why);
  if (!Zip) {
    Why = Path + " is " + Why;
    return false;
  }
  const std::vector<uint8_t> Bytes = BytesOfText(SignatureText);
  if (!AddEntry(Zip.get(), ManifestSignatureName, Bytes, Why)) {
    Zip.reset();
    zip_source_free(Source);
    return false;
  }
  std::vector<uint8_t> Package;
  return FinishZip(std::move(Zip), Source, Package, Why) && WriteFileWhole(Path, Package, Why);
}

std::optional<std::string> ReadPackageManifest(const std::string& Path, std::string& Why) {
  std::vector<uint8_t> File;
  if (!ReadPackageFile(Path, File, Why)) return std::nullopt;
  tZip Zip = OpenZip(File, ZIP_RDONLY | ZIP_CHECKCONS, nullptr, Why);
  if (!Zip) {
    Why = Path + " is " + Why;
    return std::nullopt;
  }
  tEntries Entries;
  std::vector<uint8_t> Bytes;
  if (!ListEntries(Zip.get(), Entries, Why) ||
      !ReadEntry(Zip.get(), *Entries.Manifest, MaxManifestSize, Bytes, Why))
    return std::nullopt;
  return std::string(Bytes.begin(), Bytes.end());
}
