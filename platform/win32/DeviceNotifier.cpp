// Port arrival and removal on Windows: the system broadcasts WM_DEVICECHANGE to every top-level
// window (a message-only window gets no broadcasts), so the notifier owns a hidden top-level
// window with its own thread and message loop. A notice for a port (DBT_DEVTYP_PORT) carries
// its name, "COM5"; it is queued, and OnPending tells the owner.
#include "platform/DeviceNotifier.h"

#include <windows.h>
// After windows.h:
#include <dbt.h>

#include <future>
#include <mutex>
#include <thread>

#include "platform/win32/WideText.h"

namespace {

const wchar_t* const WindowClass = L"CaddisDeviceNotices";
constexpr size_t PortNameLimit = 32;

}  // namespace

struct tDeviceNotifier::tImpl {
  std::mutex Lock;
  std::vector<tDeviceChange> Pending;
  std::function<void()> OnPending;
  HWND Window = nullptr;
  std::thread Thread;

  void Notice(tDeviceChange::tKind Kind, const DEV_BROADCAST_PORT_W& Port) {
    std::wstring Name(Port.dbcp_name);
    if (Name.size() > PortNameLimit) Name.resize(PortNameLimit);
    std::function<void()> Tell;
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Pending.push_back({Kind, tWideText::ToUtf8(Name)});
      Tell = OnPending;
    }
    if (Tell) Tell();
  }

  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) {
    auto* Self = reinterpret_cast<tImpl*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
    if (Message == WM_DEVICECHANGE && Self &&
        (W == DBT_DEVICEARRIVAL || W == DBT_DEVICEREMOVECOMPLETE)) {
      const auto* Header = reinterpret_cast<const DEV_BROADCAST_HDR*>(L);
      if (Header && Header->dbch_devicetype == DBT_DEVTYP_PORT)
        Self->Notice(
            W == DBT_DEVICEARRIVAL ? tDeviceChange::dc_Arrival : tDeviceChange::dc_RemoveComplete,
            *reinterpret_cast<const DEV_BROADCAST_PORT_W*>(Header));
      return TRUE;
    }
    if (Message == WM_CLOSE) {
      ::DestroyWindow(Window);
      return 0;
    }
    if (Message == WM_DESTROY) {
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
    if (Made_) ::SetWindowLongPtrW(Made_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
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
