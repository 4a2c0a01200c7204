// A release over four caddis-card-sim cards (behind emulated 115200-baud wires), two of which
// already run it, side by side with the same four cards fully updated (--force): each card
// gets the station's recipe (FPGA, USB audio, firmware) through the card session's flows with
// the release's facts set as a package sets them. The two current cards report the release's
// FPGA and firmware versions, and the service record holds a line of their USB-audio image
// (each card behind an adapter of its own, by which the record tells them apart).
// The cards are served one after another, in this process. Counters: release_s (the four
// cards with two current), full_s (the four fully updated) and their ratio release_to_full;
// current_card_s and updated_card_s, one card of each kind within the release run, and their
// ratio current_to_updated. The proof's settling watch is 2 s here (10 s by default).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "session/CardFlows.h"
#include "session/DFUSession.h"
#include "sim/SimCard.h"
#include "sim/bootloader/DemoImage.h"
#include "support/Sha256.h"

namespace {

using namespace std::chrono_literals;
using tClock = std::chrono::steady_clock;

constexpr const char* ReleaseFPGA = "0201122026";
constexpr uint8_t ReleaseFirmware = 13;
const std::vector<int> Ports = {91, 92, 93, 94};
constexpr std::size_t CurrentCards = 2;  // the first two run the release already

uint8_t DeviceIDOf(int Port) {
  return static_cast<uint8_t>(Port - 50);
}

// Each card sits behind a USB serial adapter of its own, as on a station: the record tells the
// cards apart by it.
tAdapterIdentity AdapterOf(int32_t Port) {
  return {"0403", "6001", "BENCH" + std::to_string(Port), "FT232R USB UART"};
}

void WriteBytes(const std::string& Path, const std::vector<uint8_t>& Bytes) {
  std::ofstream(Path, std::ios::binary)
      .write(reinterpret_cast<const char*>(Bytes.data()),
             static_cast<std::streamsize>(Bytes.size()));
}

// Lines go nowhere: the bench times the flows, not a terminal.
struct tQuietReport : tFlowReport {
  void Line(const std::string&) override {}
};

class tReleaseBench {
 public:
  tReleaseBench() : Root(tFiles::MakeTempFolder("caddis-release-bench-")) {
    tEnvironment::Set("CADDIS_RUNTIME_DIR", Root + "/run");
    tEnvironment::Set("CADDIS_CONFIG_DIR", Root + "/config");
    tEnvironment::Set("CADDIS_LOG_DIR", Root);
    tEnvironment::Set("XDG_STATE_HOME", Root + "/state");
    FPGA = Root + "/SkerryFPGA.bit";
    USBAudio = Root + "/xmos.bin";
    Firmware = Root + "/SkerryTiva.dfu";
    WriteBytes(FPGA, MakeVersionedFPGAImage(ReleaseFPGA, 16 * 1024));
    WriteBytes(USBAudio, std::vector<uint8_t>(16 * 1024, 0x5A));
    WriteBytes(Firmware, dfu::MakeDemoImage(ReleaseFirmware, 32 * 1024));
    LMDFUInit();
  }
  ~tReleaseBench() {
    StopCards();
    std::filesystem::remove_all(Root);
  }

  // Four fresh cards, the first two at the release, and a fresh record that shows the USB-audio
  // image of those two.
  bool StartCards(int Run) {
    StopCards();
    Record = Root + "/record-" + std::to_string(Run) + ".jsonl";
    tEnvironment::Set("CADDIS_RECORD", Record);
    const std::string Sim = tPaths::ExecutableFolder() + "/caddis-card-sim";
    std::string Error;
    for (std::size_t i = 0; i < Ports.size(); ++i) {
      const bool Current = i < CurrentCards;
      Cards.push_back(tChildProcess::Start(
          {Sim, "--com", std::to_string(Ports[i]), "--wire-baud", "115200", "--device-id",
           std::to_string(DeviceIDOf(Ports[i])), "--firmware", Current ? "13" : "12",
           "--fpga-version", Current ? ReleaseFPGA : "0104052026", "--restart-ms", "500"},
          Error));
      if (!Cards.back()) return false;
      if (Current && !RecordUSBAudio(Ports[i])) return false;
    }
    const auto Until = tClock::now() + 10s;
    for (int Port : Ports)
      while (!std::filesystem::exists(Root + "/run/ports/COM" + std::to_string(Port)))
        if (tClock::now() > Until)
          return false;
        else
          std::this_thread::sleep_for(10ms);
    return true;
  }

  // The recipe on one card with the release's facts; Force sends every image. True when every
  // step succeeded (skipped ones included).
  bool Serve(int Port, bool Force) {
    tCardSession Session([&Session](std::chrono::milliseconds Span) {
      return tHostLoop(Session.Host.get()).RunFor(Span) != le_Stopped;
    });
    Session.AdapterOf = AdapterOf;
    tQuietReport Report;
    const std::vector<uint8_t> Fits = {DeviceIDOf(Ports[0]), DeviceIDOf(Ports[1]),
                                       DeviceIDOf(Ports[2]), DeviceIDOf(Ports[3])};
    for (const tImageKind Kind : {ik_FPGA, ik_USBAudio}) {
      tImageUpdateRequest Update;
      Update.Kind = Kind;
      Update.What = Kind == ik_FPGA ? "FPGA" : "USB Audio";
      Update.Port = Port;
      Update.File = Kind == ik_FPGA ? FPGA : USBAudio;
      Update.Record.Program = "bench";
      if (Kind == ik_FPGA) Update.ExpectedVersion = ReleaseFPGA;
      Update.ExpectedSHA256 = tSha256::HexOf(ReadAll(*Update.File));
      Update.DeviceIDs = Fits;
      Update.Force = Force;
      Update.Release = tReleaseFacts{"bench", "2026.12", Root + "/release.zip", "", "", false};
      if (!RunFlow(ImageUpdateFlow(Session, Report, Update), &Session.Host).Ok) return false;
      Session.Close();
    }
    tFirmwareRequest Update;
    Update.Port = Port;
    Update.File = Firmware;
    Update.Record.Program = "bench";
    Update.ExpectedVersion = ReleaseFirmware;
    Update.ExpectedSHA256 = tSha256::HexOf(ReadAll(Firmware));
    Update.DeviceIDs = Fits;
    Update.Force = Force;
    Update.Proof.Settle = 2s;
    const bool Ok = RunFlow(FirmwareUpdateFlow(Session, Report, Update), &Session.Host).Ok;
    Session.Close();
    return Ok;
  }

  std::string Root, FPGA, USBAudio, Firmware, Record;

 private:
  static std::vector<uint8_t> ReadAll(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
  }
  // The record's line of a USB-audio update of the card on Port with the release's image.
  bool RecordUSBAudio(int Port) {
    tServiceEntry Entry;
    Entry.Action = tRecordAction::USBAudio;
    Entry.Program = "bench";
    Entry.Start = Entry.End = std::chrono::system_clock::now();
    Entry.Port = Port;
    Entry.Adapter = Entry.AdapterAfter = AdapterOf(Port);
    Entry.Before = Entry.After = tCardFacts{true, DeviceIDOf(Port), ReleaseFirmware, ReleaseFPGA};
    Entry.Image = ImageFactsOf(USBAudio);
    Entry.Result = sr_Succeeded;
    std::string Error;
    return AppendServiceRecord(Record, Entry, Error);
  }
  void StopCards() {
    for (auto& Card : Cards)
      if (Card) {
        Card->Stop(tChildProcess::ps_Terminate);
        Card->Wait();
      }
    Cards.clear();
  }

  std::vector<std::unique_ptr<tChildProcess>> Cards;
};

void BM_ReleaseWithTwoCardsCurrent(benchmark::State& State) {
  tReleaseBench Bench;
  double Release = 0, Full = 0, CurrentCard = 0, UpdatedCard = 0;
  int Run = 0;
  for (auto _ : State) {
    for (const bool Force : {false, true}) {
      State.PauseTiming();
      if (!Bench.StartCards(++Run)) {
        State.SkipWithError("the simulated cards did not start");
        return;
      }
      State.ResumeTiming();
      const auto Start = tClock::now();
      for (std::size_t i = 0; i < Ports.size(); ++i) {
        const auto CardStart = tClock::now();
        if (!Bench.Serve(Ports[i], Force)) {
          State.SkipWithError("a card's update failed");
          return;
        }
        const double Card = std::chrono::duration<double>(tClock::now() - CardStart).count();
        if (!Force && i == 0) CurrentCard += Card;
        if (!Force && i == CurrentCards) UpdatedCard += Card;
      }
      (Force ? Full : Release) += std::chrono::duration<double>(tClock::now() - Start).count();
    }
  }
  const double Runs = static_cast<double>(State.iterations());
  State.counters["release_s"] = Release / Runs;
  State.counters["full_s"] = Full / Runs;
  State.counters["release_to_full"] = Release / Full;
  State.counters["current_card_s"] = CurrentCard / Runs;
  State.counters["updated_card_s"] = UpdatedCard / Runs;
  State.counters["current_to_updated"] = CurrentCard / UpdatedCard;
}
BENCHMARK(BM_ReleaseWithTwoCardsCurrent)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

}  // namespace
