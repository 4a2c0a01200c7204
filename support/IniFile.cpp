#include "support/IniFile.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "platform/Files.h"

namespace {

std::string Trim(const std::string& s) {
  const auto First = s.find_first_not_of(" \t\r\n");
  if (First == std::string::npos) return {};
  const auto Last = s.find_last_not_of(" \t\r\n");
  return s.substr(First, Last - First + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string KeyOf(const std::string& Section, const std::string& Key) {
  return Lower(Trim(Section)) + '\n' + Lower(Trim(Key));
}

std::optional<uint64_t> ParseDigits(const std::string& Digits, int Base) {
  if (Digits.empty() || Digits.size() > 20) return std::nullopt;
  uint64_t Value = 0;
  for (char c : Digits) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (Base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (Base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    Value = Value * static_cast<uint64_t>(Base) + static_cast<uint64_t>(d);
    if (Value > 0xFFFFFFFFull) return std::nullopt;
  }
  return Value;
}

}  // namespace

tIniFile::tIniFile(const std::string& Path) {
  std::string Text, Why;
  if (tFiles::ReadSmallFile(Path, MaxFileSize, Text, Why) == tFiles::rr_Refused)
    fProblem = Path + " was not read: " + Why;
  Parse(Text);
}

tIniFile tIniFile::FromText(const std::string& Text) {
  tIniFile Ini;
  Ini.Parse(Text);
  return Ini;
}

void tIniFile::Parse(const std::string& Text) {
  std::istringstream Lines(Text);
  std::string Line, Section;
  while (std::getline(Lines, Line)) {
    Line = Trim(Line);
    if (Line.empty() || Line[0] == ';' || Line[0] == '#') continue;
    if (Line.front() == '[') {
      const auto Close = Line.find(']');
      if (Close != std::string::npos) Section = Line.substr(1, Close - 1);
      continue;
    }
    const auto Equals = Line.find('=');
    if (Equals == std::string::npos) continue;
    Values.emplace(KeyOf(Section, Line.substr(0, Equals)), Trim(Line.substr(Equals + 1)));
  }
}

std::optional<std::string> tIniFile::Find(const std::string& Section,
                                          const std::string& Key) const {
  const auto It = Values.find(KeyOf(Section, Key));
  if (It == Values.end()) return std::nullopt;
  return It->second;
}

std::string tIniFile::ReadString(const std::string& Section, const std::string& Key,
                                 const std::string& Default) const {
  return Find(Section, Key).value_or(Default);
}

int32_t tIniFile::ReadInteger(const std::string& Section, const std::string& Key,
                              int32_t Default) const {
  const auto Text = Find(Section, Key);
  if (!Text) return Default;
  return ParseInteger(*Text).value_or(Default);
}

std::optional<int32_t> tIniFile::ParseInteger(const std::string& Text) {
  const std::string t = Trim(Text);
  if (t.empty()) return std::nullopt;
  if (t[0] == '$') {
    const auto v = ParseDigits(t.substr(1), 16);
    if (!v) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(*v));
  }
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    const auto v = ParseDigits(t.substr(2), 16);
    if (!v) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(*v));
  }
  const bool Negative = t[0] == '-';
  const size_t Start = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  const auto v = ParseDigits(t.substr(Start), 10);
  if (!v) return std::nullopt;
  if (Negative ? *v > 0x80000000ull : *v > 0x7FFFFFFFull) return std::nullopt;
  return static_cast<int32_t>(Negative ? -static_cast<int64_t>(*v) : static_cast<int64_t>(*v));
}
