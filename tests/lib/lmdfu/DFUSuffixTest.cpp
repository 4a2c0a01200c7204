#include "lib/lmdfu/DFUSuffix.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/bootloader/DemoImage.h"

namespace {

using namespace dfu;

std::vector<uint8_t> Firmware(size_t aSize) {
  std::vector<uint8_t> F(aSize);
  for (size_t i = 0; i < aSize; ++i)
    F[i] = static_cast<uint8_t>(i * 7 + 3);
  return F;
}

std::vector<uint8_t> Image(uint16_t aVendor, uint16_t aProduct, size_t aSize = 100) {
  auto I = Firmware(aSize);
  AppendSuffix(I, aVendor, aProduct);
  return I;
}

// Rewrites the stored CRC after a field was changed on purpose.
void FixCRC(std::vector<uint8_t>& aImage) {
  const uint32_t CRC = SuffixCRC(std::span<const uint8_t>(aImage).first(aImage.size() - 4));
  for (int i = 0; i < 4; ++i)
    aImage[aImage.size() - 4 + i] = static_cast<uint8_t>(CRC >> (8 * i));
}

TEST(DFUSuffix, CRCIsTheReflectedCRC32WithoutFinalInversion) {
  const std::string Check = "123456789";
  const auto CRC = SuffixCRC(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(Check.data()), Check.size()));
  EXPECT_EQ(CRC, ~0xCBF43926u);  // the well-known CRC-32 check value, not inverted
  // Continuing a run gives the same as one pass.
  const std::span<const uint8_t> All(reinterpret_cast<const uint8_t*>(Check.data()), 9);
  EXPECT_EQ(SuffixCRC(All.subspan(4), SuffixCRC(All.first(4))), CRC);
}

TEST(DFUSuffix, AcceptsItsOwnSuffixAndReportsTheFields) {
  const auto I = Image(0x1CBE, 0x00FF, 100);
  tSuffix S;
  ASSERT_EQ(CheckImage(I, 0x1CBE, 0x00FF, false, &S), sv_Ok);
  EXPECT_EQ(S.Vendor, 0x1CBE);
  EXPECT_EQ(S.Product, 0x00FF);
  EXPECT_EQ(S.Device, 0xFFFF);
  EXPECT_EQ(S.DFUVersion, 0x0100);
  EXPECT_EQ(S.Length, 16);
  EXPECT_EQ(S.PayloadSize, 100u);
  // The demo image of the build is a valid image for the card.
  EXPECT_EQ(CheckImage(MakeDemoImage(2, 4096), CardVendorID, CardProductID, false), sv_Ok);
}

TEST(DFUSuffix, EveryDamagedByteIsCaught) {
  const auto Good = Image(0x1CBE, 0x00FF, 40);
  for (size_t i = 0; i < Good.size(); ++i) {
    auto Bad = Good;
    Bad[i] ^= 0x01;
    EXPECT_NE(CheckImage(Bad, 0x1CBE, 0x00FF, false), sv_Ok) << "byte " << i;
  }
  auto Payload = Good;
  Payload[3] ^= 0x80;
  EXPECT_EQ(CheckImage(Payload, 0x1CBE, 0x00FF, false), sv_BadCRC);
}

TEST(DFUSuffix, VendorAndProductMustMatchUnlessWildcardOrIgnored) {
  EXPECT_EQ(CheckImage(Image(0x1234, 0x00FF), 0x1CBE, 0x00FF, false), sv_WrongVendor);
  EXPECT_EQ(CheckImage(Image(0x1CBE, 0x0001), 0x1CBE, 0x00FF, false), sv_WrongProduct);
  EXPECT_EQ(CheckImage(Image(0xFFFF, 0x00FF), 0x1CBE, 0x00FF, false), sv_Ok);
  EXPECT_EQ(CheckImage(Image(0x1CBE, 0xFFFF), 0x1CBE, 0x00FF, false), sv_Ok);
  EXPECT_EQ(CheckImage(Image(0xFFFF, 0xFFFF), 0x0001, 0x0002, false), sv_Ok);
  EXPECT_EQ(CheckImage(Image(0x1234, 0x5678), 0x1CBE, 0x00FF, true), sv_Ok);
  // Ignoring the IDs does not excuse a damaged image.
  auto Bad = Image(0x1234, 0x5678);
  Bad[0] ^= 1;
  EXPECT_EQ(CheckImage(Bad, 0x1CBE, 0x00FF, true), sv_BadCRC);
}

TEST(DFUSuffix, ShortMissingAndMalformedSuffixesAreRefusedWithTheirReason) {
  tSuffix S;
  EXPECT_EQ(ParseSuffix({}, S), sv_TooShort);
  const auto Plain = Firmware(15);
  EXPECT_EQ(ParseSuffix(Plain, S), sv_TooShort);
  EXPECT_EQ(ParseSuffix(Firmware(64), S), sv_NoSignature);
  // A suffix with nothing in front of it: no firmware to send.
  std::vector<uint8_t> OnlySuffix;
  AppendSuffix(OnlySuffix, 0x1CBE, 0x00FF);
  EXPECT_EQ(ParseSuffix(OnlySuffix, S), sv_TooShort);

  auto Length = Image(0x1CBE, 0x00FF, 10);
  Length[Length.size() - 5] = 15;  // bLength below 16
  FixCRC(Length);
  EXPECT_EQ(ParseSuffix(Length, S), sv_BadLength);
  Length[Length.size() - 5] = 200;  // longer than the image
  FixCRC(Length);
  EXPECT_EQ(ParseSuffix(Length, S), sv_BadLength);
  EXPECT_NE(SuffixVerdictText(sv_BadLength, S).find("200"), std::string::npos);

  auto Version = Image(0x1CBE, 0x00FF, 10);
  Version[Version.size() - 10] = 0x1A;  // bcdDFU 0x011A: another format
  FixCRC(Version);
  EXPECT_EQ(ParseSuffix(Version, S), sv_BadVersion);
}

TEST(DFUSuffix, ALongerSuffixLeavesLessPayload) {
  auto I = Firmware(50);
  I.insert(I.end(), {0xAA, 0xBB, 0xCC, 0xDD});  // four extra suffix bytes
  AppendSuffix(I, 0x1CBE, 0x00FF);
  I[I.size() - 5] = 20;
  FixCRC(I);
  tSuffix S;
  ASSERT_EQ(ParseSuffix(I, S), sv_Ok);
  EXPECT_EQ(S.PayloadSize, 50u);
}

}  // namespace

namespace {

TEST(DemoImage, TheBuildMakesAValidCardImage) {
  std::ifstream File(DEMO_DFU_PATH, std::ios::binary);
  ASSERT_TRUE(File) << DEMO_DFU_PATH << " missing";
  const std::vector<uint8_t> Image((std::istreambuf_iterator<char>(File)),
                                   std::istreambuf_iterator<char>());
  dfu::tSuffix S;
  ASSERT_EQ(dfu::CheckImage(Image, dfu::CardVendorID, dfu::CardProductID, false, &S), dfu::sv_Ok);
  EXPECT_EQ(S.Vendor, 0x1CBE);
  EXPECT_EQ(S.Product, 0x00FF);
  const auto Firmware = std::span<const uint8_t>(Image).first(S.PayloadSize);
  EXPECT_EQ(dfu::DemoFirmwareVersion(Firmware), CADDIS_DEMO_FIRMWARE_VERSION);
  EXPECT_EQ(dfu::DemoFirmwareVersion(std::span<const uint8_t>(Image).first(10)), -1);
}

}  // namespace
