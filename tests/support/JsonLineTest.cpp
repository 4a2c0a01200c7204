// The JSON line writer: every text becomes a string a JSON reader gives back as the text
// meant, in plain ASCII; objects keep their fields in order.
#include "support/JsonLine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

namespace {

bool PlainAscii(const std::string& Text) {
  for (unsigned char C : Text)
    if (C < 0x20 || C > 0x7E) return false;
  return true;
}

struct tTextCase {
  const char* What;
  std::string Text;
  std::string Read;  // what a JSON reader gives back, UTF-8
};

TEST(JsonLineTest, TextsReadBackAsMeant) {
  const tTextCase Cases[] = {
      {"quotes and backslashes", "say \"C:\\x\"", "say \"C:\\x\""},
      {"control characters", std::string("a\nb\tc\x01\x7f", 8), std::string("a\nb\tc\x01\x7f", 8)},
      {"a zero byte", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"UTF-8 file name",
       "Gr\xc3\xbc\xc3\x9f"
       "e.bit",
       "Gr\xc3\xbc\xc3\x9f"
       "e.bit"},
      {"beyond the first plane", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"the card's 8-bit text",
       "Gr\xfc\xdf"
       "e",
       "Gr\xc3\xbc\xc3\x9f"
       "e"},
      {"an overlong form", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
      {"a sequence cut off", "x\xe2\x82", "x\xc3\xa2\xc2\x82"},
      {"an encoded surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
  };
  for (const tTextCase& Case : Cases) {
    const std::string Quoted = JsonQuoted(Case.Text);
    EXPECT_TRUE(PlainAscii(Quoted)) << Case.What << ": " << Quoted;
    const auto Value = nlohmann::json::parse(Quoted, nullptr, false);
    ASSERT_TRUE(Value.is_string()) << Case.What << ": " << Quoted;
    EXPECT_EQ(Value.get<std::string>(), Case.Read) << Case.What;
  }
}

TEST(JsonLineTest, ObjectKeepsItsFieldsInOrder) {
  tJsonObject Inner;
  Inner.UInt("Count", 3);
  const std::string Text = tJsonObject()
                               .String("Name", "x")
                               .Int("Below", -5)
                               .UInt("Large", 18446744073709551615u)
                               .Number("Seconds", 1.23456, 3)
                               .Number("Nothing", std::nan(""), 3)
                               .Bool("On", true)
                               .Null("Gone")
                               .Object("Inner", Inner)
                               .Raw("List", "[1,2]")
                               .Text();
  EXPECT_EQ(Text,
            "{\"Name\":\"x\",\"Below\":-5,\"Large\":18446744073709551615,\"Seconds\":1.235,"
            "\"Nothing\":null,\"On\":true,\"Gone\":null,\"Inner\":{\"Count\":3},\"List\":[1,2]}");
  EXPECT_TRUE(nlohmann::json::accept(Text));
  EXPECT_EQ(tJsonObject().Text(), "{}");
}

}  // namespace
