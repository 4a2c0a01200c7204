// caddis station: the production line's station. Serial ports arrive (hot-plug notices); each
// new card gets the recipe (FPGA, then USB audio, then firmware, as given), one child program
// per step, and is then done until it is unplugged: its port gone for longer than --gone,
// longer than the card's own restarts take, so a card that an update restarted is never
// updated twice. The rules are the card session's tStationRules; this is their wiring: the
// options, the hot-plug notices, the children and their events, the screen.
//
// On a terminal the screen (session/StationScreen.h) is redrawn in place, fitted to the
// terminal's size as asked before every redraw; in a pipe each event is a line, and with --json
// each child's JSON Lines event is passed on as it is, the station's own lines as message events.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "cli/SeveralCards.h"
#include "cli/SiteCommands.h"
#include "platform/Console.h"
#include "platform/DeviceNotifier.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "session/FirmwareBackup.h"
#include "session/PortRescan.h"
#include "session/StationRules.h"
#include "session/StationScreen.h"

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
      : fRecipe(Recipe),
        fRules(std::move(Recipe), Gone,
               [](int32_t Port) { return !tPortCatalogue::DevicePathFor(Port).empty(); }),
        fProgram(std::move(Program)),
        fExtra(std::move(Extra)),
        fJson(tCliEvents::On()),
        fTerminal(!fJson && tConsole::OutputIsTerminal()) {}

  // The option that gives each child its step's image: "--file" (the default), or "--package"
  // when the steps' images come from a release package.
  void ImagesFrom(std::string Option) { fImageOption = std::move(Option); }

  // Options only the step Command takes, passed to its children.
  void StepOptions(const std::string& Command, std::vector<std::string> Options) {
    fStepExtra[Command] = std::move(Options);
  }

  void Arrived(int32_t Port, tClock::time_point Now) {
    fPorts.insert(Port);
    Carry(fRules.Arrived(Port, Now), Now);
  }
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
        if (fJson) {
          std::printf("%s\n", Happening.Text.c_str());
          std::fflush(stdout);
        } else if (const std::string Text = EventText(Happening.Port, Event); !Text.empty()) {
          Line(Text);
        }
        fChanged = true;
        break;
      }
      case tChildRunner::tHappening::ch_ErrorLine:
        // With --json a step's own error event says it; its stderr stays out of the events.
        if (!fTerminal && !fJson)
          Line("COM" + std::to_string(Happening.Port) + " " + Happening.Text);
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

  void KeepFirmware(std::string Folder, std::size_t Keep) {
    fKeptFolder = std::move(Folder);
    fKeep = Keep;
  }

  void StopAll(tChildProcess::tStop How, tClock::time_point Now) {
    Carry(fRules.StopAll(How), Now);
  }
  void Close() { fRules.Close(); }
  tChildRunner& Runner() { return fRunner; }

  // The live screen on a terminal, redrawn in place when something changed, at least every
  // second while a card is being worked on (its time runs), and when the terminal's size did.
  // No line is wider than the terminal, so the lines drawn are the lines to move up by.
  void Draw(tClock::time_point Now) {
    if (!fTerminal) return;
    const int Width = tConsole::OutputColumns();
    const int Height = tConsole::OutputLines();
    const bool Resized = Width != fDrawnWidth || Height != fDrawnHeight;
    const bool Ticking = fLastDraw && Now - *fLastDraw >= std::chrono::seconds(1);
    if (!fChanged && !Resized && !Ticking) return;
    fChanged = false;
    fLastDraw = Now;
    // The line under the screen holds the cursor: the screen takes one line less than the
    // window, so drawing it never scrolls its heading away.
    const auto Lines = StationScreen(Views(Now), Footer(true), Width > 1 ? Width - 1 : 79,
                                     Height > 1 ? Height - 1 : 0);
    if (Resized && fDrawnLines > 0) {
      // The terminal may have rewrapped what was drawn at the old size: start afresh at the top.
      std::printf("\033[H\033[2J");
    } else if (fDrawnLines > 0) {
      std::printf("\033[%dA", fDrawnLines);
    }
    std::printf("\r\033[J");
    for (const std::string& Text : Lines)
      std::printf("%s\n", Text.c_str());
    fDrawnLines = static_cast<int>(Lines.size());
    fDrawnWidth = Width;
    fDrawnHeight = Height;
    std::fflush(stdout);
  }

  std::string Footer(bool Running) const {
    return "Served: " + std::to_string(fServed.size()) +
           ", succeeded: " + std::to_string(Succeeded()) +
           (Running ? ". Ctrl-C ends the station." : "");
  }

  // Every port the station has seen, as the screen shows it at Now.
  std::vector<tStationPortView> Views(tClock::time_point Now) const {
    std::vector<tStationPortView> Views;
    for (const int32_t Port : fPorts) {
      const auto Found = fRows.find(Port);
      if (Found == fRows.end()) {
        Views.push_back({Port, tStationPortView::ps_Empty, "", "", "", std::nullopt});
        continue;
      }
      const auto Since = fSince.find(Port);
      const auto Done = fDoneAt.find(Port);
      std::optional<double> Seconds;
      if (Since != fSince.end())
        Seconds = std::chrono::duration<double>((Done != fDoneAt.end() ? Done->second : Now) -
                                                Since->second)
                      .count();
      Views.push_back(ViewOf(Found->second, Seconds, fServedPorts.contains(Port), true));
    }
    return Views;
  }

  // A card's row on the screen: working until it is Served, then passed or failed. Live: the
  // card is in its port now, and its step is the one under way or last.
  tStationPortView ViewOf(const tCardRow& Row, std::optional<double> Seconds, bool Served,
                          bool Live) const {
    tStationPortView View;
    View.Port = Row.Port;
    View.Card = Row.Card;
    View.Versions = Row.Before + (Row.After.empty() ? "" : " -> " + Row.After);
    View.Seconds = Seconds;
    const auto Step = fStepOf.find(Row.Port);
    // "2/3 " before the step of a recipe of several.
    const std::string Of =
        !Live || Step == fStepOf.end() || fRecipe.size() < 2
            ? ""
            : std::to_string(Step->second + 1) + "/" + std::to_string(fRecipe.size()) + " ";
    if (!Served) {
      View.State = tStationPortView::ps_Working;
      View.Step = Of + (Row.Phase.empty() ? "starting" : Row.Phase);
    } else if (Row.Exit == ExitOk) {
      View.State = tStationPortView::ps_Pass;
      View.Step =
          fRecipe.size() < 2 ? "passed" : "passed all " + std::to_string(fRecipe.size()) + " steps";
    } else {
      View.State = tStationPortView::ps_Fail;
      View.Step = Of + (Row.Phase == "port busy" ? "port busy: " : "") + Row.Result;
    }
    return View;
  }

  // The cards served, as the screen shows them at the end.
  std::vector<tStationPortView> ServedViews() const {
    std::vector<tStationPortView> Views;
    for (const tCardRow& Row : fServed)
      Views.push_back(ViewOf(Row, Row.Seconds, true, false));
    return Views;
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
          if (fJson) {
            nlohmann::ordered_json Event = tCliEvents::Event("message");
            Event["port"] = Action.Port > 0 ? nlohmann::ordered_json(Action.Port) : nullptr;
            Event["text"] = Action.Text;
            tCliEvents::Emit(Event);
          }
          Line(Action.Text);
          break;
        case tStationAction::sa_Served: {
          tCardRow& Row = fRows[Action.Port];
          fServedPorts.insert(Action.Port);
          fDoneAt[Action.Port] = Now;
          const auto Since = fSince.find(Action.Port);
          if (Since != fSince.end())
            Row.Seconds = std::chrono::duration<double>(Now - Since->second).count();
          fServed.push_back(Row);
          if (fKeep > 0)
            for (const std::string& Name : PruneKeptFirmware(fKeptFolder, fKeep))
              Line("COM" + std::to_string(Action.Port) + " kept firmware " + Name +
                   " removed (the newest " + std::to_string(fKeep) + " per card stay)");
          break;
        }
        case tStationAction::sa_Forget:
          fRows.erase(Action.Port);
          fSince.erase(Action.Port);
          fDoneAt.erase(Action.Port);
          fStepOf.erase(Action.Port);
          fServedPorts.erase(Action.Port);
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
    std::vector<std::string> Argv = {fProgram,     Step.Command, "--port", std::to_string(Port),
                                     fImageOption, Step.File,    "--json"};
    Argv.insert(Argv.end(), fExtra.begin(), fExtra.end());
    if (const auto Own = fStepExtra.find(Step.Command); Own != fStepExtra.end())
      Argv.insert(Argv.end(), Own->second.begin(), Own->second.end());
    // A card new to the station (none in the port yet, or the one there was served): a fresh
    // row, and its time on the station starts.
    if (!fRows.contains(Port) || fServedPorts.contains(Port)) {
      fRows[Port] = tCardRow{};
      fSince[Port] = Now;
      fDoneAt.erase(Port);
      fServedPorts.erase(Port);
    }
    const auto Index = std::find_if(fRecipe.begin(), fRecipe.end(), [&](const tStationStep& Each) {
      return Each.Command == Step.Command;
    });
    fStepOf[Port] = static_cast<std::size_t>(Index - fRecipe.begin());
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

  // A line for a log (standard output that is not a terminal, without --json).
  void Line(const std::string& Text) {
    if (fTerminal || fJson) return;
    std::printf("%s\n", Text.c_str());
    std::fflush(stdout);
  }

  std::vector<tStationStep> fRecipe;
  tStationRules fRules;
  std::string fProgram;
  std::vector<std::string> fExtra;
  std::string fImageOption = "--file";
  std::map<std::string, std::vector<std::string>> fStepExtra;  // by the step's command
  bool fJson;
  bool fTerminal;
  bool fChanged = true;
  int fDrawnLines = 0;  // lines of the screen drawn last, each one line of the terminal
  int fDrawnWidth = -1, fDrawnHeight = -1;
  std::optional<tClock::time_point> fLastDraw;
  std::set<int32_t> fPorts;                       // every port seen, shown empty without a card
  std::map<int32_t, tClock::time_point> fSince;   // the card's first step started then
  std::map<int32_t, tClock::time_point> fDoneAt;  // the card was served then
  std::map<int32_t, std::size_t> fStepOf;         // the recipe's step under way or last
  std::string fKeptFolder;  // the kept firmware, pruned to the newest fKeep per card (0: never)
  std::size_t fKeep = 0;
  std::set<int32_t> fServedPorts;            // the card in the port is served
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
  if (Options.Package && (Options.FPGA || Options.USBAudio || Options.Firmware))
    return UsageError(Context.Command, "give the recipe's images or --package, not both");
  // A release package is checked once here, before the first card comes (and again by each
  // step, which sends what it checked itself): its images make the recipe.
  std::optional<tReleasePackage> Release;
  if (!TakePackage(Options, Release, Exit)) return Exit;
  const tPackageImageKind Kinds[] = {pk_FPGA, pk_USBAudio, pk_Firmware};
  for (size_t i = 0; i < std::size(Steps); ++i) {
    const tOption& Step = Steps[i];
    if (Release) {
      if (!Release->Manifest.ImageOf(Kinds[i])) continue;
      Recipe.push_back(Step.Step);
      Recipe.back().File = *Options.Package;
      continue;
    }
    if (!Step.File) continue;
    if (!CheckImage(Step.Option, *Step.File, Exit)) return Exit;
    Recipe.push_back(Step.Step);
    Recipe.back().File = *Step.File;
  }
  if (Recipe.empty())
    return UsageError(Context.Command,
                      "give the recipe: --fpga F, --usb-audio U, --firmware D, or --package P");
  int32_t Keep = 0;
  if (!ParseIndex(Options.KeepFirmware, 1000, Keep) || Keep < 1)
    return UsageError(Context.Command,
                      "--keep-firmware wants a number 1..1000, not '" + Options.KeepFirmware + "'");
  // The site database, when one is named, is reached on a thread of its own.
  tCliResult SiteExit;
  const std::unique_ptr<tStationSite> Site = OpenStationSite(Context, Options, SiteExit);
  if (SiteExit.Exit != ExitOk) return SiteExit;
  const std::string Program = tPaths::ExecutablePath();
  if (Program.empty()) return Failure("cannot find the caddis program itself to run it per card");
  tCliEvents::Start();
  std::vector<std::string> Extra;
  if (Context.Verbose) Extra.push_back("-v");
  if (Options.Record) Extra.insert(Extra.end(), {"--record", *Options.Record});
  if (Release && Options.AllowUnsigned) Extra.push_back("--allow-unsigned");

  tDeviceNotifier Notifier(tPaths::PortFolder(), tPortCatalogue::PortNameOfKernelDevice);
  tStationRun Station(Recipe, Seconds(Options.Gone), Program, Extra);
  if (Release) Station.ImagesFrom("--package");
  // The version policy and the firmware's proof, for the steps that take them.
  const std::vector<std::string> Force =
      Options.Force ? std::vector<std::string>{"--force"} : std::vector<std::string>{};
  Station.StepOptions("update-fpga", Force);
  Station.StepOptions("update-usb-audio", Force);
  std::vector<std::string> FirmwareOptions = Force;
  if (Options.AllowDowngrade) FirmwareOptions.push_back("--allow-downgrade");
  if (Options.NoRollback) FirmwareOptions.push_back("--no-rollback");
  if (Options.Settle != tFirmwarePolicyGroup{}.Settle) {
    char Settle[32];
    std::snprintf(Settle, sizeof Settle, "%.3f", Options.Settle);
    FirmwareOptions.insert(FirmwareOptions.end(), {"--settle", Settle});
  }
  Station.StepOptions("update-firmware", FirmwareOptions);
  // Each firmware step keeps the card's firmware first: only the newest few per card stay.
  if (Options.Firmware || (Release && Release->Manifest.ImageOf(pk_Firmware)))
    Station.KeepFirmware(KeptFirmwareFolder(Options.Record.value_or("")),
                         static_cast<std::size_t>(Keep));
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
    Station.Draw(tClock::now());
    if (Site) Site->Ports(Station.Views(tClock::now()));
    // Between rounds: the children's output wakes it at once.
    if (Station.Runner().Next(Happening, std::chrono::milliseconds(100)))
      Station.Take(Happening, tClock::now());
  }
  std::vector<int> Exits;
  for (const tCardRow& Row : Station.Served())
    Exits.push_back(Row.Exit);
  const int Ended = StopSent ? InterruptedExit().Exit : CombinedExit(Exits);
  if (tCliEvents::On()) {
    nlohmann::ordered_json Summary = tCliEvents::Event("summary");
    Summary["ok"] = Ended == ExitOk;
    Summary["exit"] = Ended;
    Summary["cards"] = SummaryCards(Station.Served());
    tCliEvents::Emit(Summary);
    tCliEvents::MarkEnded();
    return StopSent ? InterruptedExit() : tCliResult(Ended);
  }
  std::printf("\n");
  if (tConsole::OutputIsTerminal()) {
    const int Width = tConsole::OutputColumns();
    for (const std::string& Line :
         StationScreen(Station.ServedViews(), Station.Footer(false), Width > 1 ? Width - 1 : 79))
      std::printf("%s\n", Line.c_str());
  } else {
    for (const std::string& Line : CardTable(Station.Served()))
      std::printf("%s\n", Line.c_str());
    std::printf("%s\n", Station.Footer(false).c_str());
  }
  std::fflush(stdout);
  return StopSent ? InterruptedExit() : tCliResult(Ended);
}
