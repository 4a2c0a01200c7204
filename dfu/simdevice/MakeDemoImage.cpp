// Writes the demo DFU image of the simulated card:
//   caddis-dfu-image OUTPUT [VERSION [SIZE]]
// VERSION is the firmware version byte (default 2), SIZE the firmware size in bytes without
// the suffix (default 32768).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dfu/simdevice/DemoImage.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s OUTPUT [VERSION [SIZE]]\n", argv[0]);
    return 2;
  }
  const long Version = argc > 2 ? std::strtol(argv[2], nullptr, 0) : 2;
  const long Size = argc > 3 ? std::strtol(argv[3], nullptr, 0) : 32768;
  if (Version < 0 || Version > 255 || Size < 1 || Size > 16 * 1024 * 1024) {
    std::fprintf(stderr, "%s: version must be 0..255 and size 1..16777216\n", argv[0]);
    return 2;
  }
  const auto Image = dfu::MakeDemoImage(static_cast<uint8_t>(Version), static_cast<size_t>(Size));
  const std::string Temp = std::string(argv[1]) + ".tmp";
  std::FILE* F = std::fopen(Temp.c_str(), "wb");
  if (!F) {
    std::perror(Temp.c_str());
    return 1;
  }
  const bool Written = std::fwrite(Image.data(), 1, Image.size(), F) == Image.size();
  if (std::fclose(F) != 0 || !Written || std::rename(Temp.c_str(), argv[1]) != 0) {
    std::perror(argv[1]);
    std::remove(Temp.c_str());
    return 1;
  }
  return 0;
}
