// caddis ports, status and monitor: what the card reports, once or live.
#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "platform/Console.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"
#include "session/LinkFlows.h"

tCliResult PortsCommand(const tCliContext&, const tJsonOptions& Options) {
  if (const std::string Problem = tPortCatalogue::PortFolderProblem(); !Problem.empty())
    std::fprintf(stderr, "caddis: registered ports are ignored: %s\n", Problem.c_str());
  if (const std::string Problem = tPortCatalogue::NumbersFileProblem(); !Problem.empty())
    std::fprintf(stderr, "caddis: %s\n", Problem.c_str());
  if (Options.Json) {
    nlohmann::ordered_json Ports = nlohmann::ordered_json::array();
    for (const auto& Port : tPortCatalogue::ListPorts()) {
      nlohmann::ordered_json Entry = {{"Number", Port.Number},
                                      {"Name", Utf8FromLatin1(Port.Name)},
                                      {"Device", Utf8FromLatin1(Port.DevicePath)}};
      if (!Port.Usb.empty()) Entry["Usb"] = Utf8FromLatin1(Port.Usb);
      Ports.push_back(std::move(Entry));
    }
    std::printf("%s\n", JsonText(Ports).c_str());
    return ExitOk;
  }
  // The port list's lines, each followed by the USB device the port belongs to, if any.
  for (const tPortCatalogue::tPort& Port : tPortCatalogue::ListPorts()) {
    const std::string Line = ComPortLine(Port.Number, Port.Name);
    if (Port.Usb.empty())
      std::printf("%s\n", Line.c_str());
    else
      std::printf("%s  (USB %s)\n", Line.c_str(), Port.Usb.c_str());
  }
  return ExitOk;
}

tCliResult StatusCommand(const tCliContext& Context, const tStatusOptions& Options) {
  tCliEvents::Start();
  tCliSession Session;
  tCliReport Report;
  if (tCliResult Exit = RunCommandFlow(
          Session, StatusFlow(Session, Report, Options.Port, Seconds(Options.Timeout)),
          Context.Command);
      Exit.Exit != ExitOk)
    return Exit;
  if (Options.Json) {
    tCliEvents::Result({{"status", StatusObject(*Session.Host)}});
  } else {
    for (const std::string& Line : StatusLines(*Session.Host))
      std::printf("%s\n", Line.c_str());
  }
  return ExitOk;
}

// How often monitor writes its line in a pipe while no value changes.
constexpr std::chrono::seconds MonitorBeat{5};

tCliResult MonitorCommand(const tCliContext& Context, const tMonitorOptions& Options) {
  tCliEvents::Start();
  tStatusLine Line(!Options.Json && tConsole::OutputIsTerminal());
  tDisplayScope Display([&Line](const std::string& Text) { Line.Message(Text); });
  // On a terminal the line is redrawn in place at every keep-alive; elsewhere a line (or a
  // status event) is written when a value the card reports changes, and every MonitorBeat
  // while none does: the link's health alone changes with every keep-alive.
  tChangeOrBeat Changes(MonitorBeat);
  std::function<void(const tCardSession&)> Show = [&](const tCardSession& Session) {
    const std::string Gone =
        ComPortName(Session.ComPort) + ": hung up, waiting for the port to come back";
    if (Line.Terminal()) {
      // One column to spare: the status line is cut before the terminal's last column.
      const int Columns = tConsole::OutputColumns();
      Line.Show(Session.Host
                    ? FittedMonitorLine(*Session.Host, Session.LinkHealth(),
                                        Columns > 1 ? static_cast<std::size_t>(Columns - 1) : 0)
                    : Gone);
      return;
    }
    if (!Changes.Due(Session.Host ? MonitorLine(*Session.Host) : Gone,
                     std::chrono::steady_clock::now()))
      return;
    if (Options.Json) {
      nlohmann::ordered_json Event = tCliEvents::Event("status");
      Event["status"] = Session.Host ? StatusObject(*Session.Host) : nullptr;
      tCliEvents::Emit(Event);
    } else {
      std::printf("%s\n",
                  (Session.Host ? MonitorLine(*Session.Host, Session.LinkHealth()) : Gone).c_str());
      std::fflush(stdout);
    }
  };
  // Without --seconds it runs until Ctrl-C, the normal way to end it: the port is closed
  // properly either way.
  const auto Limit = Options.Seconds > 0 ? std::optional(Seconds(Options.Seconds)) : std::nullopt;
  tCliSession Session;
  const tCliResult Exit = RunCommandFlow(
      Session, MonitorFlow(Session, Options.Port, Options.Log, Limit, Show), Context.Command);
  Line.Finish();
  return Exit;
}
