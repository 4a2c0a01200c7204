// One open serial device and the sleep of the port's I/O thread.
//
// Threading contract: tComPort opens and closes the device on the user-interface thread; the
// port's I/O thread alone reads, writes, waits and flushes. The modem-line calls may come
// from the user-interface thread while the I/O thread runs (ToggleDTR).
//
// Every failure keeps the system's own error code (errno, or GetLastError() on Windows) in a
// tSerialError, so a front end can print it as the system words it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

struct tSerialError {
  // What a front end needs to tell the operator; Code says it exactly.
  enum tKind : uint8_t {
    se_None,       // no failure
    se_NotFound,   // no such port
    se_Busy,       // another program has the port
    se_Denied,     // the user may not open it
    se_NotSerial,  // the name leads to something that is not a serial port
    se_HungUp,     // the device went away (unplugged adapter, far end closed)
    se_Other
  };
  tSerialError() = default;
  tSerialError(tKind aKind, int aCode, std::string aHolder = {})
      : Kind(aKind), Code(aCode), Holder(std::move(aHolder)) {}

  tKind Kind = se_None;
  int Code = 0;  // the system's code; 0 for a hang-up seen as the end of the data
  // For se_Busy, where the system tells: the program that has the port, "minicom (pid 812)".
  std::string Holder;

  // The system's text for Code and the code: "Access is denied. (5)"; a hang-up without a
  // code reads "the device hung up". Empty for no failure.
  std::string Text() const;
};

class tSerialWaiter;

// How the I/O thread learns that bytes have arrived. A port starts on the system's arrival
// events; a driver whose event waits cannot be trusted is looked at every SerialPollPeriodMs
// instead, for as long as the port is open.
enum tReadPath : uint8_t {
  rp_Events,                 // the thread sleeps until the driver signals arriving bytes
  rp_PollAfterEmptyWaits,    // polling: event waits kept ending at once with nothing to read
  rp_PollAfterCancelledWait  // polling: the driver itself cancelled an event wait
};
// At the link's 115200 baud 10 ms bring about 115 bytes, far less than a driver holds.
constexpr int SerialPollPeriodMs = 10;

class tSerialDevice {
 public:
  // Opens the device Path names (see the port catalogue) for exclusive use: a device another
  // program has open is refused (se_Busy, naming that program where the system shows it),
  // and later opens by others are refused while it is open. 8 data bits, no
  // parity, one stop bit at BaudRate, RTS/CTS handshake when FlowControl, reads that return
  // at once, and the modem lines of SetLinesAtOpen. nullptr on failure, with Error set
  // (an empty Path is a port that does not exist). A setting the driver refuses is ignored:
  // the port then runs with the driver's own setting.
  static std::unique_ptr<tSerialDevice> Open(const std::string& Path, int32_t BaudRate,
                                             bool FlowControl, tSerialError& Error);
  // Ends every device operation still outstanding before the device is closed.
  ~tSerialDevice();
  tSerialDevice(const tSerialDevice&) = delete;
  tSerialDevice& operator=(const tSerialDevice&) = delete;

  // Bytes read (> 0); 0 when nothing is waiting; -1 when the device has hung up or failed
  // (LastError() tells which).
  int64_t Read(void* Buffer, size_t Count);
  // Bytes the driver took (> 0); 0 when it can take nothing now: the caller offers the same
  // bytes again once the waiter reports the device writable. -1 on failure (LastError).
  // Bytes reported taken are never dropped silently: a device that writes in the background
  // keeps its own copy until the write has finished.
  int64_t Write(const void* Buffer, size_t Count);
  // Bytes received by the driver and not yet read.
  int BytesWaiting();
  // Discards output handed to the driver but not yet transmitted, including a write still
  // in progress.
  void FlushOutput();
  // Reads and so clears the driver's line-error flags or counters; they are not reported.
  void ClearLineErrors();
  // Modem lines and break; pseudo-terminals refuse these, so the results are only advisory.
  bool SetDTR(bool On);
  bool SetRTS(bool On);
  bool ClearBreak();
  // The modem lines a freshly opened port is left with, in this order:
  //   1. without flow control, RTS is lowered; with RTS/CTS handshaking it is left to the
  //      driver, since a card that obeys CTS would never send while RTS is held low by hand;
  //   2. DTR is lowered: the card's line settings keep DTR off;
  //   3. a break condition is cleared.
  // A refusal does not fail the open.
  void SetLinesAtOpen(bool FlowControl);

  const tSerialError& LastError() const;

  // Whether the device is a pseudo-terminal (where the simulated card lives) rather than a
  // real serial port. Never on Windows, which has none.
  bool IsPseudoTerminal() const;

  // How the I/O thread learns of arriving bytes, and why it polls when it does. Called by the
  // I/O thread only; a port that leaves rp_Events never returns to it.
  tReadPath ReadPath() const;

  // The backend's own state (its tests look at the system's settings through it).
  struct tImpl;
  const tImpl& Backend() const { return *Impl; }

 private:
  explicit tSerialDevice(std::unique_ptr<tImpl> aImpl);
  friend class tSerialWaiter;
  std::unique_ptr<tImpl> Impl;
};

// The I/O thread's sleep: a wake event (created set, so the first turn services the port at
// once) and a close event, waited for together with the device without any time limit.
class tSerialWaiter {
 public:
  // nullptr with Error set when the events cannot be made.
  static std::unique_ptr<tSerialWaiter> Create(tSerialError& Error);
  ~tSerialWaiter();
  tSerialWaiter(const tSerialWaiter&) = delete;
  tSerialWaiter& operator=(const tSerialWaiter&) = delete;

  // Sets the wake event (any thread); false with Error set on failure.
  bool SetWake(tSerialError& Error);
  // Sets the close event for good (any thread).
  void SetClose();

  enum : unsigned { de_Readable = 1, de_Writable = 2, de_HungUp = 4 };
  struct tWaitResult {
    bool Closed = false;
    bool Woken = false;   // the wake event was set; it is reset now
    unsigned Device = 0;  // de_ flags
    tSerialError Error;   // set when the wait itself failed
  };
  // Sleeps until the close event, the wake event or Device (unless it is null: input, and
  // room for output when WantOutput) needs attention. Called by the I/O thread only.
  tWaitResult Wait(tSerialDevice* Device, bool WantOutput);
  // Sleeps Milliseconds unless the close event is or becomes set; false when it is set.
  bool PauseUnlessClosed(int Milliseconds);

  struct tImpl;

 private:
  explicit tSerialWaiter(std::unique_ptr<tImpl> aImpl);
  std::unique_ptr<tImpl> Impl;
};

// Puts the calling thread one step below normal priority.
void LowerCurrentThreadPriority();
