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

// The list of handles a child may inherit, as a process attribute; Get() is null when the
// system cannot make one (the child then inherits every inheritable handle, as before).
class tHandleList {
 public:
  explicit tHandleList(const std::vector<HANDLE>& Handles) : fHandles(Handles) {
    SIZE_T Size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &Size);
    fBytes.resize(Size);
    auto* List = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(fBytes.data());
    if (Size == 0 || !InitializeProcThreadAttributeList(List, 1, 0, &Size)) return;
    if (!UpdateProcThreadAttribute(List, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, fHandles.data(),
                                   fHandles.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(List);
      return;
    }
    fList = List;
  }
  ~tHandleList() {
    if (fList) DeleteProcThreadAttributeList(fList);
  }
  tHandleList(const tHandleList&) = delete;
  tHandleList& operator=(const tHandleList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return fList; }

 private:
  std::vector<HANDLE> fHandles;
  std::vector<unsigned char> fBytes;
  LPPROC_THREAD_ATTRIBUTE_LIST fList = nullptr;
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
  STARTUPINFOEXW Startup{};
  Startup.StartupInfo.cb = sizeof Startup;
  Startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  Startup.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  Startup.StartupInfo.hStdOutput = Write[0];
  Startup.StartupInfo.hStdError = Write[1];
  // The child inherits its two pipe ends (and the standard input, where that may be inherited)
  // and nothing else: not the ports, files and pipes of this program or of other children
  // started at the same time, which would stay open as long as it runs.
  std::vector<HANDLE> Handed = {Write[0], Write[1]};
  if (DWORD Flags = 0;
      Startup.StartupInfo.hStdInput && Startup.StartupInfo.hStdInput != INVALID_HANDLE_VALUE &&
      GetHandleInformation(Startup.StartupInfo.hStdInput, &Flags) && (Flags & HANDLE_FLAG_INHERIT))
    Handed.push_back(Startup.StartupInfo.hStdInput);
  tHandleList List(Handed);
  Startup.lpAttributeList = List.Get();
  PROCESS_INFORMATION Info{};
  const std::wstring Program = tWideText::FromUtf8(Argv[0]);
  const DWORD Creation = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
                         (Startup.lpAttributeList ? EXTENDED_STARTUPINFO_PRESENT : 0);
  const BOOL Started = CreateProcessW(Program.c_str(), CommandLine.data(), nullptr, nullptr, TRUE,
                                      Creation, nullptr, nullptr, &Startup.StartupInfo, &Info);
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
