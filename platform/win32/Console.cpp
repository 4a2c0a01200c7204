#include "platform/Console.h"

#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/win32/StopEvent.h"
#include "platform/win32/WideText.h"

namespace tConsole {
namespace {

std::atomic<void (*)(int)> StopHandler{nullptr};

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD Event) {
  void (*Handler)(int) = StopHandler.load();
  if (!Handler) return FALSE;
  switch (Event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      Handler(cs_Interrupt);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      Handler(cs_Terminate);
      // The system ends the process as soon as this returns: give the command's loop a moment
      // to close its port and release the card first.
      Sleep(2000);
      return TRUE;
    default:
      return FALSE;
  }
}

// Waits on the named stop event (see StopEvent.h) for the program's whole life.
DWORD WINAPI WaitForStopEvent(void* Event) {
  WaitForSingleObject(static_cast<HANDLE>(Event), INFINITE);
  if (void (*Handler)(int) = StopHandler.load()) Handler(cs_Interrupt);
  return 0;
}

void WatchStopEvent() {
  static std::atomic<bool> Watching{false};
  if (Watching.exchange(true)) return;
  // The parent may have made the event already (a stop sent early): then this opens it.
  const HANDLE Event =
      CreateEventW(nullptr, TRUE, FALSE, tStopEvent::Name(GetCurrentProcessId()).c_str());
  if (!Event) return;
  if (const HANDLE Thread = CreateThread(nullptr, 0, WaitForStopEvent, Event, 0, nullptr))
    CloseHandle(Thread);
}

HANDLE Output() {
  return GetStdHandle(STD_OUTPUT_HANDLE);
}

// The console's output code page before UseUtf8Output, given back when the program ends (the
// console outlives it: the shell that started it goes on with its own page).
UINT SavedOutputPage = 0;

void RestoreOutputPage() {
  if (SavedOutputPage != 0) SetConsoleOutputCP(SavedOutputPage);
}

}  // namespace

void InstallStopHandler(void (*aHandler)(int Reason)) {
  // A write to a closed pipe fails with an error on Windows; nothing to switch off.
  StopHandler = aHandler;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  WatchStopEvent();
}

bool OutputIsTerminal() {
  const HANDLE Handle = Output();
  DWORD Mode = 0;
  if (Handle == INVALID_HANDLE_VALUE || !Handle || GetFileType(Handle) != FILE_TYPE_CHAR ||
      !GetConsoleMode(Handle, &Mode))
    return false;  // a file, a pipe, or a character device that is not a console (NUL)
  if (Mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(Handle, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int OutputColumns() {
  CONSOLE_SCREEN_BUFFER_INFO Info;
  if (!GetConsoleScreenBufferInfo(Output(), &Info)) return 0;
  return Info.srWindow.Right - Info.srWindow.Left + 1;
}

int OutputLines() {
  CONSOLE_SCREEN_BUFFER_INFO Info;
  if (!GetConsoleScreenBufferInfo(Output(), &Info)) return 0;
  return Info.srWindow.Bottom - Info.srWindow.Top + 1;
}

std::vector<std::string> Arguments(int argc, char** argv) {
  int Count = 0;
  wchar_t** Wide = CommandLineToArgvW(GetCommandLineW(), &Count);
  if (!Wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> Result;
  for (int i = 0; i < Count; ++i)
    Result.push_back(tWideText::ToUtf8(Wide[i]));
  LocalFree(Wide);
  return Result;
}

void UseUtf8Output() {
  // Output to a file or a pipe is bytes as they are: UTF-8 already.
  const UINT Page = GetConsoleOutputCP();
  if (Page == 0 || Page == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  SavedOutputPage = Page;
  std::atexit(RestoreOutputPage);
}

const char* StopRequestText(tStopReason Reason) {
  return Reason == cs_Interrupt ? "Ctrl-C or Ctrl-Break"
                                : "the console window closed, or the session ended";
}

bool ReadSecretLine(const std::string& Prompt, std::string& Line) {
  HANDLE Input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD Mode = 0;
  const bool Console = ::GetConsoleMode(Input, &Mode) != 0;
  if (Console) {
    std::fputs(Prompt.c_str(), stderr);
    std::fflush(stderr);
    ::SetConsoleMode(Input, Mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  Line.clear();
  int c = 0;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') Line.push_back(static_cast<char>(c));
  if (Console) {
    ::SetConsoleMode(Input, Mode);
    std::fputs("\n", stderr);
  }
  if (!Line.empty() && Line.back() == '\r') Line.pop_back();
  return c != EOF || !Line.empty();
}

}  // namespace tConsole

std::wstring tStopEvent::Name(unsigned long ProcessId) {
  return L"Local\\caddis-stop-" + std::to_wstring(ProcessId);
}
