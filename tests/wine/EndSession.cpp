// Plays the system ending the user's session for a program under test: finds its session
// window (class "CaddisSessionEnd"), asks it whether the session may end until it refuses (an
// update holds it off), says what it answered and the reason it gives, then tells it that the
// session ends. Every wait is bounded.
//   caddis-test-end-session
// Prints "held", the reason where the system keeps one, then "ended"; exits 1 when the window
// never appears or never refuses.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HWND FindSessionWindow() {
  for (int i = 0; i < 600; ++i) {
    if (HWND Window = ::FindWindowW(L"CaddisSessionEnd", nullptr)) return Window;
    ::Sleep(50);
  }
  return nullptr;
}

}  // namespace

int main() {
  const HWND Window = FindSessionWindow();
  if (!Window) {
    std::printf("no session window\n");
    return 1;
  }
  bool Held = false;
  for (int i = 0; i < 600 && !Held; ++i) {
    DWORD_PTR Answer = TRUE;
    if (::SendMessageTimeoutW(Window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 2000, &Answer))
      Held = Answer == FALSE;
    if (!Held) ::Sleep(50);
  }
  if (!Held) {
    std::printf("never held\n");
    return 1;
  }
  std::printf("held\n");
  wchar_t Reason[512] = {};
  DWORD Length = 512;
  // Wine has no ShutdownBlockReasonQuery (calling it ends the program).
  const HMODULE NtDll = ::GetModuleHandleW(L"ntdll.dll");
  const bool Wine = NtDll && ::GetProcAddress(NtDll, "wine_get_version");
  if (!Wine && ::ShutdownBlockReasonQuery(Window, Reason, &Length) && Reason[0] != 0) {
    char Text[1024] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, Reason, -1, Text, sizeof Text, nullptr, nullptr);
    std::printf("reason: %s\n", Text);
  }
  std::fflush(stdout);
  // The user ends the session anyway; the program is told and ended.
  ::SendMessageTimeoutW(Window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, nullptr);
  std::printf("ended\n");
  return 0;
}
