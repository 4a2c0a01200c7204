// caddis station: the production line's station. Serial ports arrive (hot-plug notices); each
// new card gets the recipe (FPGA, then USB audio, then firmware, as given), one child program
// per step, and is then done until it is unplugged: its port gone for longer than --gone,
// longer than the card's own restarts take, so a card that an update restarted is never
// updated twice. The rules are the card session's tStationRules; this is their wiring: the
// options, the hot-plug notices, the children and their events, the table.
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
#include "session/PortRescan.h"
#include "session/StationRules.h"

namespace {

using tClock = std::chrono::steady_clock;

// The program that holds the port, when a step's error says its port is in use by one; ""
// otherwise. The step's error is of kind "port" and says "COM5 is in use by minicom (pid 812)".
std::string BusyHolder(const nlohmann::json& Event) {
  if (Event.value("event", "") != "error" || Event.value("kind", "") != "port") return "";
  const std::string Message = Event.value("message", "");
  const std::string Mark = " is in use by ";
  const auto At = Message.find(Mark);
  return At == std::string::npos ? "" : Message.substr(At + Mark.size());
}

// The station's wiring: the rules (tStationRules) decide; this runs the children, keeps each
// card's row from its child's events and draws the table.
class tStationRun {
 public:
  tStationRun(std::vector<tStationStep> Recipe, std::chrono::milliseconds Gone, std::string Program,
              std::vector<std::string> Extra)
      : fRules(std::move(Recipe), Gone,
               [](int32_t Port) { return !tPortCatalogue::DevicePathFor(Port).empty(); }),
        fProgram(std::move(Program)),
        fExtra(std::move(Extra)),
        fTerminal(tConsole::OutputIsTerminal()) {}

  void Arrived(int32_t Port, tClock::time_point Now) { Carry(fRules.Arrived(Port, Now), Now); }
  void Removed(int32_t Port, tClock::time_point Now) { fRules.Removed(Port, Now); }
  void Tick(tClock::time_point Now) { Carry(fRules.Tick(Now), Now); }

  void Take(const tChildRunner::tHappening& Happening, tClock::time_point Now) {
    if (const auto Check = fChecks.find(Happening.Port); Check != fChecks.end()) {
      TakeCheck(Check, Happening, Now);
      return;
    }
    auto Found = fRows.find(Happening.Port);
    if (Found == fRows.end()) return;
    tCardRow& Row = Found->second;
    switch (Happening.Kind) {
      case tChildRunner::tHappening::ch_Output: {
        const nlohmann::json Event = nlohmann::json::parse(Happening.Text, nullptr, false);
        if (Event.is_discarded() || !Event.is_object()) return;
        // The next step's card event comes "before" its update: the first step's is the card's.
        if (Event.value("event", "") == "card" && Event.value("phase", "") == "before" &&
            !Row.Before.empty())
          return;
        // The first step's card is the card served, with the adapter its port belongs to.
        if (Event.value("event", "") == "card" && Event.value("phase", "") == "before")
          fRules.CardIdentified(Happening.Port, IdentityOf(Happening.Port, Event));
        TakeEvent(Row, Event);
        if (Event.value("event", "") == "card" && Event.value("phase", "") == "other")
          fRules.OtherCardSeen(Happening.Port);
        if (const std::string Holder = BusyHolder(Event); !Holder.empty())
          fBusy[Happening.Port] = Holder;
        if (!fTerminal)
          if (const std::string Text = EventText(Happening.Port, Event); !Text.empty()) Line(Text);
        fChanged = true;
        break;
      }
      case tChildRunner::tHappening::ch_ErrorLine:
        if (!fTerminal) Line("COM" + std::to_string(Happening.Port) + " " + Happening.Text);
        break;
      case tChildRunner::tHappening::ch_Ended: {
        FinishRow(Row, Happening.Exit, "");
        fChanged = true;
        const std::string Holder = fBusy[Happening.Port];
        fBusy.erase(Happening.Port);
        if (Row.Exit == ExitPort && !Holder.empty()) {
          Row.Phase = "port busy";
          Carry(fRules.StepBusy(Happening.Port, Holder, Now), Now);
        } else {
          Carry(fRules.StepEnded(Happening.Port, Row.Exit, Now), Now);
        }
        break;
      }
    }
  }

  void StopAll(tChildProcess::tStop How, tClock::time_point Now) {
    Carry(fRules.StopAll(How), Now);
  }
  void Close() { fRules.Close(); }
  tChildRunner& Runner() { return fRunner; }

  // The live table on a terminal, redrawn in place.
  void Draw() {
    if (!fTerminal || !fChanged) return;
    fChanged = false;
    std::vector<tCardRow> Rows;
    for (const auto& [Port, Row] : fRows)
      Rows.push_back(Row);
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
  // Carries out the rules' actions, in their order.
  void Carry(const tStationRules::tActions& Actions, tClock::time_point Now) {
    for (const tStationAction& Action : Actions) {
      fChanged = true;
      switch (Action.Kind) {
        case tStationAction::sa_Start:
          StartStep(Action, Now);
          break;
        case tStationAction::sa_Stop:
          fRunner.Stop(Action.Port, Action.How);
          break;
        case tStationAction::sa_Line:
          Line(Action.Text);
          break;
        case tStationAction::sa_Served: {
          tCardRow& Row = fRows[Action.Port];
          Row.Phase.clear();
          fServed.push_back(Row);
          break;
        }
        case tStationAction::sa_Forget:
          fRows.erase(Action.Port);
          break;
        case tStationAction::sa_Check: {
          // A short child asks the card in the port who it is.
          const std::vector<std::string> Argv = {fProgram, "status", "--port",
                                                 std::to_string(Action.Port), "--json"};
          std::string Error;
          fChecks[Action.Port] = {};
          if (!fRunner.Start(Action.Port, Argv, Error)) {
            fChecks.erase(Action.Port);
            Carry(fRules.Checked(Action.Port, {}, Now), Now);
          }
          break;
        }
      }
    }
  }

  void StartStep(const tStationAction& Step, tClock::time_point Now) {
    const int32_t Port = Step.Port;
    std::vector<std::string> Argv = {fProgram, Step.Command, "--port", std::to_string(Port),
                                     "--file", Step.File,    "--json"};
    Argv.insert(Argv.end(), fExtra.begin(), fExtra.end());
    tCardRow& Row = fRows[Port];
    Row.Port = Port;
    Row.Exit = -1;
    Row.Result.clear();
    Row.Phase = Step.Command;
    std::string Error;
    if (!fRunner.Start(Port, Argv, Error)) {
      FinishRow(Row, ExitFailure, Error);
      Carry(fRules.StepEnded(Port, Row.Exit, Now), Now);
    }
  }

  static tCardIdentity IdentityOf(int32_t Port, const nlohmann::json& Event) {
    tCardIdentity Card;
    Card.DeviceID = static_cast<uint8_t>(Event.value("device_id", 0));
    Card.Adapter = AdapterOfPort(Port);
    return Card;
  }

  // The check child's card event names the card; its end gives the answer to the rules.
  void TakeCheck(std::map<int32_t, tCardIdentity>::iterator Check,
                 const tChildRunner::tHappening& Happening, tClock::time_point Now) {
    if (Happening.Kind == tChildRunner::tHappening::ch_Output) {
      const nlohmann::json Event = nlohmann::json::parse(Happening.Text, nullptr, false);
      if (Event.is_object() && Event.value("event", "") == "card")
        Check->second = IdentityOf(Happening.Port, Event);
    } else if (Happening.Kind == tChildRunner::tHappening::ch_Ended) {
      const tCardIdentity Card = Happening.Exit == 0 ? Check->second : tCardIdentity{};
      fChecks.erase(Check);
      Carry(fRules.Checked(Happening.Port, Card, Now), Now);
    }
  }

  // A line for a log (standard output that is not a terminal).
  void Line(const std::string& Text) {
    if (fTerminal) return;
    std::printf("%s\n", Text.c_str());
    std::fflush(stdout);
  }

  tStationRules fRules;
  std::string fProgram;
  std::vector<std::string> fExtra;
  bool fTerminal;
  bool fChanged = true;
  int fDrawnLines = 0;
  std::map<int32_t, tCardIdentity> fChecks;  // the ports whose card is being asked who it is
  std::map<int32_t, std::string> fBusy;      // the program holding the port, as a step's error said
  std::map<int32_t, tCardRow> fRows;         // the cards the rules keep, as their children report
  std::vector<tCardRow> fServed;
  tChildRunner fRunner;
};

// The image must be a readable file before the first card comes.
bool CheckImage(const std::string& Option, const std::string& File, tCliResult& Exit) {
  uint64_t Size = 0;
  const tFlowOutcome Readable = CheckReadableImage(File, Size);
  if (Readable.Ok) return true;
  Exit = Failure(fk_Image, Option + ": " + Readable.Text);
  return false;
}

}  // namespace

tCliResult StationCommand(const tCliContext& Context, const tStationOptions& Options) {
  std::vector<tStationStep> Recipe;
  tCliResult Exit;
  struct tOption {
    const char* Option;
    const std::optional<std::string>& File;
    tStationStep Step;
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
    Station.Arrived(Port.Number, tClock::now());
  // A notice that never comes costs a card a few seconds, not its service.
  tPortRescan Rescan;
  Rescan.Start(tClock::now());
  if (Context.Verbose)
    std::fprintf(stderr, "Port notices from: %s; the port list is read again every %lld s\n",
                 Notifier.Sources().empty() ? "nowhere" : Notifier.Sources().c_str(),
                 static_cast<long long>(Rescan.Period().count() / 1000));
  const double Limit = Options.Seconds;
  const auto Until = tClock::now() + (Limit > 0 ? Seconds(Limit) : std::chrono::hours(24 * 365));
  bool StopSent = false;
  for (;;) {
    const auto Now = tClock::now();
    if (StopRequested() && !StopSent) {
      Station.StopAll(ChildStopFor(LoopStopSignal()), Now);
      StopSent = true;
    }
    if (Now >= Until) Station.Close();
    if ((StopSent || Now >= Until) && Station.Runner().Running() == 0) break;
    std::vector<tDeviceChange> Changes = Notifier.ReadChanges();
    for (const tDeviceChange& Change : Changes)
      Rescan.Noted(Change);
    for (const tDeviceChange& Change : Rescan.Due(Now)) {
      if (Context.Verbose)
        std::fprintf(stderr, "%s %s by the re-scan of the port list (no notice came)\n",
                     Change.PortName.c_str(),
                     Change.Kind == tDeviceChange::dc_Arrival ? "found" : "gone");
      Changes.push_back(Change);
    }
    for (const tDeviceChange& Change : Changes) {
      const int Port = PortNumberFromName(Change.PortName);
      if (Port <= 0) continue;
      if (Change.Kind == tDeviceChange::dc_Arrival)
        Station.Arrived(Port, Now);
      else
        Station.Removed(Port, Now);
    }
    Station.Tick(Now);
    tChildRunner::tHappening Happening;
    while (Station.Runner().Next(Happening, std::chrono::milliseconds(0)))
      Station.Take(Happening, tClock::now());
    Station.Draw();
    // Between rounds: the children's output wakes it at once.
    if (Station.Runner().Next(Happening, std::chrono::milliseconds(100)))
      Station.Take(Happening, tClock::now());
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
