// The COM ports of a Windows machine, as the serial drivers register them: every value of
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM whose data reads "COM<n>" is port n, named
// by its value name without "\Device\" (a value "\Device\Serial0" = "COM1" is port 1,
// "Serial0"), opened as "\\.\COM<n>". Values with other data (a parallel port's "LPT1") are
// skipped. Windows numbers the ports itself, so there is no port folder to check.
#include "platform/PortCatalogue.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "platform/DeviceNotifier.h"
#include "platform/win32/WideText.h"

namespace tPortCatalogue {
namespace {

const wchar_t* const SerialCommKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Value names and data are kept to 31 characters, as the port list has always shown them.
constexpr size_t NameLimit = 31;

bool StartsWithNoCase(const std::wstring& Text, const std::wstring& Prefix) {
  if (Text.size() < Prefix.size()) return false;
  for (size_t i = 0; i < Prefix.size(); ++i)
    if (std::towlower(Text[i]) != std::towlower(Prefix[i])) return false;
  return true;
}

// The registry's values in its own order.
std::vector<tPort> ReadSerialComm() {
  std::vector<tPort> Ports;
  HKEY Key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_READ, &Key) != ERROR_SUCCESS)
    return Ports;
  for (DWORD Index = 0;; ++Index) {
    wchar_t Name[16384];  // the longest value name the registry allows
    DWORD NameLength = static_cast<DWORD>(std::size(Name));
    wchar_t Data[256] = {};
    DWORD DataBytes = sizeof Data - sizeof(wchar_t);  // room for a missing terminator
    DWORD Type = 0;
    const LONG Result = ::RegEnumValueW(Key, Index, Name, &NameLength, nullptr, &Type,
                                        reinterpret_cast<BYTE*>(Data), &DataBytes);
    if (Result == ERROR_NO_MORE_ITEMS) break;
    // A value too long to be a port name is no port.
    if (Result != ERROR_SUCCESS || Type != REG_SZ) continue;
    std::wstring Text(Data, wcsnlen(Data, DataBytes / sizeof(wchar_t)));
    Text.resize(std::min(Text.size(), NameLimit));
    if (!StartsWithNoCase(Text, L"COM")) continue;
    const int Number = PortNumberFromName("COM" + tWideText::ToUtf8(Text.substr(3)));
    if (Number <= 0) continue;
    std::wstring Label(Name, std::min<size_t>(NameLength, NameLimit));
    if (StartsWithNoCase(Label, L"\\device\\")) Label.erase(0, 8);
    Ports.push_back(
        {Number, tWideText::ToUtf8(Label), "\\\\.\\COM" + std::to_string(Number), std::string()});
  }
  ::RegCloseKey(Key);
  return Ports;
}

}  // namespace

void SetRoots(const tRoots&) {}

std::string PortFolderProblem() {
  return {};
}

std::string NumbersFileProblem() {
  return {};
}

std::string NumbersFilePath() {
  return {};
}

std::vector<tPort> ListPorts() {
  return ReadSerialComm();
}

std::string DevicePathFor(int32_t aCom) {
  for (const tPort& Port : ReadSerialComm())
    if (Port.Number == aCom) return Port.DevicePath;
  return {};
}

std::string RealDevicePathFor(int32_t aCom) {
  return DevicePathFor(aCom);
}

int32_t PortNumberOf(const std::string& DeviceOrName) {
  // "COM5", "\\.\COM5" or a registered name ("Serial0").
  std::string Name = DeviceOrName;
  if (Name.rfind("\\\\.\\", 0) == 0) Name.erase(0, 4);
  if (const int Number = PortNumberFromName(Name); Number > 0) return Number;
  for (const tPort& Port : ReadSerialComm())
    if (Port.Name == DeviceOrName) return Port.Number;
  return 0;
}

}  // namespace tPortCatalogue
