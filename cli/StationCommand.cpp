// caddis station: the production line's station. Serial ports arrive (hot-plug notices); each
// new card gets the recipe (FPGA, then USB audio, then firmware, as given), one child program
// per step, and is then done until it is unplugged: its port gone for longer than --gone,
// longer than the card's own restarts take, so a card that an update restarted is never
// updated twice.
#include <cstdio>
#include <map>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "cli/SeveralCards.h"
#include "platform/Console.h"
#include "platform/DeviceNotifier.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"

namespace {

using tClock = std::chrono::steady_clock;

struct tStep {
  const char* Command;  // "update-fpga"
  std::string File;
  // The firmware step: the card leaves its serial port for the whole download (it runs its
  // boot loader), and its child follows it there, so a port gone then is not an unplugging.
  bool PortAwayDuringStep = false;
};

// A port the station serves.
struct tStation {
  tCardRow Row;
  std::size_t Step = 0;  // the recipe's step under way or next
  bool Done = false;     // the recipe has ended; nothing more until the card is unplugged
  bool Gone = false;     // the port has left since (GoneSince)
  tClock::time_point GoneSince;
  // The card was unplugged while its child ran (its port gone for longer than a restart takes):
  // the child was told to stop; a card that arrives meanwhile is a new one (NewArrival).
  bool Unplugged = false;
  bool NewArrival = false;
};

class tStationRun {
 public:
  tStationRun(std::vector<tStep> Recipe, std::chrono::milliseconds Gone, std::string Program,
              std::vector<std::string> Extra)
      : fRecipe(std::move(Recipe)),
        fGone(Gone),
        fProgram(std::move(Program)),
        fExtra(std::move(Extra)),
        fTerminal(tConsole::OutputIsTerminal()) {}

  // A port has arrived: a card not served yet starts its recipe; a done card's port that is
  // back within the time of a restart is the same card.
  void Arrived(int32_t Port) {
    auto Found = fPorts.find(Port);
    if (Found != fPorts.end()) {
      if (Found->second.Unplugged)
        Found->second.NewArrival = true;
      else
        Found->second.Gone = false;
      return;
    }
    if (fClosing) return;
    tStation& Station = fPorts[Port];
    Station.Row.Port = Port;
    Line("COM" + std::to_string(Port) + " arrived");
    StartStep(Station);
  }

  // A running card's port comes and goes with its own restarts: its child follows it, unless
  // the port stays gone for longer than a restart takes (ForgetUnplugged).
  void Removed(int32_t Port) {
    auto Found = fPorts.find(Port);
    if (Found == fPorts.end() || Found->second.Gone) return;
    Found->second.Gone = true;
    Found->second.GoneSince = tClock::now();
  }

  // Forgets the cards whose ports have been gone long enough: they were unplugged. A card
  // unplugged during a serial-link step has its child stopped, so that the next card in its
  // port is not taken for this one coming back from its restart.
  void ForgetUnplugged(tClock::time_point Now) {
    for (auto It = fPorts.begin(); It != fPorts.end();) {
      tStation& Station = It->second;
      if (!Station.Gone || Now - Station.GoneSince <= fGone) {
        ++It;
        continue;
      }
      if (Station.Done) {
        Line("COM" + std::to_string(It->first) + " unplugged");
        It = fPorts.erase(It);
        fChanged = true;
        continue;
      }
      if (!Station.Unplugged && !fRecipe[Station.Step].PortAwayDuringStep) {
        Line("COM" + std::to_string(It->first) + " unplugged during " +
             fRecipe[Station.Step].Command + ": its update is stopped");
        Station.Unplugged = true;
        fRunner.Stop(It->first, tChildProcess::ps_Interrupt);
        fChanged = true;
      }
      ++It;
    }
  }

  void Take(const tChildRunner::tHappening& Happening) {
    auto Found = fPorts.find(Happening.Port);
    if (Found == fPorts.end()) return;
    tStation& Station = Found->second;
    switch (Happening.Kind) {
      case tChildRunner::tHappening::ch_Output: {
        const nlohmann::json Event = nlohmann::json::parse(Happening.Text, nullptr, false);
        if (Event.is_discarded() || !Event.is_object()) return;
        // The next step's card event comes "before" its update: the first step's is the card's.
        if (Event.value("event", "") == "card" && Event.value("phase", "") == "before" &&
            !Station.Row.Before.empty())
          return;
        TakeEvent(Station.Row, Event);
        if (!fTerminal)
          if (const std::string Text = EventText(Happening.Port, Event); !Text.empty()) Line(Text);
        fChanged = true;
        break;
      }
      case tChildRunner::tHappening::ch_ErrorLine:
        if (!fTerminal) Line("COM" + std::to_string(Happening.Port) + " " + Happening.Text);
        break;
      case tChildRunner::tHappening::ch_Ended: {
        tCardRow& Row = Station.Row;
        FinishRow(Row, Happening.Exit, "");
        if (Station.Unplugged) {
          // Its card is gone; a card that arrived meanwhile is served afresh.
          Row.Phase.clear();
          fServed.push_back(Row);
          const int32_t Port = Happening.Port;
          const bool NewArrival = Station.NewArrival;
          fPorts.erase(Found);
          if (NewArrival) Arrived(Port);
        } else if (Row.Exit == ExitOk && ++Station.Step < fRecipe.size() && !fClosing) {
          StartStep(Station);
        } else {
          Station.Done = true;
          Row.Phase.clear();
          fServed.push_back(Row);
          // A card whose port is gone counts from when it went (Removed), or from now when
          // its going was not noticed.
          if (tPortCatalogue::DevicePathFor(Happening.Port).empty() && !Station.Gone) {
            Station.Gone = true;
            Station.GoneSince = tClock::now();
          }
        }
        fChanged = true;
        break;
      }
    }
  }

  void StopAll(tChildProcess::tStop How) {
    fClosing = true;
    fRunner.StopAll(How);
  }
  void Close() { fClosing = true; }
  tChildRunner& Runner() { return fRunner; }

  // The live table on a terminal, redrawn in place.
  void Draw() {
    if (!fTerminal || !fChanged) return;
    fChanged = false;
    std::vector<tCardRow> Rows;
    for (const auto& [Port, Station] : fPorts)
      Rows.push_back(Station.Row);
    if (fDrawnLines > 0) std::printf("\033[%dA", fDrawnLines);
    std::printf("\r\033[J");
    const auto Lines = CardTable(Rows);
    for (const std::string& Text : Lines)
      std::printf("%s\n", Text.c_str());
    std::printf("Served: %zu, succeeded: %zu. Ctrl-C ends the station.\n", fServed.size(),
                Succeeded());
    fDrawnLines = static_cast<int>(Lines.size()) + 1;
    std::fflush(stdout);
  }

  std::size_t Succeeded() const {
    std::size_t Count = 0;
    for (const tCardRow& Row : fServed)
      Count += Row.Exit == ExitOk;
    return Count;
  }
  const std::vector<tCardRow>& Served() const { return fServed; }

 private:
  void StartStep(tStation& Station) {
    const tStep& Step = fRecipe[Station.Step];
    const int32_t Port = Station.Row.Port;
    std::vector<std::string> Argv = {fProgram, Step.Command, "--port", std::to_string(Port),
                                     "--file", Step.File,    "--json"};
    Argv.insert(Argv.end(), fExtra.begin(), fExtra.end());
    Station.Row.Exit = -1;
    Station.Row.Result.clear();
    Station.Row.Phase = Step.Command;
    std::string Error;
    if (!fRunner.Start(Port, Argv, Error)) {
      FinishRow(Station.Row, ExitFailure, Error);
      Station.Done = true;
      fServed.push_back(Station.Row);
    }
    fChanged = true;
  }

  // A line for a log (standard output that is not a terminal).
  void Line(const std::string& Text) {
    if (fTerminal) return;
    std::printf("%s\n", Text.c_str());
    std::fflush(stdout);
  }

  std::vector<tStep> fRecipe;
  std::chrono::milliseconds fGone;
  std::string fProgram;
  std::vector<std::string> fExtra;
  bool fTerminal;
  bool fClosing = false;
  bool fChanged = true;
  int fDrawnLines = 0;
  std::map<int32_t, tStation> fPorts;
  std::vector<tCardRow> fServed;
  tChildRunner fRunner;
};

// The image must be a readable file before the first card comes.
bool CheckImage(const std::string& Option, const std::string& File, tCliResult& Exit) {
  uint64_t Size = 0;
  std::string Error;
  if (CheckReadableFile(File, Size, Error)) return true;
  Exit = Failure(fk_Image, Option + ": " + Error);
  return false;
}

}  // namespace

tCliResult StationCommand(const tCliContext& Context, const tStationOptions& Options) {
  std::vector<tStep> Recipe;
  tCliResult Exit;
  struct tOption {
    const char* Option;
    const std::optional<std::string>& File;
    tStep Step;
  };
  const tOption Steps[] = {{"--fpga", Options.FPGA, {"update-fpga", {}, false}},
                           {"--usb-audio", Options.USBAudio, {"update-usb-audio", {}, false}},
                           {"--firmware", Options.Firmware, {"update-firmware", {}, true}}};
  for (const tOption& Step : Steps) {
    if (!Step.File) continue;
    if (!CheckImage(Step.Option, *Step.File, Exit)) return Exit;
    Recipe.push_back(Step.Step);
    Recipe.back().File = *Step.File;
  }
  if (Recipe.empty())
    return UsageError(Context.Command, "give the recipe: --fpga F, --usb-audio U, --firmware D");
  const std::string Program = tPaths::ExecutablePath();
  if (Program.empty()) return Failure("cannot find the caddis program itself to run it per card");
  std::vector<std::string> Extra;
  if (Context.Verbose) Extra.push_back("-v");
  if (Options.Record) Extra.insert(Extra.end(), {"--record", *Options.Record});

  tDeviceNotifier Notifier(tPaths::PortFolder(), tPortCatalogue::PortNameOfKernelDevice);
  tStationRun Station(Recipe, Seconds(Options.Gone), Program, Extra);
  for (const auto& Port : tPortCatalogue::ListPorts())
    Station.Arrived(Port.Number);
  const double Limit = Options.Seconds;
  const auto Until = tClock::now() + (Limit > 0 ? Seconds(Limit) : std::chrono::hours(24 * 365));
  bool StopSent = false;
  for (;;) {
    const auto Now = tClock::now();
    if (StopRequested() && !StopSent) {
      Station.StopAll(ChildStopAsRequested());
      StopSent = true;
    }
    if (Now >= Until) Station.Close();
    if ((StopSent || Now >= Until) && Station.Runner().Running() == 0) break;
    for (const tDeviceChange& Change : Notifier.ReadChanges()) {
      const int Port = PortNumberFromName(Change.PortName);
      if (Port <= 0) continue;
      if (Change.Kind == tDeviceChange::dc_Arrival)
        Station.Arrived(Port);
      else
        Station.Removed(Port);
    }
    Station.ForgetUnplugged(Now);
    tChildRunner::tHappening Happening;
    while (Station.Runner().Next(Happening, std::chrono::milliseconds(0)))
      Station.Take(Happening);
    Station.Draw();
    // Between rounds: the children's output wakes it at once.
    if (Station.Runner().Next(Happening, std::chrono::milliseconds(100))) Station.Take(Happening);
  }
  std::printf("\n");
  for (const std::string& Line : CardTable(Station.Served()))
    std::printf("%s\n", Line.c_str());
  std::printf("Served: %zu, succeeded: %zu\n", Station.Served().size(), Station.Succeeded());
  std::fflush(stdout);
  if (StopSent) return InterruptedExit();
  std::vector<int> Exits;
  for (const tCardRow& Row : Station.Served())
    Exits.push_back(Row.Exit);
  return CombinedExit(Exits);
}
