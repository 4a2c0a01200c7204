// caddis ports, status and monitor: what the card reports, once or live.
#include <cstdio>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "platform/posix/PortCatalogue.h"
#include "serial/ComPorts.h"

namespace {

// The card reports temperature, voltages, sample rates and addresses on its own about once a
// second; after its identity this much more time catches at least one round of them.
constexpr auto ReportWait = std::chrono::milliseconds(1500);
constexpr double DefaultIdentityTimeout = 5.0;

}  // namespace

int PortsCommand(const tCommandArgs& Args) {
  tCliArgs Parsed;
  int Exit = ExitOk;
  if (!ReadArgs("ports", Args, {}, Parsed, Exit) || !CheckPositional("ports", Parsed, 0, 0, Exit))
    return Exit;
  if (const std::string Problem = tPortCatalogue::PortFolderProblem(); !Problem.empty())
    std::fprintf(stderr, "caddis: registered ports are ignored: %s\n", Problem.c_str());
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

int StatusCommand(const tCommandArgs& Args) {
  const std::string Name = "status";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double Timeout = 0;
  if (!ReadPortCommand(Name, Args, {{"--port", true}, {"--json", false}, {"--timeout", true}},
                       "--timeout", DefaultIdentityTimeout, Parsed, Port, Timeout, Exit))
    return Exit;

  const auto Host = OpenIdentifiedCard(Port, Timeout, Exit);
  if (!Host) return Exit;
  tCliLoop Loop(Host.get());
  if (Loop.RunFor(ReportWait) == le_Stopped) return ExitInterrupted;

  if (Parsed.Has("--json")) {
    std::printf("%s\n", StatusJson(*Host).c_str());
  } else {
    for (const std::string& Line : StatusLines(*Host))
      std::printf("%s\n", Line.c_str());
  }
  return ExitOk;
}

int MonitorCommand(const tCommandArgs& Args) {
  const std::string Name = "monitor";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double Span = 0;
  if (!ReadPortCommand(Name, Args, {{"--port", true}, {"--log", false}, {"--seconds", true}},
                       "--seconds", 0, Parsed, Port, Span, Exit))
    return Exit;

  tStatusLine Line;
  tDisplayScope Display([&Line](const std::string& Text) { Line.Message(Text); });
  std::string Error;
  const auto Host = OpenCardHost(Port, Error);
  if (!Host) return Failure(Error);
  Host->Logging = Parsed.Has("--log");
  tCliLoop Loop(Host.get());
  // Without --seconds it runs until Ctrl-C; a day is the loop's longest limit.
  const auto Limit = Span > 0 ? Seconds(Span) : std::chrono::hours(24 * 365);
  // Ctrl-C is the normal way to end it: the port is closed properly either way.
  Loop.RunFor(Limit, [&] { Line.Show(MonitorLine(*Host)); });
  Line.Finish();
  return ExitOk;
}
