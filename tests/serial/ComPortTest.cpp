// tComPort and its I/O thread over real pseudo-terminals.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/PortCatalogue.h"
#include "platform/UIThread.h"
#include "platform/posix/SerialSysCalls.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"
#include "tests/serial/PseudoTerminal.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Overflow = "Rx error: input queue locked or overflowed";

struct tTaskStat {
  pid_t Tid;
  long CpuTicks;
  long Nice;
};

// The threads of this process with their CPU time and nice value.
std::vector<tTaskStat> Tasks() {
  std::vector<tTaskStat> Result;
  for (const auto& Entry : fs::directory_iterator("/proc/self/task")) {
    std::ifstream In(Entry.path() / "stat");
    std::string Line;
    std::getline(In, Line);
    const auto Paren = Line.rfind(')');
    if (Paren == std::string::npos) continue;
    std::istringstream Fields(Line.substr(Paren + 2));
    std::vector<std::string> F;
    for (std::string Word; Fields >> Word;)
      F.push_back(Word);
    // Fields after the name start at "state" (field 3): utime 14, stime 15, nice 19.
    if (F.size() < 17) continue;
    Result.push_back({static_cast<pid_t>(std::stol(Entry.path().filename().string())),
                      std::stol(F[11]) + std::stol(F[12]), std::stol(F[16])});
  }
  return Result;
}

// The port's I/O thread: the one thread running one step below the main thread.
std::optional<tTaskStat> IOThread() {
  const auto All = Tasks();
  long MainNice = 0;
  for (const auto& T : All)
    if (T.Tid == getpid()) MainNice = T.Nice;
  std::optional<tTaskStat> Found;
  for (const auto& T : All)
    if (T.Nice == MainNice + 1) {
      if (Found) return std::nullopt;  // ambiguous
      Found = T;
    }
  return Found;
}

long TicksToMs(long Ticks) {
  return Ticks * 1000 / sysconf(_SC_CLK_TCK);
}

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/caddis-comport-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Root = Template;
    setenv("CADDIS_RUNTIME_DIR", Root.c_str(), 1);
    setenv("CADDIS_CONFIG_DIR", (Root + "/config").c_str(), 1);
    fs::create_directories(Root + "/ports");
    fs::create_directories(Root + "/sys");
    // No kernel devices: only the links this test makes are ports.
    tPortCatalogue::SetRoots({Root + "/sys", Root + "/dev", Root + "/cmdline", "", ""});
    SavedProc = DisplayMessageProc;
    DisplayMessageProc = [this](const std::string& Line) { Messages.push_back(Line); };
  }

  void TearDown() override {
    Port.reset();
    ResetSerialSysCalls();
    DisplayMessageProc = SavedProc;
    tPortCatalogue::SetRoots({});
    fs::remove_all(Root);
  }

  void Link(int32_t Number, const std::string& Target) {
    fs::create_symlink(Target, Root + "/ports/COM" + std::to_string(Number));
  }

  void Open(int32_t Number = 5, bool FlowControl = true) {
    Link(Number, Pty.SlavePath);
    Port = std::make_unique<tComPort>(Number, 115200, FlowControl);
  }

  // Serves the I/O thread's hand-offs until Done or Timeout.
  static bool ServeUntil(const std::function<bool()>& Done, std::chrono::seconds Timeout = 20s) {
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (!Done()) {
      if (std::chrono::steady_clock::now() > Deadline) return false;
      tUIThread::WaitAndServe(5ms);
    }
    return true;
  }

  // Queues bytes until the port cannot take Chunk more (the far end does not read).
  std::vector<uint8_t> FillUntilStalled(size_t Chunk = 1000) {
    std::vector<uint8_t> Sent;
    for (uint64_t i = 0; Sent.size() < 8u << 20; ++i) {
      std::vector<uint8_t> Block(Chunk);
      for (size_t k = 0; k < Chunk; ++k)
        Block[k] = PatternByte(Sent.size() + k);
      const int32_t N = Port->Send(Block.data(), static_cast<int32_t>(Chunk));
      if (N == 0) break;
      EXPECT_EQ(N, static_cast<int32_t>(Chunk));
      Sent.insert(Sent.end(), Block.begin(), Block.end());
    }
    return Sent;
  }

  // Reads from the master until Count bytes came or nothing more arrives for Quiet.
  std::vector<uint8_t> Drain(size_t Count, std::chrono::milliseconds Quiet = 2000ms) {
    std::vector<uint8_t> Got;
    uint8_t Buffer[8192];
    while (Got.size() < Count) {
      const size_t N = Pty.ReadSome(Buffer, std::min(sizeof Buffer, Count - Got.size()), Quiet);
      if (N == 0) break;
      Got.insert(Got.end(), Buffer, Buffer + N);
    }
    return Got;
  }

  std::string Root;
  tPseudoTerminal Pty;
  std::unique_ptr<tComPort> Port;
  std::vector<std::string> Messages;
  tDisplayMessageProc SavedProc;
};

TEST_F(ComPortTest, BytesTravelBothWays) {
  Open();
  EXPECT_EQ(Port->nCom, 5);
  EXPECT_EQ(Port->SendString("hello"), 5);
  char Got[16] = {};
  size_t N = 0;
  while (N < 5) {
    const size_t Part = Pty.ReadSome(Got + N, 5 - N);
    ASSERT_GT(Part, 0u);
    N += Part;
  }
  EXPECT_EQ(std::string(Got, 5), "hello");

  ASSERT_TRUE(Pty.WriteAll("world!", 6));
  ASSERT_TRUE(ServeUntil([&] { return Port->ReceivingCount() == 6; }));
  char Back[16] = {};
  EXPECT_EQ(Port->Receive(Back, sizeof Back), 6);
  EXPECT_EQ(std::string(Back, 6), "world!");
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ComPortTest, FourMebibytesToTheDeviceArriveExactly) {
  Open();
  constexpr size_t Total = 4u << 20;
  std::atomic<size_t> Checked{0};
  std::atomic<size_t> FirstBad{SIZE_MAX};
  std::thread Reader([&] {
    uint8_t Buffer[8192];
    size_t Pos = 0;
    while (Pos < Total) {
      const size_t N = Pty.ReadSome(Buffer, sizeof Buffer, 20s);
      if (N == 0) break;
      for (size_t k = 0; k < N; ++k, ++Pos)
        if (Buffer[k] != PatternByte(Pos) && FirstBad == SIZE_MAX) FirstBad = Pos;
      Checked = Pos;
    }
  });
  std::vector<uint8_t> Block(1500);
  const auto Deadline = std::chrono::steady_clock::now() + 120s;
  for (size_t Sent = 0; Sent < Total && std::chrono::steady_clock::now() < Deadline;) {
    // Offer only what fits, as a caller that keeps the queue topped up would.
    const size_t Room = static_cast<size_t>(4095 - Port->SendingCount());
    const size_t Size = std::min({Block.size(), Total - Sent, Room});
    if (Size == 0) {
      std::this_thread::yield();
      continue;
    }
    for (size_t k = 0; k < Size; ++k)
      Block[k] = PatternByte(Sent + k);
    Sent += static_cast<size_t>(Port->Send(Block.data(), static_cast<int32_t>(Size)));
  }
  Reader.join();
  EXPECT_EQ(Checked.load(), Total);
  EXPECT_EQ(FirstBad.load(), SIZE_MAX);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ComPortTest, FourMebibytesFromTheDeviceArriveExactly) {
  Open();
  constexpr size_t Total = 4u << 20;
  std::thread Writer([&] {
    std::vector<uint8_t> Block(3000);
    for (size_t Sent = 0; Sent < Total;) {
      const size_t Size = std::min(Block.size(), Total - Sent);
      for (size_t k = 0; k < Size; ++k)
        Block[k] = PatternByte(Sent + k);
      if (!Pty.WriteAll(Block.data(), Size)) return;
      Sent += Size;
    }
  });
  size_t Pos = 0;
  size_t FirstBad = SIZE_MAX;
  uint8_t Buffer[1024];
  const auto Deadline = std::chrono::steady_clock::now() + 120s;
  while (Pos < Total && std::chrono::steady_clock::now() < Deadline) {
    const int32_t N = Port->Receive(Buffer, sizeof Buffer);
    for (int32_t k = 0; k < N; ++k, ++Pos)
      if (Buffer[k] != PatternByte(Pos) && FirstBad == SIZE_MAX) FirstBad = Pos;
    if (N == 0) std::this_thread::yield();
  }
  Writer.join();
  EXPECT_EQ(Pos, Total);
  EXPECT_EQ(FirstBad, SIZE_MAX);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ComPortTest, SendNeedsRoomForAllAndKeepsAStalledWrite) {
  Open();
  EXPECT_EQ(Port->Send("x", 0), 0);
  EXPECT_EQ(Port->Send("x", -3), 0);
  // The far end reads nothing: the driver fills, a batch waits for room, the queue fills.
  const std::vector<uint8_t> Sent = FillUntilStalled();
  ASSERT_FALSE(Sent.empty());
  EXPECT_GT(Port->SendingCount(), 4095 - 1000);
  EXPECT_GT(Port->SendSpaceUsed(), 192);
  std::vector<uint8_t> Big(4096, 1);
  EXPECT_EQ(Port->Send(Big.data(), 4096), 0) << "4096 bytes never fit a 4095-byte queue";
  const int32_t QueuedBefore = Port->SendingCount();
  EXPECT_EQ(Port->Send(Big.data(), 1000), 0);
  EXPECT_EQ(Port->SendingCount(), QueuedBefore) << "a refused Send queues nothing";

  // Every byte accepted arrives, in order, once the far end reads: nothing of the batch the
  // driver took only in part was lost.
  const std::vector<uint8_t> Got = Drain(Sent.size());
  ASSERT_EQ(Got.size(), Sent.size());
  EXPECT_TRUE(Got == Sent);
  EXPECT_EQ(Port->Send(Big.data(), 100), 100);
  EXPECT_EQ(Drain(100).size(), 100u);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(ComPortTest, ReceiveAndPeekCount) {
  Open();
  uint8_t Data = 0x77;
  EXPECT_FALSE(Port->PeekNextByte(Data));
  EXPECT_EQ(Data, 0x77) << "an empty queue leaves Data alone";
  ASSERT_TRUE(Pty.WriteAll("\x01\x02\x03\x04", 4));
  ASSERT_TRUE(ServeUntil([&] { return Port->ReceivingCount() == 4; }));
  EXPECT_TRUE(Port->PeekNextByte(Data));
  EXPECT_EQ(Data, 1);
  EXPECT_EQ(Port->ReceivingCount(), 4) << "peeking takes nothing";
  EXPECT_EQ(Port->Receive(&Data, 0), 0);
  uint8_t Buffer[10];
  EXPECT_EQ(Port->Receive(Buffer, 10), 4);
  EXPECT_EQ(Buffer[3], 4);
  EXPECT_EQ(Port->Receive(Buffer, 10), 0);

  ASSERT_TRUE(Pty.WriteAll("\x05\x06", 2));
  ASSERT_TRUE(ServeUntil([&] { return Port->ReceivingCount() == 2; }));
  Port->ClearInputQueue();
  EXPECT_EQ(Port->ReceivingCount(), 0);
  EXPECT_FALSE(Port->PeekNextByte(Data));
}

TEST_F(ComPortTest, StalledConsumerGetsOneLinePerDroppedByte) {
  Open(3);
  constexpr size_t Extra = 3;
  std::vector<uint8_t> Bytes(4095 + Extra);
  for (size_t i = 0; i < Bytes.size(); ++i)
    Bytes[i] = PatternByte(i);
  ASSERT_TRUE(Pty.WriteAll(Bytes.data(), Bytes.size()));
  ASSERT_TRUE(ServeUntil([&] { return Messages.size() >= Extra; }));
  // No further lines: only the bytes that did not fit were dropped.
  const auto Until = std::chrono::steady_clock::now() + 300ms;
  while (std::chrono::steady_clock::now() < Until)
    tUIThread::WaitAndServe(10ms);
  ASSERT_EQ(Messages.size(), Extra);
  for (const std::string& Line : Messages)
    EXPECT_EQ(Line, "COM3 " + Overflow);
  EXPECT_EQ(Port->ReceivingCount(), 4095);
  EXPECT_EQ(Port->ReceiveSpaceUsed(), 255);
  std::vector<uint8_t> Got(4095);
  ASSERT_EQ(Port->Receive(Got.data(), 4095), 4095);
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Bytes.begin()));
}

TEST_F(ComPortTest, ClearOutputQueueDropsWhatWasNotTransmitted) {
  Open();
  const std::vector<uint8_t> Sent = FillUntilStalled();
  ASSERT_GT(Port->SendingCount(), 0);
  Port->ClearOutputQueue();
  EXPECT_EQ(Port->SendingCount(), 0);
  const std::string Marker = "after-the-clear";
  ASSERT_EQ(Port->SendString(Marker), static_cast<int32_t>(Marker.size()));

  const std::vector<uint8_t> Got = Drain(Sent.size() + Marker.size());
  ASSERT_GE(Got.size(), Marker.size());
  EXPECT_LT(Got.size(), Sent.size() + Marker.size()) << "queued bytes were sent after all";
  const size_t Before = Got.size() - Marker.size();
  EXPECT_EQ(std::string(Got.begin() + static_cast<long>(Before), Got.end()), Marker);
  EXPECT_TRUE(std::equal(Got.begin(), Got.begin() + static_cast<long>(Before), Sent.begin()))
      << "what did go out is an unbroken start of what was queued";
}

TEST_F(ComPortTest, MissingOrUnusablePortCannotBeOpened) {
  auto ExpectOpenFails = [](int32_t Number, int Errno, tSerialError::tKind Kind) {
    try {
      tComPort Port(Number, 115200, true);
      ADD_FAILURE() << "port " << Number << " opened";
    } catch (const tComPortOpenError& E) {
      EXPECT_EQ(std::string(E.what()), "Cannot open ComPort " + std::to_string(Number));
      EXPECT_EQ(E.Error.Code, Errno) << "port " << Number;
      EXPECT_EQ(E.Error.Kind, Kind) << "port " << Number;
    }
  };
  ExpectOpenFails(7, ENOENT, tSerialError::se_NotFound);
  Link(8, Root + "/nothing-there");
  ExpectOpenFails(8, ENOENT, tSerialError::se_NotFound);
  std::ofstream(Root + "/plain-file") << "not a terminal";
  Link(9, Root + "/plain-file");
  ExpectOpenFails(9, ENOTTY, tSerialError::se_NotSerial);
  Open(5);
  Link(6, Pty.SlavePath);
  ExpectOpenFails(6, EBUSY,
                  tSerialError::se_Busy);  // one user at a time, even through another name
  EXPECT_EQ(Port->SendString("ok"), 2);
}

TEST_F(ComPortTest, IdlePortAndHungUpPortUseNoCPU) {
  Open();
  ASSERT_EQ(Port->SendString("hi"), 2);
  ASSERT_EQ(Drain(2).size(), 2u);
  auto Thread = IOThread();
  ASSERT_TRUE(Thread) << "the I/O thread runs one step below normal priority";

  auto CpuOver = [&](std::chrono::milliseconds Span) {
    const long Before = IOThread().value_or(tTaskStat{}).CpuTicks;
    std::this_thread::sleep_for(Span);
    return TicksToMs(IOThread().value_or(tTaskStat{}).CpuTicks - Before);
  };
  EXPECT_LT(CpuOver(1000ms), 50) << "idle open port";

  Pty.CloseMaster();  // the far end goes away
  ASSERT_TRUE(ServeUntil([&] { return Port->HungUp(); }));
  EXPECT_LT(CpuOver(1000ms), 50) << "hung-up port";

  // Writing to the vanished device says why, once per batch, and the port still closes.
  ASSERT_EQ(Port->SendString("lost"), 4);
  ASSERT_TRUE(ServeUntil([&] { return !Messages.empty(); }));
  EXPECT_EQ(Messages[0].rfind("COM5 Tx error: ", 0), 0u) << Messages[0];
  EXPECT_GT(Messages[0].size(), std::string("COM5 Tx error: ").size());
  Port.reset();
}

TEST_F(ComPortTest, DestroyServesAHandOffTheThreadIsWaitingIn) {
  std::atomic<bool> HandOffWaiting{false};
  tUIThread::SetWakeHook([&] { HandOffWaiting = true; });
  Open();
  std::vector<uint8_t> Bytes(4096 + 1, 0x55);
  ASSERT_TRUE(Pty.WriteAll(Bytes.data(), Bytes.size()));
  // Do not serve: the thread blocks in its overflow message.
  const auto Deadline = std::chrono::steady_clock::now() + 20s;
  while (!HandOffWaiting && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(HandOffWaiting);
  Port.reset();  // must return
  tUIThread::SetWakeHook({});
  ASSERT_FALSE(Messages.empty());
  EXPECT_EQ(Messages[0], "COM5 " + Overflow);
}

// Reads and writes interrupted, refused for now, or cut short by the driver.
std::atomic<int> CallCount{0};
ssize_t ChoppyRead(int Fd, void* Buffer, size_t Count) {
  if (++CallCount % 4 == 0) {
    errno = EINTR;
    return -1;
  }
  return ::read(Fd, Buffer, std::min<size_t>(Count, 13));
}
ssize_t ChoppyWrite(int Fd, const void* Buffer, size_t Count) {
  const int Call = ++CallCount;
  if (Call % 3 == 0) {
    errno = Call % 2 ? EAGAIN : EINTR;
    return -1;
  }
  return ::write(Fd, Buffer, std::min<size_t>(Count, 7));
}

TEST_F(ComPortTest, InterruptedAndShortDeviceCallsLoseNothing) {
  SerialSysCalls().Read = ChoppyRead;
  SerialSysCalls().Write = ChoppyWrite;
  Open();
  constexpr size_t Total = 64 * 1024;
  std::vector<uint8_t> Out(Total);
  for (size_t i = 0; i < Total; ++i)
    Out[i] = PatternByte(i);
  std::vector<uint8_t> ToDevice;
  std::thread Reader([&] { ToDevice = Drain(Total, 20000ms); });
  for (size_t Sent = 0; Sent < Total;)
    Sent += static_cast<size_t>(
        Port->Send(Out.data() + Sent, static_cast<int32_t>(std::min<size_t>(2000, Total - Sent))));
  Reader.join();
  EXPECT_TRUE(ToDevice == Out);

  std::thread Writer([&] { Pty.WriteAll(Out.data(), Total); });
  std::vector<uint8_t> FromDevice;
  uint8_t Buffer[512];
  ServeUntil([&] {
    const int32_t N = Port->Receive(Buffer, sizeof Buffer);
    FromDevice.insert(FromDevice.end(), Buffer, Buffer + N);
    return FromDevice.size() >= Total;
  });
  Writer.join();
  EXPECT_TRUE(FromDevice == Out);
  EXPECT_TRUE(Messages.empty());
}

}  // namespace

// A write that keeps the I/O thread busy the first time it is called, as a thread that does
// not get the processor would be; later writes go through.
std::atomic<bool> LateWriteEntered{false};
ssize_t LateFirstWrite(int Fd, const void* Buffer, size_t Count) {
  if (!LateWriteEntered.exchange(true)) std::this_thread::sleep_for(150ms);
  return ::write(Fd, Buffer, Count);
}
// A device that never takes a byte, as one held off by flow control.
ssize_t RefusingWrite(int, const void*, size_t) {
  errno = EAGAIN;
  return -1;
}

TEST_F(ComPortTest, ClosingDeliversWhatWasAcceptedWithinABound) {
  // The last message before a close (a Restart) still leaves when the I/O thread is late.
  LateWriteEntered = false;
  SerialSysCalls().Write = LateFirstWrite;
  Open();
  ASSERT_EQ(Port->SendString("A"), 1);
  ASSERT_TRUE(ServeUntil([] { return LateWriteEntered.load(); }));
  ASSERT_EQ(Port->SendString("RESTART"), 7);
  Port.reset();
  std::vector<uint8_t> Got = Drain(8);
  EXPECT_EQ(std::string(Got.begin(), Got.end()), "ARESTART");
  EXPECT_TRUE(Messages.empty());

  // A port that never drains still closes, and says what it left behind.
  SerialSysCalls().Write = RefusingWrite;
  Open(6);
  ASSERT_EQ(Port->SendString("RESTART"), 7);
  const auto Before = std::chrono::steady_clock::now();
  Port.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - Before, 10s);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], "COM6 Tx error: 7 bytes not sent before the port closed");
}
