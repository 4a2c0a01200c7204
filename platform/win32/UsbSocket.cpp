// The virtual USB bus's wire on Windows: message-mode named pipes. Windows (and Wine) has no
// Unix-domain sockets, and named pipes live in their own name space, not in a folder: so a
// device also leaves a marker file at its endpoint path in the virtual USB folder, holding its
// pipe's name. Devices are listed by those files (never by enumerating pipes, which would
// show every program's pipes); a marker whose pipe no longer answers is stale.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "platform/UsbSocket.h"
#include "platform/win32/WideText.h"

namespace usbsock {
namespace {

constexpr DWORD MaxClients = 60;  // WaitForMultipleObjects watches at most 64 handles

HANDLE AsHandle(intptr_t aWire) {
  return reinterpret_cast<HANDLE>(aWire);
}

intptr_t AsWire(HANDLE aHandle) {
  return reinterpret_cast<intptr_t>(aHandle);
}

int ResultOf(DWORD aError) {
  switch (aError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA:
    case ERROR_PIPE_BUSY:
      return sr_Gone;
    case ERROR_ACCESS_DENIED:
      return sr_Access;
    default:
      return sr_Error;
  }
}

// The pipe name a marker file holds; false with the system's code when it cannot be read.
bool ReadMarker(const std::string& aPath, std::wstring& aPipe, DWORD& aError) {
  const HANDLE File = ::CreateFileW(tWideText::FromUtf8(aPath).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    aError = ::GetLastError();
    return false;
  }
  char Text[256];
  DWORD Got = 0;
  const bool Read = ::ReadFile(File, Text, sizeof Text, &Got, nullptr);
  aError = Read ? 0 : ::GetLastError();
  ::CloseHandle(File);
  const std::string Name(Text, Read ? Got : 0);
  if (!Read || Name.rfind("\\\\.\\pipe\\", 0) != 0) {
    if (!aError) aError = ERROR_FILE_NOT_FOUND;  // not a device's marker
    return false;
  }
  aPipe = tWideText::FromUtf8(Name);
  return true;
}

// Waits up to aTimeoutMs for an overlapped operation on aHandle; its byte count, or a
// tSockResult (the operation is cancelled on a time-out).
int Finish(HANDLE aHandle, OVERLAPPED& aOverlapped, bool aStarted, DWORD aTimeoutMs, int& aErrno) {
  if (!aStarted && ::GetLastError() != ERROR_IO_PENDING) {
    aErrno = static_cast<int>(::GetLastError());
    return aErrno == ERROR_MORE_DATA ? sr_Error : ResultOf(aErrno);
  }
  if (::WaitForSingleObject(aOverlapped.hEvent, aTimeoutMs) != WAIT_OBJECT_0) {
    ::CancelIoEx(aHandle, &aOverlapped);
    DWORD Ignored;
    ::GetOverlappedResult(aHandle, &aOverlapped, &Ignored, TRUE);
    return sr_Timeout;
  }
  DWORD Bytes = 0;
  if (!::GetOverlappedResult(aHandle, &aOverlapped, &Bytes, FALSE)) {
    aErrno = static_cast<int>(::GetLastError());
    return aErrno == ERROR_MORE_DATA ? sr_Error : ResultOf(aErrno);
  }
  return static_cast<int>(Bytes);
}

HANDLE MakePipe(const std::wstring& aName) {
  return ::CreateNamedPipeW(
      aName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, MaxPacket, MaxPacket, 0, nullptr);
}

// One pipe instance of the device side, with its pending connect or read.
struct tInstance {
  HANDLE Pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED Overlapped{};
  bool Connected = false;  // a host came before the wait for one began
  bool Pending = false;    // an operation on Overlapped has not been collected yet
  std::vector<uint8_t> Buffer = std::vector<uint8_t>(MaxPacket);

  ~tInstance() {
    if (Pipe != INVALID_HANDLE_VALUE) {
      ::CancelIoEx(Pipe, nullptr);
      // Closing the pipe ends whatever is still pending on it (a cancelled wait for a host
      // does not always end by itself); the system then writes its result into Overlapped,
      // so that must outlive it.
      ::CloseHandle(Pipe);
    }
    if (Overlapped.hEvent) {
      if (Pending) ::WaitForSingleObject(Overlapped.hEvent, INFINITE);
      ::CloseHandle(Overlapped.hEvent);
    }
  }
  // Takes the pipe instance Pipe (or makes one named aName) and waits for a host on it;
  // false when that fails.
  bool Listen(HANDLE aPipe, const std::wstring& aName) {
    Pipe = aPipe != INVALID_HANDLE_VALUE ? aPipe : MakePipe(aName);
    Overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (Pipe == INVALID_HANDLE_VALUE || !Overlapped.hEvent) return false;
    if (::ConnectNamedPipe(Pipe, &Overlapped)) return Pending = true;
    switch (::GetLastError()) {
      case ERROR_IO_PENDING:
        return Pending = true;
      case ERROR_PIPE_CONNECTED:  // a host came before the call: no operation is pending
        Connected = true;
        ::SetEvent(Overlapped.hEvent);
        return true;
      default:
        return false;
    }
  }
  // Starts reading the next request; false when the host has gone.
  bool Read() {
    ::ResetEvent(Overlapped.hEvent);
    if (::ReadFile(Pipe, Buffer.data(), static_cast<DWORD>(Buffer.size()), nullptr, &Overlapped))
      return Pending = true;  // completed at once: the event is set
    const DWORD Error = ::GetLastError();
    Pending = Error == ERROR_IO_PENDING || Error == ERROR_MORE_DATA;
    return Pending;
  }
};

std::wstring NewPipeName() {
  static std::atomic<unsigned> Count{0};
  const auto Now = std::chrono::steady_clock::now().time_since_epoch().count();
  return L"\\\\.\\pipe\\caddis-usb-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(++Count) + L"-" + std::to_wstring(Now);
}

}  // namespace

std::vector<std::string> ListEndpoints(const std::string& aFolder) {
  std::vector<std::string> Paths;
  WIN32_FIND_DATAW Entry;
  const HANDLE Find = ::FindFirstFileW(tWideText::FromUtf8(aFolder + "/*").c_str(), &Entry);
  if (Find == INVALID_HANDLE_VALUE) return Paths;
  do {
    if (Entry.cFileName[0] == L'.') continue;
    if (Entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    Paths.push_back(aFolder + "/" + tWideText::ToUtf8(Entry.cFileName));
  } while (::FindNextFileW(Find, &Entry));
  ::FindClose(Find);
  std::sort(Paths.begin(), Paths.end());
  return Paths;
}

tPacketClient::~tPacketClient() {
  if (fWire != -1) ::CloseHandle(AsHandle(fWire));
}

std::unique_ptr<tPacketClient> tPacketClient::Connect(const std::string& aPath, int* aResult) {
  std::wstring Pipe;
  DWORD Error = 0;
  if (!ReadMarker(aPath, Pipe, Error)) {
    if (aResult) *aResult = ResultOf(Error);
    return nullptr;
  }
  HANDLE Handle = INVALID_HANDLE_VALUE;
  for (int Try = 0; Try < 2; ++Try) {
    Handle = ::CreateFileW(Pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (Handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_PIPE_BUSY) break;
    ::WaitNamedPipeW(Pipe.c_str(), 2000);  // every instance taken: the device makes another
  }
  if (Handle == INVALID_HANDLE_VALUE) {
    if (aResult) *aResult = ResultOf(::GetLastError());
    return nullptr;
  }
  DWORD Mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(Handle, &Mode, nullptr, nullptr)) {
    ::CloseHandle(Handle);
    if (aResult) *aResult = sr_Error;
    return nullptr;
  }
  if (aResult) *aResult = 0;
  return std::unique_ptr<tPacketClient>(new tPacketClient(AsWire(Handle)));
}

int tPacketClient::Exchange(std::span<const uint8_t> aRequest, std::vector<uint8_t>& aReply,
                            unsigned aTimeoutMs) {
  aReply.clear();
  if (fWire == -1) return sr_Gone;
  const HANDLE Pipe = AsHandle(fWire);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  auto Left = [&] {
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        Deadline - std::chrono::steady_clock::now())
                        .count();
    return static_cast<DWORD>(std::max<decltype(Ms)>(Ms, 0));
  };
  OVERLAPPED Overlapped{};
  Overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!Overlapped.hEvent) return sr_Error;
  int R = Finish(
      Pipe, Overlapped,
      ::WriteFile(Pipe, aRequest.data(), static_cast<DWORD>(aRequest.size()), nullptr, &Overlapped),
      Left(), fErrno);
  if (R >= 0) {
    aReply.resize(MaxPacket);
    ::ResetEvent(Overlapped.hEvent);
    R = Finish(
        Pipe, Overlapped,
        ::ReadFile(Pipe, aReply.data(), static_cast<DWORD>(aReply.size()), nullptr, &Overlapped),
        Left(), fErrno);
    aReply.resize(R > 0 ? static_cast<size_t>(R) : 0);
    if (R == 0) R = sr_Gone;  // no reply is ever empty
  }
  ::CloseHandle(Overlapped.hEvent);
  return R;
}

bool tPacketServer::Open(const std::string& aPath, std::string* aError) {
  auto Failed = [&](const std::string& aWhy) {
    if (aError) *aError = aWhy;
    return false;
  };
  const std::wstring Pipe = NewPipeName();
  // The first pipe instance exists before the marker names it, so a host never finds a
  // marker without its pipe; the thread then waits for hosts on it.
  const HANDLE First = MakePipe(Pipe);
  if (First == INVALID_HANDLE_VALUE)
    return Failed("cannot create the pipe for " + aPath + " (error " +
                  std::to_string(::GetLastError()) + ")");
  fListen = AsWire(First);
  const HANDLE Marker = ::CreateFileW(tWideText::FromUtf8(aPath).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (Marker == INVALID_HANDLE_VALUE)
    return Failed("cannot create " + aPath + " (error " + std::to_string(::GetLastError()) + ")");
  fPath = aPath;
  const std::string Name = tWideText::ToUtf8(Pipe);
  DWORD Written = 0;
  const bool Wrote =
      ::WriteFile(Marker, Name.data(), static_cast<DWORD>(Name.size()), &Written, nullptr) &&
      Written == Name.size();
  ::CloseHandle(Marker);
  if (!Wrote) return Failed("cannot write " + aPath);
  const HANDLE Wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!Wake) return Failed("cannot create an event");
  fWake = AsWire(Wake);
  return true;
}

void tPacketServer::CloseAll() {
  if (fListen != -1) ::CloseHandle(AsHandle(fListen));  // not yet taken by the thread
  fListen = -1;
  if (!fPath.empty()) ::DeleteFileW(tWideText::FromUtf8(fPath).c_str());
  fPath.clear();
  if (fWake != -1) ::CloseHandle(AsHandle(fWake));
  fWake = -1;
}

void tPacketServer::Stop() {
  fStopping = true;
  if (fThread.joinable()) {
    if (fThread.get_id() == std::this_thread::get_id()) return;  // Run() ends by itself
    if (fWake != -1) ::SetEvent(AsHandle(fWake));
    fThread.join();
  }
  std::lock_guard<std::mutex> Lock(fStopLock);
  CloseAll();
  fRunning = false;
}

void tPacketServer::Run() {
  std::wstring Pipe;
  DWORD Error = 0;
  ReadMarker(fPath, Pipe, Error);
  // The instance waiting for the next host, and the hosts connected, each with a read pending.
  auto Waiting = std::make_unique<tInstance>();
  bool Listening = Waiting->Listen(AsHandle(fListen), Pipe);
  fListen = -1;  // the instance owns it now
  std::vector<std::unique_ptr<tInstance>> Hosts;
  bool Vanish = false;
  while (!fStopping && !Vanish) {
    std::vector<HANDLE> Events{AsHandle(fWake)};
    if (Listening) Events.push_back(Waiting->Overlapped.hEvent);
    for (const auto& Host : Hosts)
      Events.push_back(Host->Overlapped.hEvent);
    const DWORD Which =
        ::WaitForMultipleObjects(static_cast<DWORD>(Events.size()), Events.data(), FALSE, 500);
    if (Which == WAIT_TIMEOUT || Which == WAIT_OBJECT_0) continue;
    if (Which >= WAIT_OBJECT_0 + Events.size()) break;
    const HANDLE Signalled = Events[Which - WAIT_OBJECT_0];
    if (Listening && Signalled == Waiting->Overlapped.hEvent) {
      DWORD Ignored;
      const bool Came = Waiting->Connected ||
                        ::GetOverlappedResult(Waiting->Pipe, &Waiting->Overlapped, &Ignored, FALSE);
      Waiting->Pending = false;
      if (Came && Hosts.size() < MaxClients) {
        auto Host = std::move(Waiting);
        if (Host->Read()) Hosts.push_back(std::move(Host));
      }
      Waiting = std::make_unique<tInstance>();
      Listening = Waiting->Listen(INVALID_HANDLE_VALUE, Pipe);
      continue;
    }
    const auto Host = std::find_if(Hosts.begin(), Hosts.end(), [&](const auto& H) {
      return H->Overlapped.hEvent == Signalled;
    });
    if (Host == Hosts.end()) continue;
    tInstance& H = **Host;
    DWORD Got = 0;
    const bool Read = ::GetOverlappedResult(H.Pipe, &H.Overlapped, &Got, FALSE);
    H.Pending = false;
    if (!Read || Got == 0) {
      Hosts.erase(Host);  // gone, or a request longer than any valid one
      continue;
    }
    ++fServed;
    tPacketAction Action = fHandler(std::span<const uint8_t>(H.Buffer.data(), Got));
    bool Keep = true;
    if (Action.SendReply) {
      // The pipe's buffer takes a whole reply: the write completes without the host reading.
      OVERLAPPED Write{};
      Write.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
      int Errno = 0;
      Keep = Write.hEvent &&
             Finish(H.Pipe, Write,
                    ::WriteFile(H.Pipe, Action.Reply.data(),
                                static_cast<DWORD>(Action.Reply.size()), nullptr, &Write),
                    1000, Errno) >= 0;
      if (Write.hEvent) ::CloseHandle(Write.hEvent);
    }
    Vanish = Action.Vanish;
    if (!Keep || !H.Read()) Hosts.erase(Host);  // a host that does not read its replies is dropped
  }
  Hosts.clear();
  Waiting.reset();
  if (Vanish) {
    {
      std::lock_guard<std::mutex> Lock(fStopLock);
      if (!fPath.empty()) ::DeleteFileW(tWideText::FromUtf8(fPath).c_str());
      fPath.clear();
      fRunning = false;
    }
    if (fVanished) fVanished();
  }
}

}  // namespace usbsock
