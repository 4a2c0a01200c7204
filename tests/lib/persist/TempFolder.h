// A fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Files.h"

class tTempFolder {
 public:
  tTempFolder() : Path(tFiles::MakeTempFolder("caddis-persist-")) {}
  ~tTempFolder() {
    std::error_code Ec;
    if (!Path.empty()) std::filesystem::remove_all(Path, Ec);
  }
  std::string File(const std::string& Name) const { return Path + "/" + Name; }
  std::string Path;
};

inline std::vector<uint8_t> FileBytes(const std::string& Path) {
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
