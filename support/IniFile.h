// A small reader of INI-style text files: "[Section]" lines, "Key=Value" lines, ';' or '#'
// comment lines. Section and key names compare without regard to case, as the settings
// files written for this tool on other systems expect; the first occurrence of a key wins.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class tIniFile {
 public:
  // Reads the file at Path; a missing or unreadable file reads as empty.
  explicit tIniFile(const std::string& Path);
  // Parses Text as the content of an INI file.
  static tIniFile FromText(const std::string& Text);

  std::string ReadString(const std::string& Section, const std::string& Key,
                         const std::string& Default) const;
  // The key's integer value, or Default when the key is missing or not an integer.
  int32_t ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const;

  // Decimal with an optional sign, or hexadecimal written "$1F" or "0x1F"; the whole text
  // (spaces around it aside) must be the number and it must fit 32 bits (hexadecimal up to
  // FFFFFFFF, read as two's complement).
  static std::optional<int32_t> ParseInteger(const std::string& Text);

 private:
  tIniFile() = default;
  void Parse(const std::string& Text);
  std::optional<std::string> Find(const std::string& Section, const std::string& Key) const;

  std::map<std::string, std::string> Values;  // "section\nkey" in lower case -> value
};
