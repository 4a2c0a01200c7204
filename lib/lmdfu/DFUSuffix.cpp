#include "lib/lmdfu/DFUSuffix.h"

#include <array>
#include <cstdio>

namespace dfu {
namespace {

constexpr std::array<uint32_t, 256> MakeCRCTable() {
  std::array<uint32_t, 256> Table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t C = i;
    for (int k = 0; k < 8; ++k)
      C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
    Table[i] = C;
  }
  return Table;
}

constexpr auto CRCTable = MakeCRCTable();

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::string Hex4(uint16_t x) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "0x%.4X", x);
  return Text;
}

}  // namespace

uint32_t SuffixCRC(std::span<const uint8_t> aData, uint32_t aCRC) {
  for (uint8_t b : aData)
    aCRC = CRCTable[(aCRC ^ b) & 0xFF] ^ (aCRC >> 8);
  return aCRC;
}

tSuffixVerdict ParseSuffix(std::span<const uint8_t> aImage, tSuffix& aSuffix) {
  aSuffix = tSuffix{};
  if (aImage.size() < SuffixMinLength) return sv_TooShort;
  // The fixed part is always the last 16 bytes; a longer suffix only adds bytes in front.
  const uint8_t* Tail = aImage.data() + aImage.size() - SuffixMinLength;
  if (Tail[8] != 'U' || Tail[9] != 'F' || Tail[10] != 'D') return sv_NoSignature;
  // From here on it is clearly meant to be a suffix: every field must be right.
  aSuffix.Device = Get16(Tail + 0);
  aSuffix.Product = Get16(Tail + 2);
  aSuffix.Vendor = Get16(Tail + 4);
  aSuffix.DFUVersion = Get16(Tail + 6);
  aSuffix.Length = Tail[11];
  aSuffix.CRC = Get32(Tail + 12);
  aSuffix.ComputedCRC = SuffixCRC(aImage.first(aImage.size() - 4));
  if (aSuffix.Length < SuffixMinLength || aSuffix.Length > aImage.size()) return sv_BadLength;
  aSuffix.PayloadSize = aImage.size() - aSuffix.Length;
  if (aSuffix.DFUVersion != 0x0100 && aSuffix.DFUVersion != 0x0110) return sv_BadVersion;
  if (aSuffix.CRC != aSuffix.ComputedCRC) return sv_BadCRC;
  if (aSuffix.PayloadSize == 0) return sv_TooShort;
  return sv_Ok;
}

tSuffixVerdict CheckImage(std::span<const uint8_t> aImage, uint16_t aVendor, uint16_t aProduct,
                          bool aIgnoreIDs, tSuffix* aSuffix) {
  tSuffix Local;
  tSuffix& S = aSuffix ? *aSuffix : Local;
  const tSuffixVerdict Verdict = ParseSuffix(aImage, S);
  if (Verdict != sv_Ok || aIgnoreIDs) return Verdict;
  if (S.Vendor != AnyID && S.Vendor != aVendor) return sv_WrongVendor;
  if (S.Product != AnyID && S.Product != aProduct) return sv_WrongProduct;
  return sv_Ok;
}

std::string SuffixVerdictText(tSuffixVerdict aVerdict, const tSuffix& aSuffix) {
  switch (aVerdict) {
    case sv_Ok:
      return "valid DFU suffix";
    case sv_TooShort:
      return "image too short to hold firmware and a DFU suffix";
    case sv_NoSignature:
      return "no DFU suffix (signature \"UFD\" missing)";
    case sv_BadLength:
      return "DFU suffix length " + std::to_string(aSuffix.Length) + " is invalid";
    case sv_BadVersion:
      return "DFU suffix version " + Hex4(aSuffix.DFUVersion) + " is not supported";
    case sv_BadCRC:
      return "DFU suffix CRC mismatch (image damaged)";
    case sv_WrongVendor:
      return "image is for vendor " + Hex4(aSuffix.Vendor) + ", not this device";
    case sv_WrongProduct:
      return "image is for product " + Hex4(aSuffix.Product) + ", not this device";
  }
  return "unknown verdict";
}

void AppendSuffix(std::vector<uint8_t>& aImage, uint16_t aVendor, uint16_t aProduct,
                  uint16_t aDevice) {
  Put16(aImage, aDevice);
  Put16(aImage, aProduct);
  Put16(aImage, aVendor);
  Put16(aImage, 0x0100);
  aImage.push_back('U');
  aImage.push_back('F');
  aImage.push_back('D');
  aImage.push_back(static_cast<uint8_t>(SuffixMinLength));
  const uint32_t CRC = SuffixCRC(aImage);
  for (int i = 0; i < 4; ++i)
    aImage.push_back(static_cast<uint8_t>(CRC >> (8 * i)));
}

}  // namespace dfu
