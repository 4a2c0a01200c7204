// caddis ports, status and monitor: what the card reports, once or live.
#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"

namespace {

// The card sends its reports (temperature, voltages, rates, addresses) on its own about
// once a second; after its identity, status waits at most this long for a round of them.
constexpr auto ReportWait = std::chrono::milliseconds(1500);

}  // namespace

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
  if (tCliResult Exit = RunCommandFlow(
          Session, OpenIdentifiedFlow(Session, Options.Port, Seconds(Options.Timeout)),
          Context.Command);
      Exit.Exit != ExitOk)
    return Exit;
  tCliEvents::Card(*Session.Host);
  // Only as long as the values shown still miss a report.
  tCliLoop Loop(Session.Host.get());
  if (Loop.RunUntil([&] { return Session.Host->ReportsReceived == or_AllReports; }, ReportWait) ==
      le_Stopped)
    return InterruptedExit();

  if (Options.Json) {
    tCliEvents::Result({{"status", StatusObject(*Session.Host)}});
  } else {
    for (const std::string& Line : StatusLines(*Session.Host))
      std::printf("%s\n", Line.c_str());
  }
  return ExitOk;
}

tCliResult MonitorCommand(const tCliContext&, const tMonitorOptions& Options) {
  const double Span = Options.Seconds;
  tStatusLine Line;
  tDisplayScope Display([&Line](const std::string& Text) { Line.Message(Text); });
  tCliSession Session;
  std::string Error;
  if (!Session.OpenCard(Options.Port, Error)) return Failure(Error);
  auto TakeLink = [&] {
    Session.Host->Logging = Options.Log;
    Session.Host->AskIdentity();
  };
  TakeLink();
  // Without --seconds it runs until Ctrl-C; a year is the loop's longest limit.
  const auto Until =
      std::chrono::steady_clock::now() + (Span > 0 ? Seconds(Span) : std::chrono::hours(24 * 365));
  // A port that hangs up is closed and opened again once it can be; each time the link
  // changes, the loop starts afresh on the new one (or on none).
  for (;;) {
    bool Changed = false;
    tCliLoop Loop(Session.Host.get());
    const tLoopEnd End = Loop.RunUntil(
        [&] { return Changed; },
        std::chrono::ceil<std::chrono::milliseconds>(Until - std::chrono::steady_clock::now()),
        [&] {
          const tCardSession::tLinkChange Change =
              Session.KeepLink(std::chrono::steady_clock::now());
          if (Change == tCardSession::lc_Reopened) TakeLink();
          Changed = Change != tCardSession::lc_None;
          Line.Show(Session.Host ? MonitorLine(*Session.Host, Session.LinkHealth())
                                 : "COM" + std::to_string(Session.ComPort) +
                                       ": hung up, waiting for the port to come back");
        });
    if (End != le_Done) break;
  }
  // Ctrl-C is the normal way to end it: the port is closed properly either way.
  Line.Finish();
  return ExitOk;
}
