#include "support/SerialIni.h"

#include "support/FilePlaces.h"
#include "support/IniFile.h"

std::string SerialIniPath;
uint8_t PortCount = 8;
uint16_t PortEnabledMask = 255;
std::array<int32_t, 8> PortBaudRate = {115200, 115200, 115200, 115200,
                                       115200, 115200, 115200, 115200};
std::array<int16_t, 8> PortComNumber = {-1, -1, -1, -1, -1, -1, -1, -1};

namespace {
const char* const Section = "SerialPorts";
}

std::string ReadSerialSettings() {
  SerialIniPath = SettingsFilePlace(CurrentFileFolders(), PathExists).Path;
  return ReadSerialSettingsFrom(SerialIniPath);
}

std::string ReadSerialSettingsFrom(const std::string& Path) {
  PortCount = 8;
  const tIniFile Ini(Path);
  // Only the low 16 bits of the mask and of each port number count.
  PortEnabledMask = static_cast<uint16_t>(Ini.ReadInteger(Section, "EnabledMask", 255));
  for (int i = 0; i < 8; ++i) {
    const std::string n = std::to_string(i);
    const std::string Baud = Ini.ReadString(Section, "BaudRate" + n, "115200");
    PortBaudRate[i] = tIniFile::ParseInteger(Baud).value_or(115200);
    PortComNumber[i] = static_cast<int16_t>(Ini.ReadInteger(Section, "ComPort" + n, -1));
  }
  return Ini.Problem();
}
