// Port arrival and removal on Windows, from two routes: the system broadcasts WM_DEVICECHANGE
// for a port (DBT_DEVTYP_PORT, with its name "COM5") to every top-level window (a message-only
// window gets no broadcasts), and sends the COM-port device interface's notices to a window
// registered for them (RegisterDeviceNotification): some USB-serial drivers are seen only that
// way. The notifier owns a hidden top-level window with its own thread and message loop. An
// interface notice names the device's interface path; its port name is the device's
// "PortName" (SetupAPI), remembered by path so that the removal, when the device is gone
// already, is still named. A port told by both routes is told once; notices are queued, and
// OnPending tells the owner.
#include "platform/DeviceNotifier.h"

#include <windows.h>
// After windows.h:
#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "platform/win32/WideText.h"

namespace {

const wchar_t* const WindowClass = L"CaddisDeviceNotices";
constexpr size_t PortNameLimit = 32;

// The device interface class of COM ports (every serial port driver registers it).
constexpr GUID ComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

std::wstring Lower(std::wstring Text) {
  for (wchar_t& C : Text)
    C = static_cast<wchar_t>(std::towlower(C));
  return Text;
}

// The port name ("COM5") of the device an interface path leads to, or "" when the device is
// gone or has none.
std::wstring PortNameOfInterface(const std::wstring& Path) {
  const HDEVINFO Set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (Set == INVALID_HANDLE_VALUE) return L"";
  std::wstring Name;
  SP_DEVICE_INTERFACE_DATA Interface{};
  Interface.cbSize = sizeof Interface;
  if (::SetupDiOpenDeviceInterfaceW(Set, Path.c_str(), 0, &Interface)) {
    SP_DEVINFO_DATA Device{};
    Device.cbSize = sizeof Device;
    if (::SetupDiGetDeviceInterfaceDetailW(Set, &Interface, nullptr, 0, nullptr, &Device) ||
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      const HKEY Key =
          ::SetupDiOpenDevRegKey(Set, &Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (Key != INVALID_HANDLE_VALUE) {
        wchar_t Data[64] = {};
        DWORD Bytes = sizeof Data - sizeof(wchar_t);
        DWORD Type = 0;
        if (::RegQueryValueExW(Key, L"PortName", nullptr, &Type, reinterpret_cast<BYTE*>(Data),
                               &Bytes) == ERROR_SUCCESS &&
            Type == REG_SZ)
          Name.assign(Data, wcsnlen(Data, Bytes / sizeof(wchar_t)));
        ::RegCloseKey(Key);
      }
    }
  }
  ::SetupDiDestroyDeviceInfoList(Set);
  return Name;
}

}  // namespace

struct tDeviceNotifier::tImpl {
  std::mutex Lock;
  std::vector<tDeviceChange> Pending;
  std::function<void()> OnPending;
  HWND Window = nullptr;
  HDEVNOTIFY Registration = nullptr;
  std::thread Thread;
  // Only on the window's thread: the last change told per port, and the port names of the
  // interfaces that arrived.
  std::map<std::string, tDeviceChange::tKind> Told;
  std::map<std::wstring, std::wstring> InterfacePorts;

  void Notice(tDeviceChange::tKind Kind, std::wstring Name) {
    if (Name.size() > PortNameLimit) Name.resize(PortNameLimit);
    const std::string Port = tWideText::ToUtf8(Name);
    // The second route's notice of the same change is no news.
    if (const auto Last = Told.find(Port); Last != Told.end() && Last->second == Kind) return;
    Told[Port] = Kind;
    std::function<void()> Tell;
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Pending.push_back({Kind, Port});
      Tell = OnPending;
    }
    if (Tell) Tell();
  }

  void InterfaceNotice(tDeviceChange::tKind Kind, const DEV_BROADCAST_DEVICEINTERFACE_W& Notice) {
    if (!::IsEqualGUID(Notice.dbcc_classguid, ComPortInterface)) return;
    const std::wstring Path = Lower(Notice.dbcc_name);
    std::wstring Name;
    if (const auto Known = InterfacePorts.find(Path); Known != InterfacePorts.end()) {
      Name = Known->second;
    } else {
      Name = PortNameOfInterface(Notice.dbcc_name);
    }
    if (Kind == tDeviceChange::dc_Arrival && !Name.empty()) InterfacePorts[Path] = Name;
    if (Kind == tDeviceChange::dc_RemoveComplete) InterfacePorts.erase(Path);
    // A device without a port name (or gone before it was named) is left to the re-scan.
    if (!Name.empty()) this->Notice(Kind, Name);
  }

  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) {
    auto* Self = reinterpret_cast<tImpl*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
    if (Message == WM_DEVICECHANGE && Self &&
        (W == DBT_DEVICEARRIVAL || W == DBT_DEVICEREMOVECOMPLETE)) {
      const auto* Header = reinterpret_cast<const DEV_BROADCAST_HDR*>(L);
      const auto Kind =
          W == DBT_DEVICEARRIVAL ? tDeviceChange::dc_Arrival : tDeviceChange::dc_RemoveComplete;
      if (Header && Header->dbch_devicetype == DBT_DEVTYP_PORT)
        Self->Notice(Kind, reinterpret_cast<const DEV_BROADCAST_PORT_W*>(Header)->dbcp_name);
      else if (Header && Header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
        Self->InterfaceNotice(Kind,
                              *reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(Header));
      return TRUE;
    }
    if (Message == WM_CLOSE) {
      ::DestroyWindow(Window);
      return 0;
    }
    if (Message == WM_DESTROY) {
      if (Self && Self->Registration) {
        ::UnregisterDeviceNotification(Self->Registration);
        Self->Registration = nullptr;
      }
      ::PostQuitMessage(0);
      return 0;
    }
    return ::DefWindowProcW(Window, Message, W, L);
  }

  void Run(std::promise<HWND>& Made) {
    WNDCLASSEXW Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = WindowProc;
    Class.hInstance = ::GetModuleHandleW(nullptr);
    Class.lpszClassName = WindowClass;
    // A second notifier finds the class registered already.
    ::RegisterClassExW(&Class);
    // Top-level (no parent, not HWND_MESSAGE) and never shown.
    HWND Made_ = ::CreateWindowExW(0, WindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                   Class.hInstance, nullptr);
    if (Made_) {
      ::SetWindowLongPtrW(Made_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      DEV_BROADCAST_DEVICEINTERFACE_W Filter{};
      Filter.dbcc_size = sizeof Filter;
      Filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      Filter.dbcc_classguid = ComPortInterface;
      Registration = ::RegisterDeviceNotificationW(Made_, &Filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    Made.set_value(Made_);
    if (!Made_) return;
    MSG Message;
    while (::GetMessageW(&Message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&Message);
      ::DispatchMessageW(&Message);
    }
  }
};

tDeviceNotifier::tDeviceNotifier(const std::string&, tKernelNameMap)
    : Impl(std::make_unique<tImpl>()) {
  std::promise<HWND> Made;
  std::future<HWND> Window = Made.get_future();
  Impl->Thread = std::thread([this, &Made] { Impl->Run(Made); });
  Impl->Window = Window.get();
}

tDeviceNotifier::~tDeviceNotifier() {
  if (Impl->Window) ::PostMessageW(Impl->Window, WM_CLOSE, 0, 0);
  Impl->Thread.join();
}

std::vector<int> tDeviceNotifier::FileDescriptors() const {
  return {};
}

void tDeviceNotifier::SetOnPending(std::function<void()> OnPending) {
  std::lock_guard<std::mutex> Guard(Impl->Lock);
  Impl->OnPending = std::move(OnPending);
}

std::vector<tDeviceChange> tDeviceNotifier::ReadChanges() {
  std::lock_guard<std::mutex> Guard(Impl->Lock);
  std::vector<tDeviceChange> Changes;
  Changes.swap(Impl->Pending);
  return Changes;
}

bool tDeviceNotifier::WatchingKernelDevices() const {
  return Impl->Window != nullptr;
}

std::string tDeviceNotifier::Sources() const {
  if (!Impl->Window) return "";
  // Set on the window's thread before the window was handed over.
  return Impl->Registration ? "port broadcasts, COM-port interface notices"
                            : "port broadcasts (the COM-port interface registration failed)";
}
