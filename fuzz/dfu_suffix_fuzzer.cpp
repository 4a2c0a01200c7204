// The DFU suffix check on arbitrary images: it must never read outside the image, and what
// it accepts must really be sound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "lib/lmdfu/DFUSuffix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 4) return 0;
  // The first four bytes choose the device's IDs; the rest is the image, copied so that the
  // sanitizer sees its exact end.
  const uint16_t Vendor = static_cast<uint16_t>(aData[0] | (aData[1] << 8));
  const uint16_t Product = static_cast<uint16_t>(aData[2] | (aData[3] << 8));
  const size_t Length = aSize - 4;
  uint8_t* Copy = static_cast<uint8_t*>(std::malloc(Length ? Length : 1));
  for (size_t i = 0; i < Length; ++i)
    Copy[i] = aData[4 + i];
  const std::span<const uint8_t> Image(Copy, Length);
  dfu::tSuffix Suffix;
  const auto Verdict = dfu::CheckImage(Image, Vendor, Product, false, &Suffix);
  (void)dfu::SuffixVerdictText(Verdict, Suffix);
  if (Verdict == dfu::sv_Ok) {
    if (Suffix.PayloadSize == 0 || Suffix.PayloadSize + Suffix.Length != Length ||
        Suffix.Length < dfu::SuffixMinLength || Suffix.CRC != Suffix.ComputedCRC ||
        (Suffix.Vendor != Vendor && Suffix.Vendor != dfu::AnyID) ||
        (Suffix.Product != Product && Suffix.Product != dfu::AnyID))
      std::abort();
  }
  std::free(Copy);
  return 0;
}
