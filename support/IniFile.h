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
  // A settings file is a few lines; anything larger is no settings file of this tool's.
  static constexpr uint64_t MaxFileSize = 64 * 1024;

  // Reads the file at Path; a missing or unreadable file reads as empty. Only an ordinary
  // file of at most MaxFileSize bytes is read: anything else (a FIFO, a device, a link to
  // one) is refused unread, and Problem() names it.
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

  // Why the file was not read, naming it ("/opt/caddis/Serial.ini was not read: it is not a
  // regular file"); empty when it was read or does not exist.
  const std::string& Problem() const { return fProblem; }

 private:
  tIniFile() = default;
  void Parse(const std::string& Text);
  std::optional<std::string> Find(const std::string& Section, const std::string& Key) const;

  std::map<std::string, std::string> Values;  // "section\nkey" in lower case -> value
  std::string fProblem;
};
