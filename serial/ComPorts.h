// The serial port object, its I/O thread, the port list and the serial error texts.
//
// Threading contract:
//   - Every tComPort operation, ListComPorts and ComErrorText run on the user-interface
//     thread.
//   - The port's own I/O thread (tComThread) is the only code that reads or writes the
//     device. It fills InQueue and drains OutQueue; the user-interface thread drains InQueue
//     and fills OutQueue. The queues' own locks are the only locks shared by the two.
//   - The I/O thread's messages reach DisplayMessageProc through tUIThread::RunAndWait;
//     the destructor keeps serving those hand-offs while it waits for the thread to end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialDevice.h"

class tComThread;

// Why a port did not open: what tComPort's constructor throws, with the text
// "Cannot open ComPort " + the number and the error the system gave.
struct tComPortOpenError : std::runtime_error {
  tComPortOpenError(int32_t aCom, tSerialError aError)
      : std::runtime_error("Cannot open ComPort " + std::to_string(aCom)),
        Error(std::move(aError)) {}
  tSerialError Error;
};

class tComPort {
 public:
  // Opens COM port aCom (see the port catalogue) at BaudRate, 8N1, with RTS/CTS when
  // FlowControl, and starts its I/O thread. Throws tComPortOpenError when the device cannot
  // be opened.
  tComPort(int32_t aCom, int32_t BaudRate, bool FlowControl);
  // Closes the port: first the I/O thread hands every byte Send accepted to the driver,
  // waiting at most the wire time of what is queued plus a margin (a port held off by flow
  // control closes within that bound, with a "Tx error" line saying how many bytes stayed
  // behind); then the thread is stopped and waited for and the device closed.
  virtual ~tComPort();
  tComPort(const tComPort&) = delete;
  tComPort& operator=(const tComPort&) = delete;

  // Queues Count bytes for sending; returns how many were queued (0 when there was no room
  // for all of them within about 100 ms).
  virtual int32_t Send(const void* Buffer, int32_t Count);
  // Send of a text's characters.
  virtual int32_t SendString(const std::string& s);
  // Takes up to Count received bytes; returns how many were taken.
  virtual int32_t Receive(void* Buffer, int32_t Count);
  virtual int32_t SendingCount() const;
  virtual int32_t ReceivingCount() const;
  virtual uint8_t SendSpaceUsed() const;
  virtual uint8_t ReceiveSpaceUsed() const;
  // The oldest received byte without removing it; false when nothing is waiting.
  virtual bool PeekNextByte(uint8_t& Data) const;
  virtual void ClearInputQueue();
  // Discards queued bytes and those handed to the driver but not yet transmitted.
  virtual void ClearOutputQueue();
  virtual void ToggleDTR();
  // True once the device has hung up (an unplugged adapter, the far end of a
  // pseudo-terminal closed): nothing sent reaches the card any more.
  virtual bool HungUp() const;
  // True when the port is a pseudo-terminal, where the simulated card lives, rather than a
  // real serial port.
  virtual bool IsPseudoTerminal() const;

  int32_t nCom = 0;

 protected:
  // For test doubles that stand in for a port without opening a device. Defined beside the
  // I/O thread's class: an inline constructor would need that class complete.
  tComPort();

 private:
  // Declared first so it is released last: the thread uses it until it has ended.
  std::unique_ptr<tSerialDevice> Device;
  std::unique_ptr<tComThread> ComThread;
};

// Appends one line per serial port present: the port number, one space, the device name.
void ListComPorts(std::vector<std::string>& List);
// One line of that list.
std::string ComPortLine(int32_t Number, const std::string& Name);
// The port as the operator names it: "COM5".
std::string ComPortName(int32_t Number);

// The operator's words for how port Com learns of arriving bytes:
//   "COM3 read path: arrival events"
//   "COM3 read path: polling every 10 ms (the driver cancelled an event wait)"
std::string ReadPathText(int32_t Com, tReadPath Path);
// Told on the user-interface thread how each port reads: rp_Events when it opens (every port
// starts so), then once more if its driver makes it switch to polling. Unset: nobody is told.
using tReadPathProc = std::function<void(int32_t Com, tReadPath Path)>;
extern tReadPathProc ReadPathProc;

// The text of a serial error code (empty for 0 and positive codes).
std::string ComErrorText(int32_t Code);
