// tComPort over a pseudo-terminal, side by side with a plain read/write loop over the same
// kind of pseudo-terminal, and the CPU an idle open port uses.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "platform/PortCatalogue.h"
#include "platform/SerialDevice.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"
#include "tests/serial/PseudoTerminal.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t Transfer = 1u << 20;  // bytes per iteration
constexpr int32_t PortNumber = 5;

// A pseudo-terminal registered as COM5 in a temporary port folder.
class tBenchPort {
 public:
  tBenchPort() {
    char Template[] = "/tmp/caddis-bench-XXXXXX";
    Root = mkdtemp(Template);
    setenv("CADDIS_RUNTIME_DIR", Root.c_str(), 1);
    setenv("CADDIS_CONFIG_DIR", (Root + "/config").c_str(), 1);
    fs::create_directories(Root + "/ports");
    tPortCatalogue::SetRoots({Root + "/sys", Root + "/dev", Root + "/cmdline", "", ""});
    fs::create_symlink(Pty.SlavePath, Root + "/ports/COM" + std::to_string(PortNumber));
  }
  ~tBenchPort() {
    tPortCatalogue::SetRoots({});
    fs::remove_all(Root);
  }
  std::string Root;
  tPseudoTerminal Pty;
};

// Reads Count bytes from the master side.
void ReadFromMaster(tPseudoTerminal& Pty, size_t Count) {
  std::vector<uint8_t> Buffer(65536);
  while (Count > 0) {
    const size_t N = Pty.ReadSome(Buffer.data(), std::min(Buffer.size(), Count));
    if (N == 0) return;
    Count -= N;
  }
}

void BM_ComPortSend(benchmark::State& State) {
  tBenchPort Bench;
  tComPort Port(PortNumber, 115200, true);
  std::vector<uint8_t> Block(4095, 0x5A);
  for (auto _ : State) {
    std::thread Reader([&] { ReadFromMaster(Bench.Pty, Transfer); });
    for (size_t Sent = 0; Sent < Transfer;) {
      const size_t Room = static_cast<size_t>(4095 - Port.SendingCount());
      const size_t Size = std::min(Room, Transfer - Sent);
      if (Size == 0) {
        std::this_thread::yield();
        continue;
      }
      Sent += static_cast<size_t>(Port.Send(Block.data(), static_cast<int32_t>(Size)));
    }
    Reader.join();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Transfer));
}
BENCHMARK(BM_ComPortSend)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ComPortReceive(benchmark::State& State) {
  tBenchPort Bench;
  tComPort Port(PortNumber, 115200, true);
  std::vector<uint8_t> Block(65536, 0xA5);
  std::vector<uint8_t> Buffer(4096);
  size_t Dropped = 0;
  const tDisplayMessageProc Saved = DisplayMessageProc;
  DisplayMessageProc = [&Dropped](const std::string&) { ++Dropped; };
  for (auto _ : State) {
    std::thread Writer([&] {
      for (size_t Sent = 0; Sent < Transfer; Sent += Block.size())
        Bench.Pty.WriteAll(Block.data(), std::min(Block.size(), Transfer - Sent));
    });
    // A byte the port had to drop is announced by one line; count it as arrived so a
    // loaded machine cannot hang the run (the counter shows how many there were).
    for (size_t Got = 0; Got + Dropped < Transfer;) {
      const int32_t N = Port.Receive(Buffer.data(), static_cast<int32_t>(Buffer.size()));
      if (N == 0) tUIThread::ServePending();
      Got += static_cast<size_t>(N);
    }
    Writer.join();
  }
  DisplayMessageProc = Saved;
  State.counters["dropped"] = static_cast<double>(Dropped);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Transfer));
}
BENCHMARK(BM_ComPortReceive)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same transfer with the slave opened raw and written in 4096-byte pieces directly.
void BM_PlainPtyWrite(benchmark::State& State) {
  tBenchPort Bench;
  const int Slave = open(Bench.Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios Settings{};
  tcgetattr(Slave, &Settings);
  cfmakeraw(&Settings);
  tcsetattr(Slave, TCSANOW, &Settings);
  std::vector<uint8_t> Block(4096, 0x5A);
  for (auto _ : State) {
    std::thread Reader([&] { ReadFromMaster(Bench.Pty, Transfer); });
    for (size_t Sent = 0; Sent < Transfer;) {
      const ssize_t N = write(Slave, Block.data(), std::min(Block.size(), Transfer - Sent));
      if (N > 0) {
        Sent += static_cast<size_t>(N);
        continue;
      }
      pollfd Fd = {Slave, POLLOUT, 0};
      poll(&Fd, 1, -1);
    }
    Reader.join();
  }
  close(Slave);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Transfer));
}
BENCHMARK(BM_PlainPtyWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// CPU time (user + system, all threads) while an open port sits idle for 3 s.
void BM_IdleOpenPortCpu(benchmark::State& State) {
  tBenchPort Bench;
  tComPort Port(PortNumber, 115200, true);
  auto CpuSeconds = [] {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
  };
  double Cpu = 0;
  for (auto _ : State) {
    const double Before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    Cpu = CpuSeconds() - Before;
    State.SetIterationTime(Cpu);
  }
  State.counters["cpu_ms_per_3s"] = Cpu * 1000;
}
BENCHMARK(BM_IdleOpenPortCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kMicrosecond);

// Opening and closing the device: the tool's open (which also looks through /proc for another
// program holding the device) beside the bare system calls of an exclusive open.
void BM_SerialDeviceOpen(benchmark::State& State) {
  tPseudoTerminal Pty;
  tSerialError Error;
  for (auto _ : State) {
    auto Device = tSerialDevice::Open(Pty.SlavePath, 115200, true, Error);
    if (!Device) State.SkipWithError(Error.Text().c_str());
  }
}
BENCHMARK(BM_SerialDeviceOpen)->Unit(benchmark::kMicrosecond);

void BM_BareExclusiveOpen(benchmark::State& State) {
  tPseudoTerminal Pty;
  for (auto _ : State) {
    const int Fd = open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0 || !isatty(Fd) || flock(Fd, LOCK_EX | LOCK_NB) != 0) State.SkipWithError("open");
    ioctl(Fd, TIOCEXCL);
    ioctl(Fd, TIOCNXCL);
    close(Fd);
  }
}
BENCHMARK(BM_BareExclusiveOpen)->Unit(benchmark::kMicrosecond);

}  // namespace
