#include "app/CaddisText.h"

#include <gtest/gtest.h>

namespace {

TEST(HexToInt, Pairs) {
  EXPECT_EQ(HexToInt("7f"), 127);
  EXPECT_EQ(HexToInt(" 5"), 5);
  EXPECT_EQ(HexToInt("5 "), 80);
  EXPECT_EQ(HexToInt("G1"), 1);
  EXPECT_EQ(HexToInt("zz"), 0);
  EXPECT_EQ(HexToInt("FF"), 255);
  EXPECT_EQ(HexToInt(""), 0);
  // Only 31 characters count, and a long text wraps rather than overflowing.
  EXPECT_EQ(HexToInt(std::string(40, 'f')), -1);
}

TEST(HexMessage, FixedPairsFromTheStart) {
  using B = std::vector<uint8_t>;
  EXPECT_EQ(HexMessage("0101"), (B{1, 1}));
  EXPECT_EQ(HexMessage("010"), (B{1}));
  EXPECT_EQ(HexMessage("0"), B{});
  EXPECT_EQ(HexMessage(""), B{});
  EXPECT_EQ(HexMessage("01 02"), (B{1, 0}));
  EXPECT_EQ(HexMessage("3c"), (B{60}));
  // A text longer than 255 characters counts its first 255 only: 127 bytes.
  EXPECT_EQ(HexMessage(std::string(300, 'a')).size(), 127u);
}

TEST(ComPortIndex, SkipsNoneAndMalformedItems) {
  const std::vector<std::string> Items = {"<none>",    "x ttyS0",    "12",
                                          "3 ttyUSB0", "12 ttyACM0", "12 again"};
  EXPECT_EQ(ComPortIndex(Items, 3), 3);
  EXPECT_EQ(ComPortIndex(Items, 12), 4);  // "12" without a space is passed over
  EXPECT_EQ(ComPortIndex(Items, 7), -1);
  EXPECT_EQ(ComPortIndex({"5 x"}, 5), -1);  // item 0 never counts
  EXPECT_EQ(PortNumberOfItem("abc def"), -1);
  EXPECT_EQ(PortNumberOfItem(" 3 x"), -1);
  EXPECT_EQ(PortNumberOfItem("99999999999 x"), -1);
}

TEST(VoltageText, OneDecimalAtLeastThreeWide) {
  EXPECT_EQ(VoltageText(0.5f, '.'), "0.5");
  EXPECT_EQ(VoltageText(5.0f, '.'), "5.0");
  EXPECT_EQ(VoltageText(15.0f, '.'), "15.0");
  EXPECT_EQ(VoltageText(25.5f, ','), "25,5");
  EXPECT_EQ(VoltageText(0.0f, ','), "0,0");
}

}  // namespace
