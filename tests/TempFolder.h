// What tests on every system share: a fresh temporary folder, an environment variable set for
// a test's lifetime, and whole-file reads and writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"

// A fresh folder under the system's temporary folder, removed with everything in it (also
// what a test left unreadable).
class tTempFolder {
 public:
  explicit tTempFolder(const std::string& Prefix = "caddis-test-")
      : Path(tFiles::MakeTempFolder(Prefix)) {}
  ~tTempFolder() {
    if (Path.empty()) return;
    std::error_code Ec;
    std::filesystem::permissions(Path, std::filesystem::perms::owner_all, Ec);
    std::filesystem::remove_all(Path, Ec);
  }
  tTempFolder(const tTempFolder&) = delete;
  tTempFolder& operator=(const tTempFolder&) = delete;
  std::string File(const std::string& Name) const { return Path + "/" + Name; }
  std::string Path;
};

// Sets an environment variable for as long as it lives, then restores what was there.
class tScopedEnv {
 public:
  tScopedEnv(std::string Name, const std::string& Value)
      : fName(std::move(Name)), fSaved(tEnvironment::Get(fName)) {
    tEnvironment::Set(fName, Value);
  }
  ~tScopedEnv() {
    if (fSaved)
      tEnvironment::Set(fName, *fSaved);
    else
      tEnvironment::Unset(fName);
  }
  tScopedEnv(const tScopedEnv&) = delete;
  tScopedEnv& operator=(const tScopedEnv&) = delete;

 private:
  std::string fName;
  std::optional<std::string> fSaved;
};

inline std::vector<uint8_t> FileBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

inline std::string FileText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

inline void WriteFileBytes(const std::string& Path, const std::vector<uint8_t>& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(Bytes.data()),
            static_cast<std::streamsize>(Bytes.size()));
}

inline std::uintmax_t FileSize(const std::string& Path) {
  return std::filesystem::file_size(Path);
}
