// One open COM port on Windows: overlapped I/O on "\\.\COMn", watched by the port's I/O thread.
//
// How the I/O thread learns that bytes have arrived:
//   - Normally a serial-event wait (WaitCommEvent for EV_RXCHAR and the other watched events)
//     is kept pending on the device; its completion wakes the thread. Bytes that arrived
//     before the wait started raise no event, so the driver's input count (ClearCommError) is
//     looked at first and a port with bytes waiting is readable at once.
//   - Some serial drivers cannot wait for serial events: Wine's, over a pseudo-terminal,
//     cancels every pending event wait itself (it cannot read the modem lines there) or
//     completes it at once with no event bits, and would make the thread spin. A pending
//     one-byte read is no way out there either: measured, it completes with no byte, or never
//     although bytes have arrived. On such a driver the thread looks at the driver's input
//     count every PollPeriodMs instead; once seen, the device stays in this mode. A real
//     Windows driver keeps the event wait, so the thread sleeps until something happens.
//   - Reads ask only for what the driver says it holds: with the read time-outs used here
//     (interval MAXDWORD, total 0) a read returns at once on Windows, but pends on a driver
//     that treats them differently; asking for no more than is there is correct on both.
// Any device operation that fails (an unplugged adapter answers ERROR_ACCESS_DENIED,
// ERROR_OPERATION_ABORTED, ERROR_BAD_COMMAND, ...) is a hang-up, except an event wait that the
// driver itself cancelled on a device that still answers (see above).
#include "platform/SerialDevice.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/win32/WideText.h"

namespace {

// EV_RXCHAR, EV_TXEMPTY, EV_BREAK, EV_ERR.
constexpr DWORD WatchedEvents = EV_RXCHAR | EV_TXEMPTY | EV_BREAK | EV_ERR;
constexpr DWORD DriverQueueSize = 256;
// How long closing waits for each cancelled operation to end.
constexpr DWORD CloseWaitMs = 1000;
// Bytes one overlapped write carries at most; the I/O thread offers batches of this size.
constexpr size_t WriteChunk = 4096;
// How often the driver's input count is looked at on a driver that cannot wait for events.
constexpr DWORD PollPeriodMs = SerialPollPeriodMs;
// Event waits that may complete at once with nothing to read before the driver is taken for
// one that cannot wait.
constexpr int ImmediateWaitsAllowed = 4;

tSerialError OpenError(DWORD Code) {
  tSerialError E;
  E.Code = static_cast<int>(Code);
  switch (Code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      E.Kind = tSerialError::se_NotFound;
      break;
    // A COM port another program holds answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      E.Kind = tSerialError::se_Busy;
      break;
    default:
      E.Kind = tSerialError::se_Other;
      break;
  }
  return E;
}

// Failures of an open device's operations: the device is gone.
tSerialError DeviceError(DWORD Code) {
  return {tSerialError::se_HungUp, static_cast<int>(Code)};
}

HANDLE NewEvent(bool Set) {
  return ::CreateEventW(nullptr, TRUE, Set ? TRUE : FALSE, nullptr);
}

}  // namespace

struct tSerialDevice::tImpl {
  HANDLE Com = INVALID_HANDLE_VALUE;
  tSerialError Error;

  // A serial-event wait is pending on WatchEvent.
  bool Watching = false;
  // This driver cannot wait for serial events: its input count is looked at every
  // PollPeriodMs instead (see above); Path says why.
  bool Polling = false;
  tReadPath Path = rp_Events;
  OVERLAPPED WatchOverlap{};
  HANDLE WatchEvent = nullptr;
  DWORD EventMask = 0;

  OVERLAPPED RxOverlap{};
  HANDLE RxEvent = nullptr;

  // The write in progress: the overlapped write owns its own copy of the bytes.
  OVERLAPPED TxOverlap{};
  HANDLE TxEvent = nullptr;
  std::vector<uint8_t> TxCopy;
  bool TxPending = false;

  ~tImpl() {
    for (HANDLE Event : {WatchEvent, RxEvent, TxEvent})
      if (Event != nullptr) ::CloseHandle(Event);
    if (Com != INVALID_HANDLE_VALUE) ::CloseHandle(Com);
  }

  int64_t Fail(DWORD Code) {
    Error = DeviceError(Code);
    return -1;
  }

  // For good: the first reason is the one kept.
  void StartPolling(tReadPath Why) {
    if (Polling) return;
    Polling = true;
    Path = Why;
  }

  // Bytes the driver holds; -1 when the device cannot be asked.
  int64_t DriverInput() {
    DWORD Errors = 0;
    COMSTAT Status{};
    if (!::ClearCommError(Com, &Errors, &Status)) return Fail(::GetLastError());
    return Status.cbInQue;
  }

  // Device flags for the input the driver holds: readable, hung up, or 0.
  unsigned InputFlags() {
    const int64_t Waiting = DriverInput();
    if (Waiting < 0) return tSerialWaiter::de_HungUp;
    return Waiting > 0 ? unsigned{tSerialWaiter::de_Readable} : 0u;
  }

  // Takes the result of the event wait that has ended (Completed as its call or
  // GetOverlappedResult gave it, the error still in GetLastError otherwise).
  unsigned FinishWatch(BOOL Completed) {
    Watching = false;
    if (!Completed) {
      const DWORD Code = ::GetLastError();
      // Only this device's own close cancels its waits; a cancel from the driver itself
      // (Wine) on a device that still answers means it cannot wait for events.
      if (Code != ERROR_OPERATION_ABORTED) {
        Fail(Code);
        return tSerialWaiter::de_HungUp;
      }
      StartPolling(rp_PollAfterCancelledWait);
    } else if (EventMask == 0) {
      StartPolling(rp_PollAfterEmptyWaits);
    }
    // Bytes have arrived: they are read even when the driver's count does not show them yet
    // (a driver that updates it late would otherwise stall the link until the next byte).
    const unsigned Flags = InputFlags();
    if (Completed && (EventMask & EV_RXCHAR) && Flags == 0) return tSerialWaiter::de_Readable;
    return Flags;
  }

  // Before the thread sleeps: device flags when there is input (or a hang-up) already, else
  // 0 with an event wait pending on WatchEvent, or with Polling set.
  unsigned StartWatch() {
    if (Watching) return 0;
    for (int Attempt = 0; Attempt < ImmediateWaitsAllowed && !Polling; ++Attempt) {
      // Bytes that arrived before the wait starts raise no event.
      if (const unsigned Flags = InputFlags()) return Flags;
      WatchOverlap = {};
      WatchOverlap.hEvent = WatchEvent;
      EventMask = 0;
      Watching = true;
      const BOOL Done = ::WaitCommEvent(Com, &EventMask, &WatchOverlap);
      if (!Done && ::GetLastError() == ERROR_IO_PENDING) return 0;
      if (const unsigned Flags = FinishWatch(Done)) return Flags;
    }
    // Event waits that keep ending at once with nothing (a transmitter-empty event, say)
    // would make the thread spin.
    StartPolling(rp_PollAfterEmptyWaits);
    return InputFlags();
  }

  // Ends a pending event wait and waits until it has; false when the driver has not ended it
  // within Limit (its record must then outlive this object).
  bool StopWatch(DWORD Limit = INFINITE) {
    if (!Watching) return true;
    ::CancelIoEx(Com, &WatchOverlap);
    if (!Ended(WatchOverlap, Limit)) return false;
    Watching = false;
    return true;
  }

  bool EndWrite(DWORD Limit = INFINITE) {
    if (!TxPending) return true;
    if (!Ended(TxOverlap, Limit)) return false;
    TxPending = false;
    return true;
  }

  // Waits up to Limit for the operation of Overlap to end.
  bool Ended(OVERLAPPED& Overlap, DWORD Limit) {
    if (Limit != INFINITE && ::WaitForSingleObject(Overlap.hEvent, Limit) != WAIT_OBJECT_0)
      return false;
    DWORD Count = 0;
    ::GetOverlappedResult(Com, &Overlap, &Count, TRUE);
    return true;
  }
};

tSerialDevice::tSerialDevice(std::unique_ptr<tImpl> aImpl) : Impl(std::move(aImpl)) {}

std::unique_ptr<tSerialDevice> tSerialDevice::Open(const std::string& Path, int32_t BaudRate,
                                                   bool FlowControl, tSerialError& Error) {
  Error = {};
  if (Path.empty()) {
    Error = OpenError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  auto Impl = std::make_unique<tImpl>();
  // Not shared: a second open of the port, by this or another program, fails.
  Impl->Com =
      ::CreateFileW(tWideText::FromUtf8(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
  if (Impl->Com == INVALID_HANDLE_VALUE) {
    Error = OpenError(::GetLastError());
    return nullptr;
  }
  Impl->WatchEvent = NewEvent(false);
  Impl->RxEvent = NewEvent(false);
  Impl->TxEvent = NewEvent(false);
  if (!Impl->WatchEvent || !Impl->RxEvent || !Impl->TxEvent) {
    Error = {tSerialError::se_Other, static_cast<int>(::GetLastError())};
    return nullptr;
  }
  HANDLE Com = Impl->Com;
  // The results of the settings are ignored: a port that refuses one runs with the driver's.
  ::SetupComm(Com, DriverQueueSize, DriverQueueSize);
  DCB Settings{};
  Settings.DCBlength = sizeof Settings;
  ::GetCommState(Com, &Settings);
  Settings.BaudRate = static_cast<DWORD>(BaudRate);
  // The whole flag word: binary; with flow control CTS output flow and RTS handshake (0x2005),
  // else nothing more (0x0001). DTR control disabled, no DSR, XON/XOFF, parity check, error
  // character, null stripping or abort on error.
  Settings.fBinary = TRUE;
  Settings.fParity = FALSE;
  Settings.fOutxCtsFlow = FlowControl ? TRUE : FALSE;
  Settings.fOutxDsrFlow = FALSE;
  Settings.fDtrControl = DTR_CONTROL_DISABLE;
  Settings.fDsrSensitivity = FALSE;
  Settings.fTXContinueOnXoff = FALSE;
  Settings.fOutX = FALSE;
  Settings.fInX = FALSE;
  Settings.fErrorChar = FALSE;
  Settings.fNull = FALSE;
  Settings.fRtsControl = FlowControl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
  Settings.fAbortOnError = FALSE;
  Settings.fDummy2 = 0;
  Settings.ByteSize = 8;
  Settings.Parity = NOPARITY;
  Settings.StopBits = ONESTOPBIT;
  // Reads return at once with what has arrived; writes have no time limit.
  COMMTIMEOUTS TimeOuts{MAXDWORD, 0, 0, 0, 0};
  ::SetCommTimeouts(Com, &TimeOuts);
  ::SetCommState(Com, &Settings);
  ::SetCommMask(Com, WatchedEvents);
  // A new session starts with none of the bytes a driver kept from before (a
  // pseudo-terminal behind the port keeps what its far end wrote meanwhile).
  ::PurgeComm(Com, PURGE_RXCLEAR);
  std::unique_ptr<tSerialDevice> Device(new tSerialDevice(std::move(Impl)));
  Device->SetLinesAtOpen(FlowControl);
  return Device;
}

tSerialDevice::~tSerialDevice() {
  // No operation may outlive its record or the handle: an event mask of 0 ends the event
  // wait, the cancel ends the rest (they were started by the I/O thread, hence CancelIoEx),
  // and each is waited for.
  ::SetCommMask(Impl->Com, 0);
  ::CancelIoEx(Impl->Com, nullptr);
  // A driver that ignores the cancel must not freeze the close (and with it the window): after
  // CloseWaitMs the handle is closed and the operations' records are left to the driver, never
  // freed, since it may still write into them.
  const bool WatchEnded = Impl->StopWatch(CloseWaitMs);
  const bool WriteEnded = Impl->EndWrite(CloseWaitMs);
  if (!WatchEnded || !WriteEnded) {
    ::CloseHandle(Impl->Com);
    Impl->Com = INVALID_HANDLE_VALUE;
    (void)Impl.release();
  }
}

const tSerialError& tSerialDevice::LastError() const {
  return Impl->Error;
}

tReadPath tSerialDevice::ReadPath() const {
  return Impl->Path;
}

bool tSerialDevice::IsPseudoTerminal() const {
  return false;
}

int64_t tSerialDevice::Read(void* Buffer, size_t Count) {
  if (Count == 0) return 0;
  const int64_t Waiting = Impl->DriverInput();
  if (Waiting < 0) return -1;
  // What the driver counts, or, when it counts nothing (an arrival event can come before the
  // count), as much as fits: the time-outs make the read return at once with what is there.
  const DWORD Want = static_cast<DWORD>(
      std::min<uint64_t>(Waiting > 0 ? static_cast<uint64_t>(Waiting) : Count, Count));
  Impl->RxOverlap = {};
  Impl->RxOverlap.hEvent = Impl->RxEvent;
  DWORD N = 0;
  if (!::ReadFile(Impl->Com, Buffer, Want, nullptr, &Impl->RxOverlap) &&
      ::GetLastError() != ERROR_IO_PENDING)
    return Impl->Fail(::GetLastError());
  if (!::GetOverlappedResult(Impl->Com, &Impl->RxOverlap, &N, TRUE))
    return Impl->Fail(::GetLastError());
  return static_cast<int64_t>(N);
}

int64_t tSerialDevice::Write(const void* Buffer, size_t Count) {
  tImpl& D = *Impl;
  if (D.TxPending) {
    // The caller offers the same bytes again; the finished write says how many of them went.
    DWORD N = 0;
    if (!::GetOverlappedResult(D.Com, &D.TxOverlap, &N, FALSE)) {
      const DWORD Code = ::GetLastError();
      if (Code == ERROR_IO_INCOMPLETE) return 0;
      D.TxPending = false;
      return D.Fail(Code);
    }
    D.TxPending = false;
    return N;
  }
  if (Count == 0) return 0;
  const size_t Chunk = std::min(Count, WriteChunk);
  const auto* Bytes = static_cast<const uint8_t*>(Buffer);
  D.TxCopy.assign(Bytes, Bytes + Chunk);
  D.TxOverlap = {};
  D.TxOverlap.hEvent = D.TxEvent;
  if (!::WriteFile(D.Com, D.TxCopy.data(), static_cast<DWORD>(Chunk), nullptr, &D.TxOverlap)) {
    const DWORD Code = ::GetLastError();
    if (Code != ERROR_IO_PENDING) return D.Fail(Code);
    D.TxPending = true;
    return 0;
  }
  DWORD N = 0;
  if (!::GetOverlappedResult(D.Com, &D.TxOverlap, &N, FALSE)) return D.Fail(::GetLastError());
  return N;
}

int tSerialDevice::BytesWaiting() {
  const int64_t Waiting = Impl->DriverInput();
  return static_cast<int>(std::max<int64_t>(Waiting, 0));
}

void tSerialDevice::FlushOutput() {
  ::PurgeComm(Impl->Com, PURGE_TXABORT | PURGE_TXCLEAR);
  // The aborted write ends; what it carried is dropped on purpose.
  Impl->EndWrite();
}

void tSerialDevice::ClearLineErrors() {
  DWORD Errors = 0;
  ::ClearCommError(Impl->Com, &Errors, nullptr);
}

bool tSerialDevice::SetDTR(bool On) {
  return ::EscapeCommFunction(Impl->Com, On ? SETDTR : CLRDTR) != FALSE;
}

bool tSerialDevice::SetRTS(bool On) {
  return ::EscapeCommFunction(Impl->Com, On ? SETRTS : CLRRTS) != FALSE;
}

bool tSerialDevice::ClearBreak() {
  return ::EscapeCommFunction(Impl->Com, CLRBREAK) != FALSE;
}

void tSerialDevice::SetLinesAtOpen(bool FlowControl) {
  if (!FlowControl) SetRTS(false);
  SetDTR(false);
  ClearBreak();
}

// ---------------------------------------------------------------------------------------

struct tSerialWaiter::tImpl {
  HANDLE Wake = nullptr;   // manual reset, created set
  HANDLE Close = nullptr;  // manual reset, created clear
  ~tImpl() {
    if (Wake != nullptr) ::CloseHandle(Wake);
    if (Close != nullptr) ::CloseHandle(Close);
  }
};

tSerialWaiter::tSerialWaiter(std::unique_ptr<tImpl> aImpl) : Impl(std::move(aImpl)) {}

std::unique_ptr<tSerialWaiter> tSerialWaiter::Create(tSerialError& Error) {
  Error = {};
  auto Impl = std::make_unique<tImpl>();
  Impl->Wake = NewEvent(true);
  Impl->Close = NewEvent(false);
  if (Impl->Wake == nullptr || Impl->Close == nullptr) {
    Error = {tSerialError::se_Other, static_cast<int>(::GetLastError())};
    return nullptr;
  }
  return std::unique_ptr<tSerialWaiter>(new tSerialWaiter(std::move(Impl)));
}

tSerialWaiter::~tSerialWaiter() = default;

bool tSerialWaiter::SetWake(tSerialError& Error) {
  if (::SetEvent(Impl->Wake)) return true;
  Error = {tSerialError::se_Other, static_cast<int>(::GetLastError())};
  return false;
}

void tSerialWaiter::SetClose() {
  ::SetEvent(Impl->Close);
}

tSerialWaiter::tWaitResult tSerialWaiter::Wait(tSerialDevice* Device, bool WantOutput) {
  tWaitResult Result;
  HANDLE Handles[4] = {Impl->Close, Impl->Wake};
  DWORD Count = 2;
  unsigned Ready = 0;
  DWORD TimeOut = INFINITE;
  tSerialDevice::tImpl* D = Device ? Device->Impl.get() : nullptr;
  if (D) {
    if (WantOutput) {
      if (D->TxPending)
        Handles[Count++] = D->TxEvent;
      else
        Ready |= de_Writable;
    }
    Ready |= D->StartWatch();
    if (D->Watching) Handles[Count++] = D->WatchEvent;
    if (D->Polling) TimeOut = PollPeriodMs;
  }
  const DWORD Waited = ::WaitForMultipleObjects(Count, Handles, FALSE, Ready ? 0 : TimeOut);
  if (Waited == WAIT_FAILED) {
    Result.Error = {tSerialError::se_Other, static_cast<int>(::GetLastError())};
    return Result;
  }
  // Every event is looked at, not only the first one set: when both are set, close counts,
  // and a wake-up is never lost behind device news.
  Result.Closed = ::WaitForSingleObject(Impl->Close, 0) == WAIT_OBJECT_0;
  if (::WaitForSingleObject(Impl->Wake, 0) == WAIT_OBJECT_0) {
    ::ResetEvent(Impl->Wake);
    Result.Woken = true;
  }
  if (D) {
    if (D->TxPending && ::WaitForSingleObject(D->TxEvent, 0) == WAIT_OBJECT_0) Ready |= de_Writable;
    if (D->Watching && ::WaitForSingleObject(D->WatchEvent, 0) == WAIT_OBJECT_0) {
      DWORD N = 0;
      Ready |= D->FinishWatch(::GetOverlappedResult(D->Com, &D->WatchOverlap, &N, FALSE));
    } else if (D->Polling && !(Ready & de_Readable)) {
      Ready |= D->InputFlags();
    }
  }
  Result.Device = Ready;
  return Result;
}

bool tSerialWaiter::PauseUnlessClosed(int Milliseconds) {
  return ::WaitForSingleObject(Impl->Close, static_cast<DWORD>(std::max(Milliseconds, 0))) !=
         WAIT_OBJECT_0;
}

void LowerCurrentThreadPriority() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}
