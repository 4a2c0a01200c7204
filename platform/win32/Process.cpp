#include "platform/Process.h"

#include <windows.h>
// After windows.h:
#include "platform/Files.h"
#include "platform/win32/StopEvent.h"
#include "platform/win32/WideText.h"

namespace {

// One argument as the C runtime's command-line splitter reads it back: quoted when it has a
// space, a tab or a quote, with backslashes doubled before a quote.
std::wstring Quoted(const std::wstring& Word) {
  if (!Word.empty() && Word.find_first_of(L" \t\"") == std::wstring::npos) return Word;
  std::wstring Out = L"\"";
  std::size_t Backslashes = 0;
  for (wchar_t C : Word) {
    if (C == L'\\') {
      ++Backslashes;
      continue;
    }
    Out.append(C == L'"' ? Backslashes * 2 + 1 : Backslashes, L'\\');
    Backslashes = 0;
    Out += C;
  }
  Out.append(Backslashes * 2, L'\\');
  return Out + L"\"";
}

class tWin32Child : public tChildProcess {
 public:
  tWin32Child(PROCESS_INFORMATION Info, HANDLE Output, HANDLE Error)
      : fInfo(Info), fPipes{Output, Error} {}
  ~tWin32Child() override {
    Wait();
    for (HANDLE Pipe : fPipes)
      CloseHandle(Pipe);
    if (fStopEvent) CloseHandle(fStopEvent);
    CloseHandle(fInfo.hThread);
    CloseHandle(fInfo.hProcess);
  }

  long ReadOutput(tStream Stream, char* Buffer, std::size_t Size) override {
    DWORD Got = 0;
    const DWORD Want = Size > 65536 ? 65536 : static_cast<DWORD>(Size);
    if (ReadFile(fPipes[Stream], Buffer, Want, &Got, nullptr)) return static_cast<long>(Got);
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }

  void Stop(tStop How) override {
    // The child has a console process group of its own, so Ctrl-Break reaches it alone when
    // it shares this program's console; its stop handler takes Ctrl-Break as the operator's
    // interrupt. Without a shared console only the named event reaches it (StopEvent.h); it
    // is made here if the child has not made it yet, and kept until the child has ended. A
    // termination request has no console event of its own for another process: it gets the
    // same.
    (void)How;
    if (fWaited) return;
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, fInfo.dwProcessId);
    if (!fStopEvent)
      fStopEvent = CreateEventW(nullptr, TRUE, FALSE, tStopEvent::Name(fInfo.dwProcessId).c_str());
    if (fStopEvent) SetEvent(fStopEvent);
  }

  int Wait() override {
    if (fWaited) return fStatus;
    WaitForSingleObject(fInfo.hProcess, INFINITE);
    DWORD Code = 0;
    fStatus = GetExitCodeProcess(fInfo.hProcess, &Code) ? static_cast<int>(Code) : -1;
    fWaited = true;
    return fStatus;
  }

  unsigned long Id() const override { return fInfo.dwProcessId; }

 private:
  PROCESS_INFORMATION fInfo;
  HANDLE fPipes[2];
  HANDLE fStopEvent = nullptr;
  bool fWaited = false;
  int fStatus = -1;
};

std::string LastErrorText() {
  return tFiles::SystemErrorText(static_cast<int>(GetLastError()));
}

}  // namespace

std::unique_ptr<tChildProcess> tChildProcess::Start(const std::vector<std::string>& Argv,
                                                    std::string& Error) {
  if (Argv.empty()) {
    Error = "cannot start a program without a name";
    return nullptr;
  }
  SECURITY_ATTRIBUTES Inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE Read[2] = {nullptr, nullptr}, Write[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    if (!CreatePipe(&Read[i], &Write[i], &Inherit, 0)) {
      Error = "cannot start " + Argv[0] + ": " + LastErrorText();
      for (int j = 0; j < i; ++j) {
        CloseHandle(Read[j]);
        CloseHandle(Write[j]);
      }
      return nullptr;
    }
    // Only the child's ends are inherited.
    SetHandleInformation(Read[i], HANDLE_FLAG_INHERIT, 0);
  }
  std::wstring CommandLine;
  for (const std::string& Word : Argv)
    CommandLine += (CommandLine.empty() ? L"" : L" ") + Quoted(tWideText::FromUtf8(Word));
  STARTUPINFOW Startup{};
  Startup.cb = sizeof Startup;
  Startup.dwFlags = STARTF_USESTDHANDLES;
  Startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  Startup.hStdOutput = Write[0];
  Startup.hStdError = Write[1];
  PROCESS_INFORMATION Info{};
  const std::wstring Program = tWideText::FromUtf8(Argv[0]);
  const BOOL Started = CreateProcessW(Program.c_str(), CommandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                                      nullptr, nullptr, &Startup, &Info);
  const std::string Why = Started ? std::string() : LastErrorText();
  CloseHandle(Write[0]);
  CloseHandle(Write[1]);
  if (!Started) {
    CloseHandle(Read[0]);
    CloseHandle(Read[1]);
    Error = "cannot start " + Argv[0] + ": " + Why;
    return nullptr;
  }
  return std::make_unique<tWin32Child>(Info, Read[0], Read[1]);
}

tFileLock::tFileLock(std::string Path) : fPath(std::move(Path)) {}

tFileLock::~tFileLock() {
  Release();
}

bool tFileLock::TryTake(std::string& Error) {
  if (Held()) return true;
  const HANDLE File = CreateFileW(tWideText::FromUtf8(fPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    Error = "cannot open " + fPath + ": " + LastErrorText();
    return false;
  }
  OVERLAPPED Whole{};
  if (!LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &Whole)) {
    const DWORD Code = GetLastError();
    CloseHandle(File);
    if (Code != ERROR_LOCK_VIOLATION)
      Error = "cannot lock " + fPath + ": " + tFiles::SystemErrorText(static_cast<int>(Code));
    return false;
  }
  fHandle = reinterpret_cast<std::intptr_t>(File);
  return true;
}

void tFileLock::Release() {
  if (!Held()) return;
  const HANDLE File = reinterpret_cast<HANDLE>(fHandle);
  OVERLAPPED Whole{};
  UnlockFileEx(File, 0, 1, 0, &Whole);
  CloseHandle(File);
  fHandle = Closed;
}
