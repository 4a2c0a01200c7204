// The serial port settings file reader on arbitrary file contents.
//
// The input is written to a settings file and read by the start-up's reader; the same text
// parsed in memory must give the same table, and every number the reader accepts must be
// what the C library reads from the same digits (decimal within 32 bits, or hexadecimal
// after "$" or "0x" up to FFFFFFFF).
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/IniFile.h"
#include "support/SerialIni.h"

namespace {

struct tSettingsFile {
  tSettingsFile() {
    const char* Folder = std::getenv("TMPDIR");
    Path = std::string(Folder && *Folder ? Folder : "/tmp") + "/caddis-settings-fuzz-" +
           std::to_string(::getpid()) + ".ini";
  }
  ~tSettingsFile() { std::remove(Path.c_str()); }
  std::string Path;
};

// The number the C library reads from Text, if Text is one number in a form the settings
// file allows; the reader must agree exactly.
void CheckNumber(const std::string& Text) {
  const auto Parsed = tIniFile::ParseInteger(Text);
  const auto First = Text.find_first_not_of(" \t\r\n");
  if (First == std::string::npos) {
    if (Parsed) __builtin_trap();
    return;
  }
  const auto Last = Text.find_last_not_of(" \t\r\n");
  const std::string t = Text.substr(First, Last - First + 1);
  int Base = 10;
  std::string Digits = t;
  if (t[0] == '$') {
    Base = 16;
    Digits = t.substr(1);
  } else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    Base = 16;
    Digits = t.substr(2);
  }
  // strtoll takes spaces, a sign and a "0x" of its own where the file allows none, and any
  // number of leading zeros where the file allows 20 digits at most.
  const size_t SignLength = Base == 10 && (Digits[0] == '-' || Digits[0] == '+') ? 1 : 0;
  const size_t Count = Digits.size() - SignLength;
  bool Plain = Count > 0 && Count <= 20;
  for (size_t i = SignLength; i < Digits.size() && Plain; ++i) {
    const auto c = static_cast<unsigned char>(Digits[i]);
    Plain = Base == 10 ? std::isdigit(c) != 0 : std::isxdigit(c) != 0;
  }
  if (!Plain) {
    if (Parsed) __builtin_trap();
    return;
  }
  errno = 0;
  const long long Value = std::strtoll(Digits.c_str(), nullptr, Base);
  const bool Fits = errno == 0 && (Base == 10 ? Value >= INT32_MIN && Value <= INT32_MAX
                                              : Value >= 0 && Value <= 0xFFFFFFFFLL);
  if (Fits != Parsed.has_value()) __builtin_trap();
  if (Fits && *Parsed != static_cast<int32_t>(static_cast<uint32_t>(Value))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static tSettingsFile File;
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  if (std::FILE* Out = std::fopen(File.Path.c_str(), "wb")) {
    std::fwrite(Text.data(), 1, Text.size(), Out);
    std::fclose(Out);
  }
  ReadSerialSettingsFrom(File.Path);

  const tIniFile Ini = tIniFile::FromText(Text);
  const char* Section = "SerialPorts";
  if (PortCount != 8) __builtin_trap();
  if (PortEnabledMask != static_cast<uint16_t>(Ini.ReadInteger(Section, "enabledmask", 255)))
    __builtin_trap();
  for (int i = 0; i < 8; ++i) {
    const std::string n = std::to_string(i);
    const std::string Baud = Ini.ReadString("SERIALPORTS", "BAUDRATE" + n, "115200");
    if (PortBaudRate[i] != tIniFile::ParseInteger(Baud).value_or(115200)) __builtin_trap();
    if (PortComNumber[i] != static_cast<int16_t>(Ini.ReadInteger(Section, "ComPort" + n, -1)))
      __builtin_trap();
    CheckNumber(Baud);
  }
  // The whole input as one value, and its first line.
  CheckNumber(Text.substr(0, 40));
  return 0;
}
