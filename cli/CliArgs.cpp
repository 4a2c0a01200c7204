#include "cli/CliArgs.h"

#include <charconv>
#include <cmath>

namespace {

bool AllDigits(const std::string& Text) {
  if (Text.empty()) return false;
  for (char C : Text)
    if (C < '0' || C > '9') return false;
  return true;
}

}  // namespace

bool ParsePortNumber(const std::string& Text, int32_t& Port) {
  std::string Digits = Text;
  if (Digits.size() > 3 && (Digits.compare(0, 3, "COM") == 0 || Digits.compare(0, 3, "com") == 0))
    Digits = Digits.substr(3);
  return ParseIndex(Digits, 65535, Port) && Port >= 1;
}

bool ParseSeconds(const std::string& Text, double& Seconds) {
  if (Text.empty() || Text.size() > 16) return false;
  const std::size_t Dot = Text.find('.');
  const std::string Whole = Text.substr(0, Dot);
  const std::string Fraction = Dot == std::string::npos ? "" : Text.substr(Dot + 1);
  if (Whole.empty() && Fraction.empty()) return false;
  if (!Whole.empty() && !AllDigits(Whole)) return false;
  if (Dot != std::string::npos && !Fraction.empty() && !AllDigits(Fraction)) return false;
  double Value = 0;
  for (char C : Whole)
    Value = Value * 10 + (C - '0');
  double Scale = 0.1;
  for (char C : Fraction) {
    Value += (C - '0') * Scale;
    Scale /= 10;
  }
  if (!std::isfinite(Value) || Value > 86400) return false;
  Seconds = Value;
  return true;
}

bool ParseIndex(const std::string& Text, int32_t Max, int32_t& Value) {
  if (!AllDigits(Text) || Text.size() > 9) return false;
  int32_t Parsed = 0;
  const auto [End, Status] = std::from_chars(Text.data(), Text.data() + Text.size(), Parsed);
  if (Status != std::errc() || End != Text.data() + Text.size() || Parsed > Max) return false;
  Value = Parsed;
  return true;
}

bool IsDevicePath(const std::string& Text) {
  return Text.find('/') != std::string::npos || Text.rfind("\\\\.\\", 0) == 0;
}

bool ParseHexBytes(const std::string& Text, std::vector<uint8_t>& Bytes, std::string& Why) {
  auto Digit = [](char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
  };
  Bytes.clear();
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Digit(Text[i]) < 0) {
      Why = "'" + Text + "' is not hexadecimal: character " + std::to_string(i + 1) +
            " is not a hex digit";
      return false;
    }
  }
  if (Text.size() % 2 != 0) {
    Why = "'" + Text + "' has an odd number of hex digits: each byte takes two";
    return false;
  }
  for (std::size_t i = 0; i < Text.size(); i += 2)
    Bytes.push_back(static_cast<uint8_t>(Digit(Text[i]) << 4 | Digit(Text[i + 1])));
  return true;
}
