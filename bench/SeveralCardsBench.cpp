// Several cards updated in one command against four (and sixteen) caddis-card-sim programs
// behind emulated 115200-baud wires, side by side with one card alone in the same run: each
// iteration times `caddis update-fpga --port 71 ...` and then `caddis update-fpga --port
// 71,72,73,74 ...` (16 KiB each, no restart after it, so only the serial work and the
// program's own start are timed). Counters: one_card_s, four_cards_s and their ratio
// (four_to_one; the serial work of the four runs at once, so it stays near 1); the same for
// sixteen cards (sixteen_to_one), and the CPU seconds the sixteen cards' caddis programs used
// (cpu_s: the parent and its children, not the simulated cards).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace {

using tClock = std::chrono::steady_clock;
constexpr std::size_t ImageSize = 16 * 1024;
const std::vector<int> Four = {71, 72, 73, 74};

std::vector<int> PortsFrom(int First, int Count) {
  std::vector<int> Ports;
  for (int i = 0; i < Count; ++i)
    Ports.push_back(First + i);
  return Ports;
}

std::string PortList(const std::vector<int>& Ports) {
  std::string List;
  for (int Port : Ports)
    List += (List.empty() ? "" : ",") + std::to_string(Port);
  return List;
}

// Runs a program to its end, its output read and dropped; its exit status.
int RunToEnd(const std::vector<std::string>& Argv) {
  std::string Error;
  auto Child = tChildProcess::Start(Argv, Error);
  if (!Child) return -1;
  std::thread Err([&] {
    char Buffer[4096];
    while (Child->ReadOutput(tChildProcess::ps_Error, Buffer, sizeof Buffer) > 0) {
    }
  });
  char Buffer[4096];
  while (Child->ReadOutput(tChildProcess::ps_Output, Buffer, sizeof Buffer) > 0) {
  }
  Err.join();
  return Child->Wait();
}

class tBench {
 public:
  explicit tBench(std::vector<int> aPorts)
      : Root(tFiles::MakeTempFolder("caddis-several-bench-")), Ports(std::move(aPorts)) {
    tEnvironment::Set("CADDIS_RUNTIME_DIR", Root + "/run");
    tEnvironment::Set("CADDIS_CONFIG_DIR", Root + "/config");
    tEnvironment::Set("CADDIS_LOG_DIR", Root);
    tEnvironment::Set("XDG_STATE_HOME", Root + "/state");
    // Every update records: in this folder, never the user's own service record.
    tEnvironment::Set("CADDIS_RECORD", Root + "/service-record.jsonl");
    std::vector<char> Bytes(ImageSize);
    std::mt19937 Random(1);
    for (char& B : Bytes)
      B = static_cast<char>(Random());
    Image = Root + "/SkerryFPGA.bit";
    std::ofstream(Image, std::ios::binary).write(Bytes.data(), Bytes.size());
    const std::string Sim = tPaths::ExecutableFolder() + "/caddis-card-sim";
    std::string Error;
    for (int Port : Ports)
      Cards.push_back(tChildProcess::Start(
          {Sim, "--com", std::to_string(Port), "--wire-baud", "115200"}, Error));
    const auto Until = tClock::now() + std::chrono::seconds(10);
    for (int Port : Ports)
      while (!std::filesystem::exists(Root + "/run/ports/COM" + std::to_string(Port)) &&
             tClock::now() < Until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~tBench() {
    for (auto& Card : Cards)
      if (Card) {
        Card->Stop(tChildProcess::ps_Terminate);
        Card->Wait();
      }
    std::filesystem::remove_all(Root);
  }

  // Seconds one run of update-fpga on Which takes; negative when it failed.
  double Update(const std::string& Which) const {
    const auto Start = tClock::now();
    const int Exit = RunToEnd({tPaths::ExecutableFolder() + "/caddis", "update-fpga", "--port",
                               Which, "--file", Image, "--no-restart"});
    const double Seconds = std::chrono::duration<double>(tClock::now() - Start).count();
    return Exit == 0 ? Seconds : -1;
  }

  std::string Root, Image;
  std::vector<int> Ports;
  std::vector<std::unique_ptr<tChildProcess>> Cards;
};

void BM_FourCardsBesideOne(benchmark::State& State) {
  tBench Bench(Four);
  double One = 0, Four = 0;
  for (auto _ : State) {
    const double OneRun = Bench.Update("71");
    const double FourRun = Bench.Update("71,72,73,74");
    if (OneRun < 0 || FourRun < 0) {
      State.SkipWithError("an update failed");
      return;
    }
    One += OneRun;
    Four += FourRun;
  }
  const double Runs = static_cast<double>(State.iterations());
  State.counters["one_card_s"] = One / Runs;
  State.counters["four_cards_s"] = Four / Runs;
  State.counters["four_to_one"] = Four / One;
  // Each 128-byte packet goes in a 134-byte frame and is answered by a 7-byte one.
  State.counters["wire_limit_s"] = ImageSize * (134.0 + 7.0) / 128.0 / 11520.0;
}
BENCHMARK(BM_FourCardsBesideOne)->Unit(benchmark::kSecond)->Iterations(5)->UseRealTime();

}  // namespace

// The CPU seconds this process's children used so far (those waited for).
double ChildrenCpuSeconds() {
  rusage Usage{};
  getrusage(RUSAGE_CHILDREN, &Usage);
  return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

void BM_SixteenCardsBesideOne(benchmark::State& State) {
  const std::vector<int> Sixteen = PortsFrom(81, 16);
  tBench Bench(Sixteen);
  double One = 0, All = 0, Cpu = 0;
  for (auto _ : State) {
    const double OneRun = Bench.Update(std::to_string(Sixteen.front()));
    const double Before = ChildrenCpuSeconds();
    const double AllRun = Bench.Update(PortList(Sixteen));
    Cpu += ChildrenCpuSeconds() - Before;
    if (OneRun < 0 || AllRun < 0) {
      State.SkipWithError("an update failed");
      return;
    }
    One += OneRun;
    All += AllRun;
  }
  const double Runs = static_cast<double>(State.iterations());
  State.counters["one_card_s"] = One / Runs;
  State.counters["sixteen_cards_s"] = All / Runs;
  State.counters["sixteen_to_one"] = All / One;
  State.counters["cpu_s"] = Cpu / Runs;
}
BENCHMARK(BM_SixteenCardsBesideOne)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();
