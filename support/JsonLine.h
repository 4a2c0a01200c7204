// One JSON object on one line, built field by field: what the service record and the link
// health counts are written as. Plain ASCII out: every character beyond it is escaped, so a
// line never depends on the reader's character set.
//
// Texts are taken as UTF-8 where they are valid UTF-8 (file names, the tool's own texts);
// bytes that are not (the card's 8-bit texts) are taken as one character each, so no input
// makes a line that is not JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Text as a JSON string literal, quotes included.
std::string JsonQuoted(std::string_view Text);

class tJsonObject {
 public:
  tJsonObject& String(std::string_view Name, std::string_view Text);
  tJsonObject& Int(std::string_view Name, int64_t Value);
  tJsonObject& UInt(std::string_view Name, uint64_t Value);
  // Value with Decimals digits after the point; null when it is not a finite number.
  tJsonObject& Number(std::string_view Name, double Value, int Decimals);
  tJsonObject& Bool(std::string_view Name, bool Value);
  tJsonObject& Null(std::string_view Name);
  tJsonObject& Object(std::string_view Name, const tJsonObject& Value);
  // A value that already is JSON text.
  tJsonObject& Raw(std::string_view Name, std::string_view Json);

  // The object: "{" fields "}".
  std::string Text() const { return "{" + fFields + "}"; }

 private:
  tJsonObject& Field(std::string_view Name, std::string_view Json);
  std::string fFields;
};
