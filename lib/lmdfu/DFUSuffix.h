// The DFU file suffix: the 16 (or more) bytes at the end of an image that say which device it
// is for and carry a CRC-32 over everything in front of the CRC field.
//
// Layout of the last 16 bytes, little-endian: bcdDevice, idProduct, idVendor, bcdDFU (2 bytes
// each), the signature "UFD", bLength (the suffix length, at least 16), dwCRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dfu {

constexpr size_t SuffixMinLength = 16;
constexpr uint16_t AnyID = 0xFFFF;

// Why an image was refused.
enum tSuffixVerdict {
  sv_Ok,
  sv_TooShort,     // smaller than a suffix, or no payload in front of it
  sv_NoSignature,  // no "UFD" in its place
  sv_BadLength,    // bLength below 16 or larger than the image
  sv_BadVersion,   // bcdDFU not 0x0100 or 0x0110
  sv_BadCRC,
  sv_WrongVendor,
  sv_WrongProduct,
};

struct tSuffix {
  uint16_t Device = 0;
  uint16_t Product = 0;
  uint16_t Vendor = 0;
  uint16_t DFUVersion = 0;
  uint8_t Length = 0;
  uint32_t CRC = 0;          // as stored
  uint32_t ComputedCRC = 0;  // over the image without its last four bytes
  size_t PayloadSize = 0;    // image size minus Length
};

// CRC-32 as DFU suffixes use it: reflected polynomial 0xEDB88320, start 0xFFFFFFFF, no final
// inversion. aCRC continues an earlier run.
uint32_t SuffixCRC(std::span<const uint8_t> aData, uint32_t aCRC = 0xFFFFFFFFu);

// Parses the suffix of aImage without checking it against a device.
tSuffixVerdict ParseSuffix(std::span<const uint8_t> aImage, tSuffix& aSuffix);

// ParseSuffix, then the device match (skipped with aIgnoreIDs). 0xFFFF matches any ID.
tSuffixVerdict CheckImage(std::span<const uint8_t> aImage, uint16_t aVendor, uint16_t aProduct,
                          bool aIgnoreIDs, tSuffix* aSuffix = nullptr);

// A readable reason for the verdict.
std::string SuffixVerdictText(tSuffixVerdict aVerdict, const tSuffix& aSuffix);

// Appends a 16-byte suffix (bcdDFU 0x0100) with the right CRC to aImage.
void AppendSuffix(std::vector<uint8_t>& aImage, uint16_t aVendor, uint16_t aProduct,
                  uint16_t aDevice = AnyID);

}  // namespace dfu
