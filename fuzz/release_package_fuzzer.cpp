// A release package's bytes, whatever they are, are read without a crash, a hang or a read out
// of bounds: as a zip with its manifest, signature and images, and as the text of a manifest,
// a key and a signature.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "package/ReleasePackage.h"
#include "platform/Files.h"

namespace {
// The package is read from a file, as the tool reads it; the folder goes when the run ends.
struct tScratch {
  std::string Folder = tFiles::MakeTempFolder("caddis-fuzz-");
  ~tScratch() {
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  }
};
const std::string& PackagePath() {
  static const tScratch Scratch;
  static const std::string Path = Scratch.Folder + "/package.zip";
  return Path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  std::string Why;
  ParseReleaseManifest(Text, Why);
  ReadMinisignPublicKey(Text, Why);
  ReadMinisignSignature(Text, Why);
  ReadMinisignSecretKey(Text, "", Why);

  int Error = 0;
  tFiles::Remove(PackagePath(), Error);
  if (std::FILE* File = tFiles::CreateNew(PackagePath(), Error)) {
    std::fwrite(Data, 1, Size, File);
    std::fclose(File);
    OpenReleasePackage(PackagePath(), {});
  }
  return 0;
}
