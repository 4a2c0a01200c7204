#include "serial/ComPorts.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/PortCatalogue.h"
#include "platform/SerialDevice.h"
#include "platform/UIThread.h"
#include "serial/FiFo.h"
#include "support/DisplayMessage.h"
#include "support/ShortString.h"

namespace {

constexpr int32_t QueueSize = 4096;  // bytes per queue; 4095 usable
constexpr int32_t BatchSize = 4096;  // bytes moved each way per service step
constexpr int RetryPauseMs = 10;     // pause between tries of a full queue
constexpr int MaxTries = 10;         // tries per byte or per Send
constexpr auto DestroyServeSlice = std::chrono::milliseconds(10);
// What closing a port may wait, beyond the wire time of what is queued, for the I/O thread to
// hand its last bytes to the driver: a busy machine may keep a thread below normal priority
// off the processor for a while.
constexpr auto CloseMargin = std::chrono::milliseconds(500);
constexpr int BitsPerByte = 10;  // start bit, 8 data bits, stop bit

void Pause(int Milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

}  // namespace

// The port's I/O thread: the only code that reads and writes the device. It owns both
// queues; the user-interface thread fills OutQueue and drains InQueue.
class tComThread {
 public:
  // Starts the thread at once; throws tComPortOpenError when its events cannot be made.
  tComThread(int32_t aCom, int32_t aBaudRate, tSerialDevice& aDevice);
  // Lets the thread deliver what is queued (see Drain), sets the close event and waits for
  // the thread, serving its hand-offs meanwhile.
  ~tComThread();

  // Wakes the thread so it services the port; called on both threads.
  void SetTransmitReady();
  // The device hung up (unplugged, far end gone).
  bool IsHungUp() const { return HungUp.load(); }

  tFiFo InQueue{1, QueueSize};
  tFiFo OutQueue{1, QueueSize};
  // Request from the user-interface thread to drop output not yet transmitted.
  std::atomic<bool> ClearIO{false};

 private:
  void Execute();
  void Service(unsigned DeviceEvents);
  void Receive(unsigned DeviceEvents);
  void Transmit();
  void CancelOutput();
  void HangUp();
  bool TxPending() const { return TxPos < TxEnd; }
  void DisplayMessage(const std::string& s);
  // Waits until every byte Send accepted has been handed to the driver, or until the wire
  // time of what is queued plus CloseMargin has passed; says so when bytes are left behind.
  void Drain();
  int32_t BytesUndelivered() const;

  const int32_t nCom;
  const int32_t BaudRate;
  tSerialDevice& Device;
  std::unique_ptr<tSerialWaiter> Waiter;
  // A batch taken from OutQueue that the driver has not wholly accepted yet: it goes on
  // when the device has room, like an overlapped write, and is never dropped silently.
  uint8_t TxBuffer[BatchSize];
  size_t TxPos = 0;
  size_t TxEnd = 0;
  // The device hung up (unplugged, far end gone): it is not watched any more, so the
  // thread sleeps until it is woken or closed.
  std::atomic<bool> HungUp{false};
  // Set by the closing user-interface thread; the I/O thread answers with Drained once
  // nothing accepted is left to hand to the driver.
  std::atomic<bool> Draining{false};
  std::atomic<bool> Drained{false};
  std::atomic<int32_t> TxLeft{0};  // bytes of the pending batch not yet written
  std::atomic<bool> Finished{false};
  // The switch to polling has been told (I/O thread only).
  bool PollingTold = false;
  std::thread Thread;
};

tComThread::tComThread(int32_t aCom, int32_t aBaudRate, tSerialDevice& aDevice)
    : nCom(aCom), BaudRate(aBaudRate > 0 ? aBaudRate : 115200), Device(aDevice) {
  tSerialError Error;
  Waiter = tSerialWaiter::Create(Error);
  if (!Waiter) throw tComPortOpenError(aCom, Error);
  Thread = std::thread([this] { Execute(); });
}

tComThread::~tComThread() {
  Drain();
  Waiter->SetClose();
  // A thread blocked in a hand-off to this (user-interface) thread ends only if the
  // hand-off is served.
  if (tUIThread::IsUIThread()) {
    while (!Finished.load())
      tUIThread::WaitAndServe(DestroyServeSlice);
  }
  Thread.join();
}

int32_t tComThread::BytesUndelivered() const {
  return OutQueue.Count.load() + TxLeft.load();
}

void tComThread::Drain() {
  if (HungUp.load()) return;
  // Even with nothing counted the thread is asked: it may hold a batch it has just taken.
  const auto WireTime =
      std::chrono::microseconds(int64_t{BytesUndelivered()} * BitsPerByte * 1'000'000 / BaudRate);
  const auto Until = std::chrono::steady_clock::now() + WireTime + CloseMargin;
  Draining.store(true);
  SetTransmitReady();
  const bool Serve = tUIThread::IsUIThread();
  for (;;) {
    const auto Now = std::chrono::steady_clock::now();
    if (Drained.load() || Finished.load() || Now >= Until) break;
    const auto Slice = std::min<std::chrono::milliseconds>(
        DestroyServeSlice, std::chrono::ceil<std::chrono::milliseconds>(Until - Now));
    if (Serve)
      tUIThread::WaitAndServe(Slice);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (Drained.load()) return;
  // Held off by flow control, or the thread never got the processor: the port closes anyway,
  // and the operator learns that something did not leave.
  if (const int32_t Left = BytesUndelivered(); Left > 0 && Serve)
    DisplayMessage("Tx error: " + std::to_string(Left) + " bytes not sent before the port closed");
}

void tComThread::SetTransmitReady() {
  tSerialError Error;
  if (!Waiter->SetWake(Error))
    DisplayMessage("Tx error: SetTransmitReady failed with error " + std::to_string(Error.Code));
}

void tComThread::Execute() {
  LowerCurrentThreadPriority();
  for (;;) {
    if (ClearIO.exchange(false)) CancelOutput();
    const auto Result = Waiter->Wait(HungUp.load() ? nullptr : &Device, TxPending());
    if (Result.Closed) break;
    if (Result.Error.Kind != tSerialError::se_None) {
      // Cannot happen with valid handles; better one line and a stopped thread than a
      // thread that spins.
      DisplayMessage("Rx error: wait failed: " + Result.Error.Text());
      break;
    }
    if (!PollingTold && !HungUp.load()) {
      if (const tReadPath Path = Device.ReadPath(); Path != rp_Events) {
        PollingTold = true;
        tUIThread::RunAndWait([this, Path] {
          if (ReadPathProc) ReadPathProc(nCom, Path);
        });
      }
    }
    // A clear that arrived during the wait applies before anything more is written.
    if (ClearIO.exchange(false)) CancelOutput();
    Service(Result.Device);
    if (Draining.load() && !Drained.load() &&
        (HungUp.load() || (OutQueue.Empty() && !TxPending()))) {
      Drained.store(true);
      tUIThread::Wake();
    }
    // Queued bytes are never left waiting without a wake-up; a batch waiting for room in
    // the driver is resumed by the device's own readiness instead.
    if (!OutQueue.Empty() && !TxPending()) SetTransmitReady();
  }
  Finished.store(true);
  tUIThread::Wake();
}

void tComThread::Service(unsigned DeviceEvents) {
  Device.ClearLineErrors();
  if (DeviceEvents & (tSerialWaiter::de_Readable | tSerialWaiter::de_HungUp)) Receive(DeviceEvents);
  if (TxPending() || !OutQueue.Empty()) Transmit();
}

void tComThread::Receive(unsigned DeviceEvents) {
  uint8_t Buffer[BatchSize];
  const int64_t Count = Device.Read(Buffer, sizeof Buffer);
  if (Count < 0 || (Count == 0 && (DeviceEvents & tSerialWaiter::de_HungUp))) {
    HangUp();
    return;
  }
  for (int64_t i = 0; i < Count; ++i) {
    bool Stored = false;
    for (int Try = 0; Try < MaxTries && !Stored; ++Try) {
      Stored = InQueue.Store(&Buffer[i]);
      // A port being closed does not finish a batch that only a stalled consumer holds up.
      if (!Stored && !Waiter->PauseUnlessClosed(RetryPauseMs)) return;
    }
    if (!Stored) DisplayMessage("Rx error: input queue locked or overflowed");
  }
  // A loop waiting on the user-interface thread may handle the bytes at once.
  if (Count > 0) tUIThread::Wake();
}

void tComThread::Transmit() {
  if (!TxPending()) {
    TxPos = TxEnd = 0;
    while (TxEnd < sizeof TxBuffer && OutQueue.Retrieve(&TxBuffer[TxEnd]))
      ++TxEnd;
    TxLeft.store(static_cast<int32_t>(TxEnd));
    if (TxEnd == 0) return;
  }
  const int64_t Written = Device.Write(TxBuffer + TxPos, TxEnd - TxPos);
  if (Written >= 0) {
    TxPos += static_cast<size_t>(Written);
    TxLeft.store(static_cast<int32_t>(TxEnd - TxPos));
    return;
  }
  TxPos = TxEnd = 0;
  TxLeft.store(0);
  DisplayMessage("Tx error: " + Device.LastError().Text());
}

void tComThread::CancelOutput() {
  TxPos = TxEnd = 0;
  TxLeft.store(0);
  Device.FlushOutput();
}

void tComThread::HangUp() {
  HungUp.store(true);
  // Nothing can carry the rest of a batch any more.
  TxPos = TxEnd = 0;
  TxLeft.store(0);
}

void tComThread::DisplayMessage(const std::string& s) {
  const std::string MessageText = ShortString("COM" + std::to_string(nCom) + " " + s);
  tUIThread::RunAndWait([&MessageText] { ::DisplayMessage(MessageText); });
}

// ---------------------------------------------------------------------------------------

tReadPathProc ReadPathProc;

std::string ReadPathText(int32_t Com, tReadPath Path) {
  const std::string Polling =
      "polling every " + std::to_string(SerialPollPeriodMs) + " ms (the driver ";
  std::string How;
  switch (Path) {
    case rp_Events:
      How = "arrival events";
      break;
    case rp_PollAfterEmptyWaits:
      How = Polling + "ended its event waits at once with nothing to read)";
      break;
    case rp_PollAfterCancelledWait:
      How = Polling + "cancelled an event wait)";
      break;
  }
  return ComPortName(Com) + " read path: " + How;
}

tComPort::tComPort(int32_t aCom, int32_t BaudRate, bool FlowControl) : nCom(aCom) {
  // A port the catalogue does not know gives an empty path, which opens as "no such port".
  tSerialError Error;
  Device = tSerialDevice::Open(tPortCatalogue::DevicePathFor(aCom), BaudRate, FlowControl, Error);
  if (!Device) throw tComPortOpenError(aCom, Error);
  ComThread = std::make_unique<tComThread>(aCom, BaudRate, *Device);
  if (ReadPathProc) ReadPathProc(aCom, rp_Events);
}

// A test double's port: no device and no thread.
tComPort::tComPort() = default;

tComPort::~tComPort() {
  ComThread.reset();
  Device.reset();
}

int32_t tComPort::Send(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  tFiFo& Queue = ComThread->OutQueue;
  bool Room = false;
  for (int Reading = 0; Reading < MaxTries && !Room; ++Reading) {
    Room = Queue.SpaceFree() >= Count;
    if (!Room) Pause(RetryPauseMs);
  }
  if (!Room) return 0;
  const auto* Bytes = static_cast<const uint8_t*>(Buffer);
  int FailedStores = 0;
  for (int32_t i = 0; i < Count;) {
    if (Queue.Store(&Bytes[i])) {
      ++i;
      continue;
    }
    if (++FailedStores >= MaxTries) return i;
    Pause(RetryPauseMs);
  }
  ComThread->SetTransmitReady();
  return Count;
}

int32_t tComPort::SendString(const std::string& s) {
  const std::string Text = ShortString(s);
  return Send(Text.data(), static_cast<int32_t>(Text.size()));
}

int32_t tComPort::Receive(void* Buffer, int32_t Count) {
  auto* Bytes = static_cast<uint8_t*>(Buffer);
  int32_t Taken = 0;
  while (Taken < Count && ComThread->InQueue.Retrieve(&Bytes[Taken]))
    ++Taken;
  return Taken;
}

int32_t tComPort::SendingCount() const {
  return ComThread->OutQueue.Count.load();
}

int32_t tComPort::ReceivingCount() const {
  return ComThread->InQueue.Count.load();
}

uint8_t tComPort::SendSpaceUsed() const {
  return ComThread->OutQueue.SpaceUsed();
}

uint8_t tComPort::ReceiveSpaceUsed() const {
  return ComThread->InQueue.SpaceUsed();
}

bool tComPort::PeekNextByte(uint8_t& Data) const {
  return ComThread->InQueue.Peek(&Data);
}

void tComPort::ClearInputQueue() {
  ComThread->InQueue.Clear();
}

void tComPort::ClearOutputQueue() {
  ComThread->OutQueue.Clear();
  ComThread->ClearIO.store(true);
  // A batch may be waiting for room in the driver (flow control holding it back); wake the
  // thread so it drops that batch now rather than whenever the device next reports.
  ComThread->SetTransmitReady();
}

bool tComPort::HungUp() const {
  return ComThread && ComThread->IsHungUp();
}

bool tComPort::IsPseudoTerminal() const {
  return Device && Device->IsPseudoTerminal();
}

void tComPort::ToggleDTR() {
  Device->SetDTR(true);
  Pause(1);
  Device->SetDTR(false);
}

// ---------------------------------------------------------------------------------------

std::string ComPortLine(int32_t Number, const std::string& Name) {
  return ((std::to_string(Number) + " ").substr(0, 32) + Name).substr(0, 63);
}

std::string ComPortName(int32_t Number) {
  return "COM" + std::to_string(Number);
}

void ListComPorts(std::vector<std::string>& List) {
  for (const tPortCatalogue::tPort& Port : tPortCatalogue::ListPorts())
    List.push_back(ComPortLine(Port.Number, Port.Name));
}

std::string ComErrorText(int32_t Code) {
  if (Code >= 0) return {};
  switch (Code) {
    case -1:
      return "Invalid Serial Port";
    case -2:
      return "Serial Port Already Open";
    case -3:
      return "Serial Port Not Open";
    case -4:
      return "Not Enough Memory for Serial Buffers";
    case -5:
      return "Invalid Parameters";
    case -10:
      return "Serial Port Not Available";
    case -11:
      return "Invalid Byte Size";
    case -12:
      return "Invalid Baud Rate";
    case -32768:
      return "Invalid Serial Port Mode";
    default:
      break;
  }
  struct tLineError {
    uint32_t Bit;
    const char* Name;
  };
  static constexpr tLineError LineErrors[] = {{0x0010, "Break Error"},
                                              {0x0008, "Framing Error"},
                                              {0x0400, "Parallel\tDevice Error"},
                                              {0x1000, "Out of Paper"},
                                              {0x0002, "Receive Overrun"},
                                              {0x0200, "Parallel Device Timeout"},
                                              {0x0001, "Receive Queue Overflow"},
                                              {0x0004, "Parity Error"},
                                              {0x0100, "Transmit Queue Overflow"}};
  const auto Bits = static_cast<uint32_t>(Code);
  std::string Text = "(" + std::to_string(Code) + ") ";
  bool First = true;
  for (const tLineError& E : LineErrors) {
    if (!(Bits & E.Bit)) continue;
    Text = First ? std::string("Serial Port ") + E.Name : Text + "/" + E.Name;
    First = false;
  }
  return ShortString(Text);
}
