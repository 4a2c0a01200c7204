// The session's end on Windows, through a hidden top-level window on a thread of its own (a
// message-only window is not asked). The hold reason is set and cleared on the window's thread,
// as ShutdownBlockReasonCreate requires.
#include "platform/SessionEnd.h"

#include <windows.h>

#include <future>
#include <mutex>
#include <thread>

#include "platform/win32/WideText.h"

namespace {

const wchar_t* const WindowClass = L"CaddisSessionEnd";
// Posted to the window when the hold reason has changed.
constexpr UINT HoldChanged = WM_APP + 1;

}  // namespace

struct tSessionEndWatch::tImpl {
  std::function<void()> OnEnd;
  std::mutex Lock;
  std::wstring Reason;   // under Lock
  bool Holding = false;  // the window's thread only
  HWND Window = nullptr;
  std::thread Thread;

  std::wstring CurrentReason() {
    std::lock_guard<std::mutex> Guard(Lock);
    return Reason;
  }

  void ApplyHold(HWND Window) {
    const std::wstring Now = CurrentReason();
    if (Now.empty()) {
      if (Holding) ::ShutdownBlockReasonDestroy(Window);
      Holding = false;
    } else {
      Holding = ::ShutdownBlockReasonCreate(Window, Now.c_str()) != 0 || Holding;
    }
  }

  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) {
    auto* Self = reinterpret_cast<tImpl*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
    switch (Message) {
      case WM_QUERYENDSESSION:
        // Refused while an update runs: Windows shows the reason and lets the user decide.
        return Self && !Self->CurrentReason().empty() ? FALSE : TRUE;
      case WM_ENDSESSION:
        if (W && Self && Self->OnEnd) Self->OnEnd();
        return 0;
      case HoldChanged:
        if (Self) Self->ApplyHold(Window);
        return 0;
      case WM_CLOSE:
        ::DestroyWindow(Window);
        return 0;
      case WM_DESTROY:
        if (Self && Self->Holding) ::ShutdownBlockReasonDestroy(Window);
        ::PostQuitMessage(0);
        return 0;
      default:
        return ::DefWindowProcW(Window, Message, W, L);
    }
  }

  void Run(std::promise<HWND>& Made) {
    WNDCLASSEXW Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = WindowProc;
    Class.hInstance = ::GetModuleHandleW(nullptr);
    Class.lpszClassName = WindowClass;
    ::RegisterClassExW(&Class);  // a second watch finds it registered
    HWND Made_ = ::CreateWindowExW(0, WindowClass, L"Caddis Updater", WS_OVERLAPPED, 0, 0, 0, 0,
                                   nullptr, nullptr, Class.hInstance, nullptr);
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

tSessionEndWatch::tSessionEndWatch(std::function<void()> OnEnd) : Impl(std::make_unique<tImpl>()) {
  Impl->OnEnd = std::move(OnEnd);
  std::promise<HWND> Made;
  std::future<HWND> Window = Made.get_future();
  Impl->Thread = std::thread([this, &Made] { Impl->Run(Made); });
  Impl->Window = Window.get();
}

tSessionEndWatch::~tSessionEndWatch() {
  if (Impl->Window) ::PostMessageW(Impl->Window, WM_CLOSE, 0, 0);
  Impl->Thread.join();
}

void tSessionEndWatch::Hold(const std::string& Reason) {
  {
    std::lock_guard<std::mutex> Guard(Impl->Lock);
    Impl->Reason = tWideText::FromUtf8(Reason);
  }
  if (Impl->Window) ::PostMessageW(Impl->Window, HoldChanged, 0, 0);
}

bool tSessionEndWatch::Watching() const {
  return Impl->Window != nullptr;
}
