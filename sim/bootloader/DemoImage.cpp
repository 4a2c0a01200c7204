#include "sim/bootloader/DemoImage.h"

#include <algorithm>
#include <cstring>

#include "lib/lmdfu/DFUSuffix.h"
#include "support/MadeUpImage.h"

namespace dfu {
namespace {

constexpr char Marker[8] = {'C', 'A', 'D', 'D', 'I', 'S', 'F', 'W'};

void Put32(uint8_t* p, uint32_t x) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace

std::vector<uint8_t> MakeDemoFirmware(uint8_t aVersion, size_t aSize, bool aMarked) {
  std::vector<uint8_t> F(std::max(aSize, DemoHeaderSize + MadeUpImageMark.size()), 0);
  Put32(F.data(), 0x20008000u);
  Put32(F.data() + 4, 0x00000101u);
  std::memcpy(F.data() + 8, Marker, sizeof Marker);
  F[DemoVersionOffset] = aVersion;
  uint32_t X = 0x2545F491u;  // xorshift32: the same filler on every build
  for (size_t i = DemoHeaderSize; i < F.size(); ++i) {
    X ^= X << 13;
    X ^= X >> 17;
    X ^= X << 5;
    F[i] = static_cast<uint8_t>(X);
  }
  if (aMarked)
    std::copy(MadeUpImageMark.begin(), MadeUpImageMark.end(), F.end() - MadeUpImageMark.size());
  return F;
}

std::vector<uint8_t> MakeDemoImage(uint8_t aVersion, size_t aSize, bool aMarked) {
  auto Image = MakeDemoFirmware(aVersion, aSize, aMarked);
  AppendSuffix(Image, CardVendorID, CardProductID);
  return Image;
}

int DemoFirmwareVersion(std::span<const uint8_t> aFirmware) {
  if (aFirmware.size() < DemoHeaderSize ||
      std::memcmp(aFirmware.data() + 8, Marker, sizeof Marker) != 0)
    return -1;
  return aFirmware[DemoVersionOffset];
}

}  // namespace dfu
