// Writes the demo DFU image of the simulated card:
//   caddis-dfu-image [--unmarked] OUTPUT [VERSION [SIZE]]
// VERSION is the firmware version byte (default 2), SIZE the firmware size in bytes without
// the suffix (default 32768).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/bootloader/DemoImage.h"

namespace {

const char* const Usage =
    "usage: caddis-dfu-image [--unmarked] OUTPUT [VERSION [SIZE]]\n"
    "Writes the simulated card's demo firmware image with its DFU suffix to OUTPUT.\n"
    "  VERSION     the firmware version byte, 0..255 (default 2)\n"
    "  SIZE        the firmware's size in bytes without the suffix (default 32768)\n"
    "  --unmarked  leave out the made-up image mark, which keeps the image from real USB\n"
    "              devices: for the simulated boot loader on a real USB bus (a USB\n"
    "              gadget), never for a card\n";

// A whole number written entirely in decimal or 0x hexadecimal; -1 otherwise.
long Number(const char* Text) {
  char* End = nullptr;
  const long Value = std::strtol(Text, &End, 0);
  return *Text && End && *End == 0 ? Value : -1;
}

}  // namespace

int main(int argc, char** argv) {
  bool Marked = true;
  if (argc > 1 && std::strcmp(argv[1], "--unmarked") == 0) {
    Marked = false;
    --argc;
    ++argv;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("%s", Usage);
      return 0;
    }
    // No option is known: a name starting with '-' is a mistake, not a file to write.
    if (argv[i][0] == '-') {
      std::fprintf(stderr, "caddis-dfu-image: unknown option '%s'\n%s", argv[i], Usage);
      return 2;
    }
  }
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "%s", Usage);
    return 2;
  }
  const long Version = argc > 2 ? Number(argv[2]) : 2;
  const long Size = argc > 3 ? Number(argv[3]) : 32768;
  if (Version < 0 || Version > 255 || Size < 1 || Size > 16 * 1024 * 1024) {
    std::fprintf(stderr, "caddis-dfu-image: version must be 0..255 and size 1..16777216\n");
    return 2;
  }
  const auto Image =
      dfu::MakeDemoImage(static_cast<uint8_t>(Version), static_cast<size_t>(Size), Marked);
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
