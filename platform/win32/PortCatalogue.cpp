// The COM ports of a Windows machine, as the serial drivers register them: every value of
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM whose data reads "COM<n>" is port n, named
// by its value name without "\Device\" (a value "\Device\Serial0" = "COM1" is port 1,
// "Serial0"), opened as "\\.\COM<n>". Values with other data (a parallel port's "LPT1") are
// skipped. Windows numbers the ports itself, so there is no port folder to check. A port that
// belongs to a USB device gets its identity from the device setup (SetupAPI): vendor and
// product numbers and serial number from the device's instance, manufacturer and the product
// string the device reported.
#include "platform/PortCatalogue.h"

#include <windows.h>
// After windows.h:
#include <devpropdef.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <map>
#include <string_view>

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

// The port class of the system's device setup: every COM port's device belongs to it.
const GUID PortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// The product string the USB device reported (the device's bus-reported description).
const DEVPROPKEY BusReportedDescription = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

std::wstring Registry(HDEVINFO Set, SP_DEVINFO_DATA& Device, DWORD Property) {
  wchar_t Text[256] = {};
  DWORD Type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(Set, &Device, Property, &Type,
                                           reinterpret_cast<BYTE*>(Text), sizeof Text - 2, nullptr))
    return L"";
  return Text;
}

// What the device setup tells of a port beyond the port list.
struct tIdentity {
  std::string Usb;
  bool Bluetooth = false;
};

// The identity of every present port, by port number.
std::map<int32_t, tIdentity> Identities() {
  std::map<int32_t, tIdentity> Found;
  const HDEVINFO Set = ::SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (Set == INVALID_HANDLE_VALUE) return Found;
  SP_DEVINFO_DATA Device{};
  Device.cbSize = sizeof Device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(Set, i, &Device); ++i) {
    wchar_t Instance[512] = {};
    if (!::SetupDiGetDeviceInstanceIdW(Set, &Device, Instance, 511, nullptr)) continue;
    std::wstring PortName;
    if (const HKEY Key =
            ::SetupDiOpenDevRegKey(Set, &Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        Key != INVALID_HANDLE_VALUE) {
      wchar_t Data[64] = {};
      DWORD Bytes = sizeof Data - sizeof(wchar_t);
      if (::RegQueryValueExW(Key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(Data),
                             &Bytes) == ERROR_SUCCESS)
        PortName = Data;
      ::RegCloseKey(Key);
    }
    const int Number = PortNumberFromName(tWideText::ToUtf8(PortName));
    if (Number <= 0) continue;
    wchar_t Product[256] = {};
    DEVPROPTYPE Type = 0;
    if (!::SetupDiGetDevicePropertyW(Set, &Device, &BusReportedDescription, &Type,
                                     reinterpret_cast<BYTE*>(Product), sizeof Product - 2, nullptr,
                                     0) ||
        Type != DEVPROP_TYPE_STRING)
      Product[0] = 0;
    const std::string Text = UsbIdentityOfInstance(
        tWideText::ToUtf8(Instance), tWideText::ToUtf8(Registry(Set, Device, SPDRP_MFG)),
        tWideText::ToUtf8(Product));
    Found[Number] = {Text, IsBluetoothInstance(tWideText::ToUtf8(Instance))};
  }
  ::SetupDiDestroyDeviceInfoList(Set);
  return Found;
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
  std::vector<tPort> Ports = ReadSerialComm();
  const std::map<int32_t, tIdentity> Known = Identities();
  for (tPort& Port : Ports)
    if (const auto Found = Known.find(Port.Number); Found != Known.end()) {
      Port.Usb = Found->second.Usb;
      Port.Bluetooth = Found->second.Bluetooth;
    }
  return Ports;
}

std::vector<int32_t> PortNumbers() {
  std::vector<int32_t> Numbers;
  for (const tPort& Port : ReadSerialComm())
    Numbers.push_back(Port.Number);
  return Numbers;
}

std::string UsbIdentityOfInstance(const std::string& Instance, const std::string& Manufacturer,
                                  const std::string& Product) {
  // "USB\VID_0403&PID_6001\A10KJ3XQ" (a USB device that is the port itself), or a driver's
  // own bus: "FTDIBUS\VID_0403+PID_6001+A10KJ3XQA\0000".
  std::string Upper = Instance;
  for (char& C : Upper)
    C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  auto Hex4 = [&](const char* Mark) -> std::string {
    const size_t At = Upper.find(Mark);
    if (At == std::string::npos || At + 8 > Upper.size()) return "";
    const std::string Digits = Upper.substr(At + 4, 4);
    for (char C : Digits)
      if (!std::isxdigit(static_cast<unsigned char>(C))) return "";
    std::string Lower = Digits;
    for (char& C : Lower)
      C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return Lower;
  };
  const std::string Vendor = Hex4("VID_"), ProductId = Hex4("PID_");
  if (Vendor.empty() || ProductId.empty()) return "";
  std::string Text = Vendor + ":" + ProductId;
  for (const std::string& Name : {Manufacturer, Product})
    if (!Name.empty()) Text += " " + Name;
  // The serial number is the instance's last part where the device has one: Windows makes up
  // a part with "&" in it for a device without.
  if (Upper.rfind("USB\\", 0) == 0) {
    const size_t Last = Instance.rfind('\\');
    const std::string Serial = Last == std::string::npos ? "" : Instance.substr(Last + 1);
    if (!Serial.empty() && Serial.find('&') == std::string::npos && Last > 4)
      Text += ", serial " + Serial;
  }
  return Text;
}

bool IsBluetoothInstance(const std::string& Instance) {
  constexpr std::string_view Bus = "BTHENUM\\";
  if (Instance.size() < Bus.size()) return false;
  for (size_t i = 0; i < Bus.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(Instance[i])) != Bus[i]) return false;
  return true;
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
