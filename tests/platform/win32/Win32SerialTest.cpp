// The Windows serial port through the real port object, run under Wine by with_echo_port.py:
// COM<CADDIS_TEST_COM> leads to a pseudo-terminal whose far end echoes every byte and hangs
// up once it has seen the hang-up marker. Also the port list from the registry.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/DeviceNotifier.h"
#include "platform/PortCatalogue.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"

using namespace std::chrono_literals;

namespace {

const wchar_t* const SerialComm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char HangUpMarker[] = "\0caddis-hang-up\0";  // as with_echo_port.py knows it

// Wine lets a second handle open a serial device despite share mode 0.
bool UnderWine() {
  HMODULE NtDll = ::GetModuleHandleW(L"ntdll.dll");
  return NtDll && ::GetProcAddress(NtDll, "wine_get_version") != nullptr;
}

int TestPort() {
  const char* Value = std::getenv("CADDIS_TEST_COM");
  return Value ? std::atoi(Value) : 0;
}

// The error an open of port Com fails with; a port that opens fails the test.
tSerialError OpenFailure(int Com) {
  try {
    tComPort Port(Com, 115200, true);
  } catch (const tComPortOpenError& Refusal) {
    EXPECT_EQ(std::string(Refusal.what()), "Cannot open ComPort " + std::to_string(Com));
    return Refusal.Error;
  }
  ADD_FAILURE() << "COM" << Com << " opened";
  return {};
}

// Values added to SERIALCOMM for one test, removed again afterwards.
class tRegisteredPorts {
 public:
  ~tRegisteredPorts() {
    for (const std::wstring& Name : Names)
      ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SerialComm, Name.c_str());
  }
  bool Add(const std::wstring& Name, const std::wstring& Data) {
    HKEY Key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_SET_VALUE, nullptr, &Key, nullptr) != ERROR_SUCCESS)
      return false;
    const LONG Result =
        ::RegSetValueExW(Key, Name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(Data.c_str()),
                         static_cast<DWORD>((Data.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(Key);
    Names.push_back(Name);
    return Result == ERROR_SUCCESS;
  }

 private:
  std::vector<std::wstring> Names;
};

class Win32SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tUIThread::SetCurrentAsUIThread();
    SavedProc = DisplayMessageProc;
    DisplayMessageProc = [this](const std::string& Line) { Messages.push_back(Line); };
  }
  void TearDown() override { DisplayMessageProc = SavedProc; }

  // Serves the port's hand-offs until Done or the time is up.
  static bool ServeUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s) {
    const auto Until = std::chrono::steady_clock::now() + Limit;
    while (!Done()) {
      if (std::chrono::steady_clock::now() > Until) return false;
      tUIThread::WaitAndServe(10ms);
    }
    return true;
  }

  std::vector<std::string> Messages;
  tDisplayMessageProc SavedProc;
};

TEST_F(Win32SerialTest, PortListComesFromSerialComm) {
  tRegisteredPorts Registry;
  ASSERT_TRUE(Registry.Add(L"\\Device\\CaddisTest0", L"COM61"));
  ASSERT_TRUE(Registry.Add(L"CaddisPlainName", L"com62"));
  ASSERT_TRUE(Registry.Add(L"\\Device\\CaddisPrinter0", L"LPT3"));
  ASSERT_TRUE(Registry.Add(L"\\Device\\CaddisOdd0", L"COMx"));

  std::vector<std::string> List{"first line stays"};
  ListComPorts(List);
  EXPECT_EQ(List.front(), "first line stays");
  auto Has = [&List](const std::string& Line) {
    return std::find(List.begin(), List.end(), Line) != List.end();
  };
  EXPECT_TRUE(Has("61 CaddisTest0")) << "the \\Device\\ prefix goes";
  EXPECT_TRUE(Has("62 CaddisPlainName")) << "a name without the prefix is used whole";
  for (const std::string& Line : List)
    EXPECT_EQ(Line.find("CaddisPrinter"), std::string::npos) << "not a COM port: " << Line;
  for (const std::string& Line : List)
    EXPECT_EQ(Line.find("CaddisOdd"), std::string::npos) << "no port number: " << Line;

  EXPECT_EQ(tPortCatalogue::DevicePathFor(61), "\\\\.\\COM61");
  EXPECT_EQ(tPortCatalogue::DevicePathFor(63), "") << "a port nobody registered";
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(61), "\\\\.\\COM61");
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(63), "");
  EXPECT_EQ(tPortCatalogue::PortNumberOf("CaddisTest0"), 61);
  EXPECT_EQ(tPortCatalogue::PortNumberOf("\\\\.\\COM62"), 62);
}

TEST_F(Win32SerialTest, OpenFailuresKeepTheSystemsOwnError) {
  // Not registered: no such port.
  EXPECT_EQ(OpenFailure(63).Kind, tSerialError::se_NotFound);

  // Registered, but no device behind the name: the system's own "not found", in its words.
  tRegisteredPorts Registry;
  ASSERT_TRUE(Registry.Add(L"\\Device\\CaddisGone0", L"COM64"));
  const tSerialError Missing = OpenFailure(64);
  EXPECT_EQ(Missing.Kind, tSerialError::se_NotFound);
  EXPECT_NE(Missing.Code, 0);
  EXPECT_NE(Missing.Text().find("(" + std::to_string(Missing.Code) + ")"), std::string::npos);
  EXPECT_EQ(Missing.Text().find("No such file"), std::string::npos)
      << "a C library text, not the system's: " << Missing.Text();
}

TEST_F(Win32SerialTest, BytesBothWaysInOrderThenTheFarEndHangsUp) {
  const int Com = TestPort();
  if (Com <= 0) GTEST_SKIP() << "run through with_echo_port.py (CADDIS_TEST_COM)";
  tRegisteredPorts Registry;
  ASSERT_TRUE(Registry.Add(L"\\Device\\CaddisEcho0", L"COM" + std::to_wstring(Com)));

  auto Port = std::make_unique<tComPort>(Com, 115200, true);
  EXPECT_FALSE(Port->HungUp());

  // A second user of the port is refused while it is open, with the system's reason (Windows
  // refuses the second open; Wine does not, so there this is left to a Windows machine).
  if (!UnderWine()) {
    const tSerialError Busy = OpenFailure(Com);
    EXPECT_EQ(Busy.Kind, tSerialError::se_Busy) << Busy.Text();
  }

  // More than the queues and the driver hold at once, so the I/O thread loops many times
  // each way; every byte value, in an order a lost or repeated batch would break.
  std::vector<uint8_t> Out(20000);
  for (size_t i = 0; i < Out.size(); ++i)
    Out[i] = static_cast<uint8_t>((i * 7 + i / 256) & 0xFF);
  // No marker inside the data.
  for (uint8_t& Byte : Out)
    if (Byte == 0) Byte = 1;
  std::vector<uint8_t> Back;
  size_t Sent = 0;
  ASSERT_TRUE(ServeUntil(
      [&] {
        if (Sent < Out.size()) {
          const auto Chunk = static_cast<int32_t>(std::min<size_t>(1000, Out.size() - Sent));
          Sent += static_cast<size_t>(Port->Send(Out.data() + Sent, Chunk));
        }
        uint8_t Buffer[4096];
        const int32_t N = Port->Receive(Buffer, sizeof Buffer);
        Back.insert(Back.end(), Buffer, Buffer + N);
        return Back.size() >= Out.size();
      },
      30s))
      << "got " << Back.size() << " of " << Out.size() << " bytes back";
  EXPECT_TRUE(Back == Out);
  EXPECT_TRUE(Messages.empty()) << Messages.front();

  // The far end goes away: the port says so, and a closing port does not wait for it.
  ASSERT_EQ(Port->Send(HangUpMarker, sizeof HangUpMarker - 1), int32_t{sizeof HangUpMarker - 1});
  EXPECT_TRUE(ServeUntil([&] { return Port->HungUp(); }));
  const auto Before = std::chrono::steady_clock::now();
  Port.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - Before, 2s);
}

// The notifier's window in this process, found as FindWindow finds top-level windows (it
// never finds message-only ones, which get no broadcasts).
HWND NoticeWindow() {
  for (HWND Window = nullptr;
       (Window = ::FindWindowExW(nullptr, Window, L"CaddisDeviceNotices", nullptr)) != nullptr;) {
    DWORD Process = 0;
    ::GetWindowThreadProcessId(Window, &Process);
    if (Process == ::GetCurrentProcessId()) return Window;
  }
  return nullptr;
}

// A device notice as the system sends it to each top-level window. (Wine refuses to broadcast
// messages that carry a pointer, so it is sent to the window itself here.)
void Notify(HWND Window, WPARAM Event, DWORD DeviceType, const wchar_t* Name) {
  struct {
    DEV_BROADCAST_PORT_W Port;
    wchar_t Room[32];
  } Notice{};
  Notice.Port.dbcp_size = sizeof Notice;
  Notice.Port.dbcp_devicetype = DeviceType;
  wcscpy(Notice.Port.dbcp_name, Name);
  ::SendMessageW(Window, WM_DEVICECHANGE, Event, reinterpret_cast<LPARAM>(&Notice));
}

TEST_F(Win32SerialTest, PortNoticesReachTheOwner) {
  tDeviceNotifier Notifier("", nullptr);
  ASSERT_TRUE(Notifier.WatchingKernelDevices());
  const HWND Window = NoticeWindow();
  ASSERT_NE(Window, nullptr) << "a top-level window";
  EXPECT_FALSE(::IsWindowVisible(Window));
  EXPECT_NE(::GetWindowThreadProcessId(Window, nullptr), ::GetCurrentThreadId())
      << "on a thread of its own";
  std::atomic<int> Told{0};
  Notifier.SetOnPending([&Told] { ++Told; });
  // Only ports, and only arrival and completed removal, are told.
  Notify(Window, DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_PORT, L"COM41");
  Notify(Window, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, L"COM41");
  Notify(Window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, L"COM42");
  Notify(Window, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, L"COM43");
  ASSERT_TRUE(ServeUntil([&] { return Told.load() >= 2; }));
  const std::vector<tDeviceChange> Changes = Notifier.ReadChanges();
  ASSERT_EQ(Changes.size(), 2u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_Arrival);
  EXPECT_EQ(Changes[0].PortName, "COM42");
  EXPECT_EQ(Changes[1].Kind, tDeviceChange::dc_RemoveComplete);
  EXPECT_EQ(Changes[1].PortName, "COM43");
  EXPECT_TRUE(Notifier.ReadChanges().empty());
}

// An interface notice as the system sends it to a window registered for the class.
void NotifyInterface(HWND Window, WPARAM Event, const GUID& Class, const std::wstring& Path) {
  std::vector<unsigned char> Bytes(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) +
                                   (Path.size() + 1) * sizeof(wchar_t));
  auto* Notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(Bytes.data());
  Notice->dbcc_size = static_cast<DWORD>(Bytes.size());
  Notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  Notice->dbcc_classguid = Class;
  wcscpy(Notice->dbcc_name, Path.c_str());
  ::SendMessageW(Window, WM_DEVICECHANGE, Event, reinterpret_cast<LPARAM>(Notice));
}

constexpr GUID ComPortClass = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr GUID OtherClass = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

// The interface path of a present COM port whose device names its port, and that name; empty
// when the system lists none.
std::pair<std::wstring, std::wstring> SomeComPortInterface() {
  const HDEVINFO Set = ::SetupDiGetClassDevsW(&ComPortClass, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (Set == INVALID_HANDLE_VALUE) return {};
  std::pair<std::wstring, std::wstring> Found;
  SP_DEVICE_INTERFACE_DATA Interface{};
  Interface.cbSize = sizeof Interface;
  for (DWORD i = 0; Found.first.empty() &&
                    ::SetupDiEnumDeviceInterfaces(Set, nullptr, &ComPortClass, i, &Interface);
       ++i) {
    std::vector<unsigned char> Detail(4096);
    auto* Data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(Detail.data());
    Data->cbSize = sizeof *Data;
    SP_DEVINFO_DATA Device{};
    Device.cbSize = sizeof Device;
    if (!::SetupDiGetDeviceInterfaceDetailW(Set, &Interface, Data,
                                            static_cast<DWORD>(Detail.size()), nullptr, &Device))
      continue;
    const HKEY Key = ::SetupDiOpenDevRegKey(Set, &Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (Key == INVALID_HANDLE_VALUE) continue;
    wchar_t Name[64] = {};
    DWORD Bytes = sizeof Name - sizeof(wchar_t);
    if (::RegQueryValueExW(Key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(Name),
                           &Bytes) == ERROR_SUCCESS &&
        Name[0] != 0)
      Found = {Data->DevicePath, Name};
    ::RegCloseKey(Key);
  }
  ::SetupDiDestroyDeviceInfoList(Set);
  return Found;
}

// The notifier registers for the COM-port interface's notices, names each by its device's port,
// and tells a change that comes by both routes once.
TEST_F(Win32SerialTest, InterfaceNoticesAreNamedAndToldOnce) {
  tDeviceNotifier Notifier("", nullptr);
  EXPECT_EQ(Notifier.Sources(), "port broadcasts, COM-port interface notices");
  const HWND Window = NoticeWindow();
  ASSERT_NE(Window, nullptr);
  std::atomic<int> Told{0};
  Notifier.SetOnPending([&Told] { ++Told; });
  // The same arrival twice (the broadcast and the interface), another class, a path that
  // leads to no device: one change.
  Notify(Window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, L"COM44");
  Notify(Window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, L"COM44");
  NotifyInterface(Window, DBT_DEVICEARRIVAL, OtherClass, L"\\\\?\\USB#VID_0403&PID_6001#X#{x}");
  NotifyInterface(Window, DBT_DEVICEARRIVAL, ComPortClass, L"\\\\?\\NO#SUCH#DEVICE#{x}");
  Notify(Window, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, L"COM44");
  ASSERT_TRUE(ServeUntil([&] { return Told.load() >= 2; }));
  std::vector<tDeviceChange> Changes = Notifier.ReadChanges();
  ASSERT_EQ(Changes.size(), 2u);
  EXPECT_EQ(Changes[0].PortName, "COM44");
  EXPECT_EQ(Changes[1].Kind, tDeviceChange::dc_RemoveComplete);

  const auto [Path, Name] = SomeComPortInterface();
  if (Path.empty()) GTEST_SKIP() << "the system lists no COM-port interface with a port name";
  // The interface's arrival is named by its port; its removal too, once the device is gone
  // (here: by the path remembered at arrival); the broadcast after it is no news.
  Told = 0;
  NotifyInterface(Window, DBT_DEVICEARRIVAL, ComPortClass, Path);
  Notify(Window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, Name.c_str());
  NotifyInterface(Window, DBT_DEVICEREMOVECOMPLETE, ComPortClass, Path);
  ASSERT_TRUE(ServeUntil([&] { return Told.load() >= 2; }));
  Changes = Notifier.ReadChanges();
  ASSERT_EQ(Changes.size(), 2u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_Arrival);
  EXPECT_EQ(Changes[0].PortName, std::string(Name.begin(), Name.end()));  // "COM<n>": ASCII
  EXPECT_EQ(Changes[1].Kind, tDeviceChange::dc_RemoveComplete);
  EXPECT_EQ(Changes[0].PortName, Changes[1].PortName);
}

}  // namespace
