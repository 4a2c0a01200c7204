#include "support/JsonLine.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at Text[At] and its code point; 0 when the bytes
// there are no valid sequence (overlong forms, surrogates and values beyond U+10FFFF count as
// invalid).
std::size_t Utf8Sequence(std::string_view Text, std::size_t At, uint32_t& Code) {
  const auto Byte = [&](std::size_t i) { return static_cast<uint8_t>(Text[At + i]); };
  const uint8_t Lead = Byte(0);
  std::size_t Length = 0;
  uint32_t Min = 0;
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2, Code = Lead & 0x1F, Min = 0x80;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3, Code = Lead & 0x0F, Min = 0x800;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4, Code = Lead & 0x07, Min = 0x10000;
  } else {
    return 0;
  }
  if (At + Length > Text.size()) return 0;
  for (std::size_t i = 1; i < Length; ++i) {
    if ((Byte(i) & 0xC0) != 0x80) return 0;
    Code = Code << 6 | (Byte(i) & 0x3F);
  }
  if (Code < Min || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) return 0;
  return Length;
}

void AppendEscape(std::string& Out, uint32_t Unit) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "\\u%04x", Unit);
  Out += Text;
}

}  // namespace

std::string JsonQuoted(std::string_view Text) {
  std::string Out = "\"";
  for (std::size_t At = 0; At < Text.size();) {
    const auto C = static_cast<uint8_t>(Text[At]);
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += static_cast<char>(C);
      ++At;
    } else if (C >= 0x20 && C < 0x7F) {
      Out += static_cast<char>(C);
      ++At;
    } else if (C < 0x80) {
      AppendEscape(Out, C);
      ++At;
    } else {
      uint32_t Code = 0;
      const std::size_t Length = Utf8Sequence(Text, At, Code);
      if (Length == 0) {
        // Not UTF-8: an 8-bit character of the card.
        Code = C;
        At += 1;
      } else {
        At += Length;
      }
      if (Code >= 0x10000) {
        Code -= 0x10000;
        AppendEscape(Out, 0xD800 + (Code >> 10));
        AppendEscape(Out, 0xDC00 + (Code & 0x3FF));
      } else {
        AppendEscape(Out, Code);
      }
    }
  }
  return Out + "\"";
}

tJsonObject& tJsonObject::Field(std::string_view Name, std::string_view Json) {
  if (!fFields.empty()) fFields += ',';
  fFields += JsonQuoted(Name);
  fFields += ':';
  fFields += Json;
  return *this;
}

tJsonObject& tJsonObject::String(std::string_view Name, std::string_view Text) {
  return Field(Name, JsonQuoted(Text));
}

tJsonObject& tJsonObject::Int(std::string_view Name, int64_t Value) {
  return Field(Name, std::to_string(Value));
}

tJsonObject& tJsonObject::UInt(std::string_view Name, uint64_t Value) {
  return Field(Name, std::to_string(Value));
}

tJsonObject& tJsonObject::Number(std::string_view Name, double Value, int Decimals) {
  if (!std::isfinite(Value)) return Null(Name);
  // Not printf: the window runs under the operator's locale, whose decimal point may be a
  // comma.
  char Text[512];
  const auto End =
      std::to_chars(Text, Text + sizeof Text, Value, std::chars_format::fixed, Decimals);
  if (End.ec != std::errc()) return Null(Name);
  return Field(Name, std::string_view(Text, static_cast<std::size_t>(End.ptr - Text)));
}

tJsonObject& tJsonObject::Bool(std::string_view Name, bool Value) {
  return Field(Name, Value ? "true" : "false");
}

tJsonObject& tJsonObject::Null(std::string_view Name) {
  return Field(Name, "null");
}

tJsonObject& tJsonObject::Object(std::string_view Name, const tJsonObject& Value) {
  return Field(Name, Value.Text());
}

tJsonObject& tJsonObject::Raw(std::string_view Name, std::string_view Json) {
  return Field(Name, Json);
}
