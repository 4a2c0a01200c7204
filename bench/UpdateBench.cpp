// An FPGA update against the caddis-card-sim program, with the host driven by the same 10 ms
// loop as the window and the command line, side by side with the bound that loop sets:
//   - a card that answers at once: one exchange per tick, so 128 bytes per 10 ms (12.8 KB/s)
//     for the data packets, plus one tick each for the start and finish packets;
//   - a card behind an emulated 115200-baud wire: a data frame (134 bytes) and its answer
//     (7 bytes) take 12.2 ms on the wire, longer than a tick, so every exchange costs two
//     ticks; the wire's own stop-and-wait limit (no ticks at all) is shown beside it;
//   - the same wire with the command line's event-driven loop, which handles each answer as
//     soon as the port's I/O thread has stored it, so the next packet leaves at once;
//   - the same wire through the window itself (its Qt event loop, its 10 ms timer, and the
//     queued call the port's I/O thread posts when it has stored the card's answer), from
//     the "Update FPGA" click to "FPGA updated successfully".
// Counters: bytes_per_second measured, tick_bound and wire_limit (bytes/s) and their ratios.
// BM_StatusIdentity: how long caddis status waits for the card's identity after opening the
// port (asked at once), and (counter) for a whole round of the card's reports.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/OrvaneHost.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/UIThread.h"
#include "session/HostLoop.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"

#ifdef CADDIS_BENCH_WINDOW
#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/CaddisUnit.h"
#include "app/QtUIThread.h"
#endif

namespace fs = std::filesystem;
using tClock = std::chrono::steady_clock;

namespace {

constexpr int32_t PortNumber = 41;
constexpr std::size_t ImageSize = 16 * 1024;  // 128 data packets
constexpr double TickSeconds = 0.010;
constexpr double WireBytesPerSecond = 115200.0 / 10.0;  // 8N1: ten bits a byte
constexpr double DataFrameBytes = 1 + 4 + 128 + 1;      // count, header, data, checksum
constexpr double ReplyFrameBytes = 1 + 5 + 1;

// The simulator in a private runtime folder, with an image to send; both go at the end.
class tSimulatedCard {
 public:
  explicit tSimulatedCard(const std::vector<std::string>& Extra) {
    char Template[] = "/tmp/caddis-update-bench-XXXXXX";
    Root = mkdtemp(Template);
    setenv("CADDIS_RUNTIME_DIR", (Root + "/run").c_str(), 1);
    setenv("CADDIS_CONFIG_DIR", (Root + "/config").c_str(), 1);
    // The window records its updates: in this folder, not the user's.
    setenv("CADDIS_RECORD", (Root + "/service-record.jsonl").c_str(), 1);
    LogFolder = Root;
    std::vector<char> Image(ImageSize);
    std::mt19937 Random(1);
    for (char& B : Image)
      B = static_cast<char>(Random());
    std::ofstream(Root + "/SkerryFPGA.bit", std::ios::binary).write(Image.data(), Image.size());

    const std::string Program = tPaths::ExecutableFolder() + "/caddis-card-sim";
    std::vector<std::string> Argv{Program, "--com", std::to_string(PortNumber)};
    Argv.insert(Argv.end(), Extra.begin(), Extra.end());
    std::string Error;
    Sim = tChildProcess::Start(Argv, Error);
    const auto Until = tClock::now() + std::chrono::seconds(10);
    while (Sim && !fs::exists(Root + "/run/ports/COM" + std::to_string(PortNumber)) &&
           tClock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~tSimulatedCard() {
    if (Sim) {
      Sim->Stop(tChildProcess::ps_Terminate);
      Sim->Wait();
    }
    std::error_code Ignored;
    fs::remove_all(Root, Ignored);
  }
  bool Running() const { return Sim != nullptr; }
  std::string Image() const { return Root + "/SkerryFPGA.bit"; }
  const std::string& Folder() const { return Root; }

 private:
  std::string Root;
  std::unique_ptr<tChildProcess> Sim;
};

// The main loop: receive, keep-alive, hand-offs, every 10 ms on a steady clock, until Done.
template <typename Pred>
bool RunLoop(tOrvaneHost& Host, Pred Done, std::chrono::seconds Limit) {
  auto Next = tClock::now();
  const auto Until = Next + Limit;
  for (;;) {
    Host.ServiceReceive();
    Host.ServiceAYT();
    tUIThread::ServePending();
    if (Done()) return true;
    if (tClock::now() > Until) return false;
    Next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(Next);
  }
}

// The ratios of a transfer of ImageSize bytes that took Seconds per iteration on average.
void ReportRates(benchmark::State& State, double Seconds, int TicksPerExchange, bool Wire) {
  const double DataPackets = (ImageSize + 127) / 128;
  const double TickBound = ImageSize / ((DataPackets * TicksPerExchange + 2) * TickSeconds);
  const double Measured = static_cast<double>(State.iterations()) * ImageSize / Seconds;
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * ImageSize));
  State.counters["bytes_per_second"] = Measured;
  State.counters["tick_bound"] = TickBound;
  State.counters["ratio_to_tick_bound"] = Measured / TickBound;
  if (Wire) {
    const double WireLimit = 128.0 / ((DataFrameBytes + ReplyFrameBytes) / WireBytesPerSecond);
    State.counters["wire_limit"] = WireLimit;
    State.counters["ratio_to_wire_limit"] = Measured / WireLimit;
  }
}

// TicksPerExchange: ticks one data exchange takes; start and finish frames are short and
// always fit in one tick. With a wire, its own limit is shown beside the tick bound.
void RunUpdates(benchmark::State& State, const std::vector<std::string>& SimArgs,
                int TicksPerExchange, bool Wire, bool EventDriven = false) {
  DisplayMessageProc = [](const std::string&) {};
  tSimulatedCard Card(SimArgs);
  if (!Card.Running()) return State.SkipWithError("caddis-card-sim did not start");
  tOrvaneHost Host(PortNumber, false, "Caddis");
  if (!Host.ComPort) return State.SkipWithError("the simulated card's port did not open");
  if (!RunLoop(
          Host, [&] { return Host.DeviceID != 0; }, std::chrono::seconds(10)))
    return State.SkipWithError("the simulated card did not identify itself");

  double Seconds = 0;
  for (auto _ : State) {
    bool Finished = false;
    tTivaUpdateError Code = tu_Ack;
    const auto Start = tClock::now();
    Host.UpdateHostFPGA(
        {},
        [&](float, tTivaUpdateError AckCode) {
          Finished = true;
          Code = AckCode;
        },
        Card.Image());
    if (!Host.Updating() && !Finished) return State.SkipWithError("the update did not start");
    const bool Ended = EventDriven ? tHostLoop(&Host, true)
                                             .RunUntil([&] { return Finished; },
                                                       std::chrono::seconds(120)) == le_Done
                                   : RunLoop(
                                         Host, [&] { return Finished; }, std::chrono::seconds(120));
    if (!Ended) return State.SkipWithError("the update did not finish");
    if (Code != tu_Ack) return State.SkipWithError("the card refused the image");
    const double Took = std::chrono::duration<double>(tClock::now() - Start).count();
    State.SetIterationTime(Took);
    Seconds += Took;
  }

  ReportRates(State, Seconds, TicksPerExchange, Wire);
}

void BM_UpdateZeroDelayCard(benchmark::State& State) {
  RunUpdates(State, {"--packet-delay", "0"}, 1, false);
}

void BM_UpdateWire115200(benchmark::State& State) {
  RunUpdates(State, {"--packet-delay", "0", "--wire-baud", "115200"}, 2, true);
}

void BM_UpdateWire115200EventDriven(benchmark::State& State) {
  RunUpdates(State, {"--packet-delay", "0", "--wire-baud", "115200"}, 2, true, true);
}

#ifdef CADDIS_BENCH_WINDOW
// The window on the offscreen platform, made once for the program.
void StartQt() {
  static int Argc = 1;
  static char Name[] = "bench_updatebench";
  static char* Argv[] = {Name, nullptr};
  if (QCoreApplication::instance()) return;
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  new QApplication(Argc, Argv);
  InstallQtUIThread();
}

// Runs the window's event loop until Done, for at most Limit.
template <typename Pred>
bool RunWindow(Pred Done, std::chrono::seconds Limit) {
  const auto Until = tClock::now() + Limit;
  while (!Done()) {
    if (tClock::now() > Until) return false;
    // Sleeps until something happens, as the window's own loop does: the timer ticks every
    // 10 ms at the latest.
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void BM_UpdateWire115200Window(benchmark::State& State) {
  StartQt();
  tSimulatedCard Card({"--packet-delay", "0", "--wire-baud", "115200"});
  if (!Card.Running()) return State.SkipWithError("caddis-card-sim did not start");
  TCaddisForm Form(false);
  Form.ImageFolder = Card.Folder();
  Form.OpenComPort(PortNumber);
  const auto Identified = [&] { return Form.CaddisHost && Form.CaddisHost->DeviceID != 0; };
  if (!RunWindow(Identified, std::chrono::seconds(10)))
    return State.SkipWithError("the simulated card did not identify itself");
  // The moment the window says the update succeeded: the tick that handles the card's last
  // answer goes on to restart the card (blocking for seconds) before the loop looks again.
  int Successes = 0;
  tClock::time_point Succeeded;
  QObject::connect(Form.MessageMemo, &QPlainTextEdit::textChanged, [&] {
    const int Now =
        Form.MessageMemo->toPlainText().count(QStringLiteral("FPGA updated successfully"));
    if (Now > Successes) Succeeded = tClock::now();
    Successes = Now;
  });
  double Seconds = 0;
  for (auto _ : State) {
    const int Before = Successes;
    const uint32_t Openings = Form.Session.Openings();
    const auto Start = tClock::now();
    Form.UpdateFPGAButton->click();
    if (!RunWindow([&] { return Successes > Before; }, std::chrono::seconds(120)))
      return State.SkipWithError("the window's update did not succeed");
    const double Took = std::chrono::duration<double>(Succeeded - Start).count();
    State.SetIterationTime(Took);
    Seconds += Took;
    // The card restarts into its new bitstream; the next update waits for it.
    if (!RunWindow([&] { return Form.Session.Openings() != Openings && Identified(); },
                   std::chrono::seconds(30)))
      return State.SkipWithError("the card did not come back after the update");
  }
  ReportRates(State, Seconds, 2, true);
}
BENCHMARK(BM_UpdateWire115200Window)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
#endif

void BM_StatusIdentity(benchmark::State& State) {
  DisplayMessageProc = [](const std::string&) {};
  tSimulatedCard Card({"--wire-baud", "115200"});
  if (!Card.Running()) return State.SkipWithError("caddis-card-sim did not start");
  double Reports = 0;
  for (auto _ : State) {
    const auto Start = tClock::now();
    tOrvaneHost Host(PortNumber, false, "Caddis");
    if (!Host.ComPort) return State.SkipWithError("the simulated card's port did not open");
    Host.AskIdentity();
    tHostLoop Loop(&Host, true);
    if (Loop.RunUntil([&] { return Host.DeviceID != 0; }, std::chrono::seconds(5)) != le_Done)
      return State.SkipWithError("the simulated card did not identify itself");
    State.SetIterationTime(std::chrono::duration<double>(tClock::now() - Start).count());
    Loop.RunUntil([&] { return Host.ReportsReceived == or_AllReports; }, std::chrono::seconds(3));
    Reports += std::chrono::duration<double>(tClock::now() - Start).count();
  }
  State.counters["with_reports_s"] = Reports / static_cast<double>(State.iterations());
}

BENCHMARK(BM_UpdateZeroDelayCard)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateWire115200)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateWire115200EventDriven)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatusIdentity)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
