// One open serial device on a POSIX system: the only code that knows about termios.
//
// The serial port's I/O thread does all reading and writing; tComPort opens and closes the
// device. Every call keeps the errno of a failure in LastError() so callers can explain it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The system calls under the device's reads, writes and modem-line control. Tests replace
// them (before a port is opened, restoring them after it is closed) to inject EINTR, EAGAIN
// and short writes, and to see the modem-line calls that pseudo-terminals refuse.
struct tSerialSysCalls {
  ssize_t (*Read)(int Fd, void* Buffer, size_t Count);
  ssize_t (*Write)(int Fd, const void* Buffer, size_t Count);
  // Only the modem-line and break requests go through here (TIOCMBIS, TIOCMBIC, TIOCCBRK).
  int (*ModemControl)(int Fd, unsigned long Request, int* Lines);
};
tSerialSysCalls& SerialSysCalls();
// Puts back the real read and write.
void ResetSerialSysCalls();

class tSerialDevice {
 public:
  // Opens Path for exclusive use, raw 8N1 at BaudRate, RTS/CTS when FlowControl, reads that
  // return at once, and sets the modem lines (see SetLinesAtOpen). nullptr on failure with
  // Errno set. A setting the driver refuses is ignored: the port then runs with the driver's
  // own setting.
  static std::unique_ptr<tSerialDevice> Open(const std::string& Path, int32_t BaudRate,
                                             bool FlowControl, int& Errno);
  ~tSerialDevice();
  tSerialDevice(const tSerialDevice&) = delete;
  tSerialDevice& operator=(const tSerialDevice&) = delete;

  // The descriptor to watch with poll().
  int Handle() const { return Fd; }

  // Bytes read (> 0); 0 when nothing is waiting; -1 when the device has hung up or failed
  // (LastError() tells which: 0 for end of file, else the errno).
  ssize_t Read(void* Buffer, size_t Count);
  // Bytes the driver took (>= 0, 0 when it can take nothing now); -1 on failure (LastError).
  ssize_t Write(const void* Buffer, size_t Count);
  // Bytes received by the driver and not yet read.
  int BytesWaiting();
  // Discards output handed to the driver but not yet transmitted.
  void FlushOutput();
  // Reads and so clears the driver's line-error counters where it keeps them.
  void ClearLineErrors();
  // Modem lines and break; pseudo-terminals refuse these, so the results are only advisory.
  bool SetDTR(bool On);
  bool SetRTS(bool On);
  bool ClearBreak();
  // The modem lines a freshly opened port is left with, in this order:
  //   1. without flow control, RTS is lowered (TIOCMBIC RTS); with RTS/CTS handshaking it is
  //      left to the driver, since a card that obeys CTS would never send while RTS is held
  //      low by hand;
  //   2. DTR is lowered (TIOCMBIC DTR): the card's line settings keep DTR off;
  //   3. a break condition is cleared (TIOCCBRK).
  // Pseudo-terminals refuse all three (ENOTTY); the results are ignored.
  void SetLinesAtOpen(bool FlowControl);

  int LastError() const { return Error; }

 private:
  explicit tSerialDevice(int aFd) : Fd(aFd) {}
  bool ModemLine(int Line, bool On);

  int Fd;
  int Error = 0;
};

// The I/O thread's sleep: a wake event (created set, so the first turn services the port at
// once) and a close event, waited for together with the device without any time limit.
class tSerialWaiter {
 public:
  // nullptr with Errno set when the events cannot be made.
  static std::unique_ptr<tSerialWaiter> Create(int& Errno);
  ~tSerialWaiter();
  tSerialWaiter(const tSerialWaiter&) = delete;
  tSerialWaiter& operator=(const tSerialWaiter&) = delete;

  // Sets the wake event (any thread); false with the errno on failure.
  bool SetWake(int& Errno);
  // Sets the close event for good (any thread).
  void SetClose();

  enum : unsigned { de_Readable = 1, de_Writable = 2, de_HungUp = 4 };
  struct tWaitResult {
    bool Closed = false;
    bool Woken = false;   // the wake event was set; it is reset now
    unsigned Device = 0;  // de_ flags
    int Error = 0;        // errno when the wait itself failed
  };
  // Sleeps until the close event, the wake event or the device (DeviceFd, unless it is -1:
  // input, and room for output when WantOutput) needs attention. Interrupted waits resume.
  tWaitResult Wait(int DeviceFd, bool WantOutput);
  // Sleeps Milliseconds unless the close event is or becomes set; false when it is set.
  bool PauseUnlessClosed(int Milliseconds);

 private:
  tSerialWaiter(int aWake, int aClose) : WakeEvent(aWake), CloseEvent(aClose) {}
  int WakeEvent;
  int CloseEvent;
};

// Puts the calling thread one step below normal priority (nice +1).
void LowerCurrentThreadPriority();
