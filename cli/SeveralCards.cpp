#include "cli/SeveralCards.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "cli/PortProbe.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"

namespace {

std::string Text(const nlohmann::json& Event, const char* Field) {
  const auto Found = Event.find(Field);
  return Found != Event.end() && Found->is_string() ? Found->get<std::string>() : std::string();
}

std::string SecondsShown(double Seconds) {
  char Shown[32];
  std::snprintf(Shown, sizeof Shown, "%.1f s", Seconds);
  return Shown;
}

// Seconds as a child's argument: plain decimals, at most six of them, as the child reads the
// operator's.
std::string SecondsArgument(double Seconds) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.6f", Seconds);
  std::string Argument = Text;
  Argument.erase(Argument.find_last_not_of('0') + 1);
  if (Argument.back() == '.') Argument.pop_back();
  return Argument;
}

double Number(const nlohmann::json& Event, const char* Field) {
  const auto Found = Event.find(Field);
  return Found != Event.end() && Found->is_number() ? Found->get<double>() : 0.0;
}

// "fw 3, FPGA 1.2" of a card event's fields.
std::string CardFacts(const nlohmann::json& Card) {
  if (!Card.is_object()) return "";
  std::string Facts;
  if (const auto Firmware = Card.find("firmware"); Firmware != Card.end() && Firmware->is_number())
    Facts = "fw " + std::to_string(Firmware->get<int>());
  if (const std::string FPGA = Text(Card, "fpga"); !FPGA.empty())
    Facts += (Facts.empty() ? "" : ", ") + std::string("FPGA ") + FPGA;
  return Facts;
}

}  // namespace

void TakeEvent(tCardRow& Row, const nlohmann::json& Event) {
  const std::string Name = Text(Event, "event");
  if (Name == "card") {
    const std::string Phase = Text(Event, "phase");
    // A card in the updated one's place is not this row's card: its child's error says so.
    if (Phase == "other") return;
    if (const auto ID = Event.find("device_id"); ID != Event.end() && ID->is_number())
      Row.Card = std::to_string(ID->get<int>());
    (Phase == "after" ? Row.After : Row.Before) = CardFacts(Event);
    nlohmann::ordered_json Card;
    for (const char* Field : {"device_id", "firmware", "fpga"})
      if (const auto Found = Event.find(Field); Found != Event.end()) Card[Field] = *Found;
    (Phase == "after" ? Row.AfterCard : Row.BeforeCard) = Card;
  } else if (Name == "progress") {
    Row.Phase = Text(Event, "phase") + " " +
                std::to_string(static_cast<int>(Number(Event, "percent"))) + "%";
  } else if (Name == "message") {
    Row.Phase = Text(Event, "text");
  } else if (Name == "result" || Name == "error") {
    const bool Ok = Name == "result";
    Row.Exit = static_cast<int>(Number(Event, "exit"));
    Row.Seconds = Number(Event, "duration_s");
    Row.Result = Ok ? "ok" : Text(Event, "kind") + ": " + Text(Event, "message");
    Row.Phase.clear();
  }
}

std::string EventText(int32_t Port, const nlohmann::json& Event) {
  const std::string Name = Text(Event, "event");
  const std::string Prefix = ComPortName(Port) + " ";
  if (Name == "start") {
    std::string Line = Prefix + Text(Event, "command");
    if (const auto Image = Event.find("image"); Image != Event.end() && Image->is_object())
      Line += " " + Text(*Image, "file") + " (" +
              std::to_string(Image->value("size", static_cast<uint64_t>(0))) + " bytes)";
    return Line;
  }
  if (Name == "card") {
    const std::string Phase = Text(Event, "phase");
    return Prefix + "card " + std::to_string(Event.value("device_id", 0)) + ": " +
           CardFacts(Event) + (Phase.empty() ? "" : " (" + Phase + ")");
  }
  if (Name == "progress") {
    // Every tenth, as progress lines in a pipe are.
    const int Percent = static_cast<int>(Number(Event, "percent"));
    if (Percent % 10 != 0) return "";
    return Prefix + Text(Event, "phase") + ": " + std::to_string(Percent) + "%";
  }
  if (Name == "message") return Prefix + Text(Event, "text");
  if (Name == "result") return Prefix + "done in " + SecondsShown(Number(Event, "duration_s"));
  if (Name == "error")
    return Prefix + "failed (" + Text(Event, "kind") + "): " + Text(Event, "message");
  return "";
}

std::vector<std::string> CardTable(const std::vector<tCardRow>& Rows) {
  // The result may be long (a failure's reason): it is the last column, after the time.
  std::vector<std::vector<std::string>> Cells = {
      {"Port", "Card", "Before", "After", "Time", "Result"}};
  for (const tCardRow& Row : Rows)
    Cells.push_back({ComPortName(Row.Port), Row.Card.empty() ? "-" : Row.Card,
                     Row.Before.empty() ? "-" : Row.Before, Row.After.empty() ? "-" : Row.After,
                     Row.Running() ? "" : SecondsShown(Row.Seconds),
                     Row.Running() ? (Row.Phase.empty() ? "running" : Row.Phase) : Row.Result});
  return AlignedColumns(Cells);
}

std::vector<std::string> ChildArguments(const std::vector<std::string>& Arguments,
                                        const std::string& Program, int32_t Port) {
  std::vector<std::string> Child{Program};
  for (std::size_t i = 1; i < Arguments.size(); ++i) {
    const std::string& Word = Arguments[i];
    if (Word == "--port") {
      ++i;  // and its value
      continue;
    }
    if (Word.rfind("--port=", 0) == 0 || Word == "--all" || Word == "--json") continue;
    Child.push_back(Word);
  }
  Child.insert(Child.end(), {"--port", std::to_string(Port), "--json"});
  return Child;
}

nlohmann::ordered_json SummaryCards(const std::vector<tCardRow>& Rows) {
  nlohmann::ordered_json Cards = nlohmann::ordered_json::array();
  for (const tCardRow& Row : Rows)
    Cards.push_back({{"port", Row.Port},
                     {"card", Row.Card.empty() ? nlohmann::ordered_json(nullptr)
                                               : nlohmann::ordered_json(std::stoi(Row.Card))},
                     {"before", Row.BeforeCard},
                     {"after", Row.AfterCard},
                     {"result", Row.Result},
                     {"exit", Row.Exit},
                     {"duration_s", Row.Seconds}});
  return Cards;
}

void FinishRow(tCardRow& Row, int Exit, const std::string& Why) {
  if (!Row.Running()) return;
  Row.Exit = Exit < 0 ? ExitFailure : Exit;
  Row.Result = std::string(OutcomeOf(KindOfExit(Row.Exit)).Name) + ": " +
               (Why.empty() ? "ended with exit status " + std::to_string(Exit) : Why);
}

namespace {

// Runs one child per port with Argv(port) and follows them to their end: Show gets each
// event line (already parsed) and each error line. Returns every child's exit status.
struct tFollow {
  std::vector<tCardRow> Rows;
  std::map<int32_t, std::size_t> RowOf;
};

tCardRow& RowFor(tFollow& Follow, int32_t Port) {
  const auto Found = Follow.RowOf.find(Port);
  if (Found != Follow.RowOf.end()) return Follow.Rows[Found->second];
  Follow.RowOf[Port] = Follow.Rows.size();
  Follow.Rows.push_back(tCardRow{});
  Follow.Rows.back().Port = Port;
  return Follow.Rows.back();
}

// Starts a child per port with the arguments Arguments(port) and follows them all to their
// end. Lines: each child event as the parent shows it (Passthrough: the child's JSON line as it
// is) and the children's error lines, named by port.
void RunChildren(const std::vector<int32_t>& Ports,
                 const std::function<std::vector<std::string>(int32_t)>& Arguments,
                 bool Passthrough, bool Quiet, tFollow& Follow) {
  tChildRunner Runner;
  for (int32_t Port : Ports) {
    tCardRow& Row = RowFor(Follow, Port);
    std::string Error;
    if (!Runner.Start(Port, Arguments(Port), Error)) FinishRow(Row, ExitFailure, Error);
  }
  bool StopSent = false;
  while (Runner.Running() > 0) {
    if (StopRequested() && !StopSent) {
      // A terminal's Ctrl-C reaches the children too; a stop request to this program alone is
      // passed on, so each card's update ends cleanly.
      Runner.StopAll(ChildStopFor(LoopStopSignal()));
      StopSent = true;
    }
    tChildRunner::tHappening Happening;
    if (!Runner.Next(Happening, std::chrono::milliseconds(100))) continue;
    tCardRow& Row = RowFor(Follow, Happening.Port);
    switch (Happening.Kind) {
      case tChildRunner::tHappening::ch_Output: {
        const nlohmann::json Event = nlohmann::json::parse(Happening.Text, nullptr, false);
        if (Event.is_discarded() || !Event.is_object()) {
          if (!Quiet)
            std::fprintf(stderr, "%s %s\n", ComPortName(Happening.Port).c_str(),
                         Happening.Text.c_str());
          continue;
        }
        TakeEvent(Row, Event);
        if (Quiet) continue;
        if (Passthrough) {
          std::printf("%s\n", Happening.Text.c_str());
        } else if (const std::string Line = EventText(Happening.Port, Event); !Line.empty()) {
          std::printf("%s\n", Line.c_str());
        }
        std::fflush(stdout);
        break;
      }
      case tChildRunner::tHappening::ch_ErrorLine:
        if (!Quiet)
          std::fprintf(stderr, "%s %s\n", ComPortName(Happening.Port).c_str(),
                       Happening.Text.c_str());
        break;
      case tChildRunner::tHappening::ch_Ended:
        FinishRow(Row, Happening.Exit, "");
        break;
    }
  }
}

// Probes through child programs: "caddis status --port N --json --timeout T" per port, a card
// where it ends with exit status 0.
class tChildProber : public tProber {
 public:
  tChildProber(std::string aProgram, double ProbeTimeout)
      : fProgram(std::move(aProgram)), fTimeout(SecondsArgument(ProbeTimeout)) {}
  bool Start(int32_t Port) override {
    std::string Error;
    return fRunner.Start(
        Port, {fProgram, "status", "--port", std::to_string(Port), "--json", "--timeout", fTimeout},
        Error);
  }
  bool Next(std::chrono::milliseconds Limit, int32_t& Port, bool& Card) override {
    const auto Until = Now() + Limit;
    for (auto Left = Limit; Left.count() > 0;
         Left = std::chrono::ceil<std::chrono::milliseconds>(Until - Now())) {
      tChildRunner::tHappening Happening;
      if (!fRunner.Next(Happening, Left)) return false;
      if (Happening.Kind != tChildRunner::tHappening::ch_Ended) continue;
      Port = Happening.Port;
      Card = Happening.Exit == ExitOk;
      return true;
    }
    return false;
  }
  void Stop(int32_t Port) override { fRunner.Stop(Port, tChildProcess::ps_Terminate); }
  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
  bool Stopping() override { return StopRequested(); }

 private:
  std::string fProgram;
  std::string fTimeout;
  tChildRunner fRunner;
};

// The ports of the port list where a card answers, found by asking several at once; Silent gets
// the ports where none did (or not in time), Skipped those not asked (Bluetooth ports).
std::vector<int32_t> PortsWithCards(double ProbeTimeout, const std::string& Program,
                                    std::vector<int32_t>& Silent, std::vector<int32_t>& Skipped) {
  tProbeBounds Bounds;
  // Starting a child program and opening its port take their time beyond the answer's wait.
  Bounds.PerPort = std::chrono::milliseconds(static_cast<int64_t>(ProbeTimeout * 1000)) +
                   std::chrono::seconds(10);
  Bounds.Overall = 3 * Bounds.PerPort;
  tChildProber Prober(Program, ProbeTimeout);
  std::vector<int32_t> Found;
  for (const tProbeOutcome& Outcome :
       ProbePorts(tPortCatalogue::ListPorts(), Prober, Bounds, TraceNote)) {
    switch (Outcome.Result) {
      case pr_Card:
        Found.push_back(Outcome.Port);
        break;
      case pr_Skipped:
        Skipped.push_back(Outcome.Port);
        break;
      case pr_NoCard:
      case pr_TimedOut:
        Silent.push_back(Outcome.Port);
        break;
    }
  }
  std::sort(Found.begin(), Found.end());
  std::sort(Silent.begin(), Silent.end());
  std::sort(Skipped.begin(), Skipped.end());
  return Found;
}

}  // namespace

tCliResult RunOnSeveralCards(const tCliContext& Context, const tPortsGroup& Ports,
                             double ProbeTimeout) {
  const std::string Program = tPaths::ExecutablePath();
  if (Program.empty()) return Failure("cannot find the caddis program itself to run it per card");
  std::vector<int32_t> Cards = Ports.Ports;
  std::vector<int32_t> Silent, Skipped;
  if (Ports.All) {
    Cards = PortsWithCards(ProbeTimeout, Program, Silent, Skipped);
    if (StopRequested()) return InterruptedExit();
    // Every port tried is named: those with a card, then those where none answered.
    const auto Names = [](const std::vector<int32_t>& List) {
      std::string Text;
      for (int32_t Port : List)
        Text += (Text.empty() ? "" : ", ") + ComPortName(Port);
      return Text;
    };
    if (Cards.empty())
      return Failure(
          fk_NoCard,
          "no card answered on any port" +
              (Silent.empty() ? std::string(Skipped.empty() ? " (there are none)" : "")
                              : " (" + Names(Silent) + ")") +
              (Skipped.empty() ? std::string() : "; skipped (Bluetooth) " + Names(Skipped)));
    if (!tCliEvents::On()) Say("Cards on " + Names(Cards));
    if (!Silent.empty() && !tCliEvents::On()) Say("No card answered on " + Names(Silent));
    if (!Skipped.empty() && !tCliEvents::On()) Say("Skipped (Bluetooth) " + Names(Skipped));
  }
  tFollow Follow;
  const bool Json = tCliEvents::On();
  RunChildren(
      Cards, [&](int32_t Port) { return ChildArguments(Context.Arguments, Program, Port); }, Json,
      false, Follow);
  std::vector<int> Exits;
  for (const tCardRow& Row : Follow.Rows)
    Exits.push_back(Row.Exit);
  const int Exit = StopRequested() ? InterruptedExit().Exit : CombinedExit(Exits);
  if (Json) {
    nlohmann::ordered_json Summary = tCliEvents::Event("summary");
    Summary["ok"] = Exit == ExitOk;
    Summary["exit"] = Exit;
    Summary["cards"] = SummaryCards(Follow.Rows);
    if (Ports.All) {
      Summary["no_card"] = Silent;   // the ports tried where no card answered
      Summary["skipped"] = Skipped;  // the ports not tried: Bluetooth ports
    }
    tCliEvents::Emit(Summary);
    tCliEvents::MarkEnded();
  } else {
    std::printf("\n");
    for (const std::string& Line : CardTable(Follow.Rows))
      std::printf("%s\n", Line.c_str());
    std::fflush(stdout);
  }
  return Exit;
}
