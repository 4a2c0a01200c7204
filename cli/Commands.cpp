#include "cli/Commands.h"

#include <algorithm>
#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "hostlink/OrvaneHost.h"
#include "lib/lmdfu/LMDFU.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"
#include "support/LogFile.h"

namespace {

bool Tracing = false;

// Seconds since the program started, for trace lines.
double Elapsed() {
  static const auto Start = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

void TraceLine(const std::string& Text) {
  std::fprintf(stderr, "[%10.6f] %s\n", Elapsed(), Text.c_str());
}

void TraceFrame(bool Outgoing, const uint8_t* Frame, std::size_t Size) {
  std::string Hex;
  char Byte[4];
  for (std::size_t i = 0; i < Size; ++i) {
    std::snprintf(Byte, sizeof Byte, "%s%02x", i ? " " : "", Frame[i]);
    Hex += Byte;
  }
  const std::string Name = Size > 1 ? tOrvaneHost::MessageName(Frame[1]) : "?";
  TraceLine(std::string(Outgoing ? "tx " : "rx ") + Name + ": " + Hex);
}

}  // namespace

tCliResult UsageError(const std::string& Command, const std::string& Error) {
  tCliResult Result(ExitUsage,
                    "caddis " + Command + ": " + Error + " (see caddis " + Command + " --help)");
  if (!tCliEvents::On()) std::fprintf(stderr, "%s\n", Result.Text.c_str());
  return Result;
}

tCliResult Failure(tFailKind Kind, const std::string& Error) {
  if (!tCliEvents::On()) std::fprintf(stderr, "caddis: %s\n", Error.c_str());
  return {OutcomeOf(Kind).Exit, Error};
}

tCliResult Failure(const std::string& Error) {
  return Failure(fk_Failure, Error);
}

void Say(const std::string& Text) {
  if (tCliEvents::On()) return tCliEvents::Message(Text);
  std::printf("%s\n", Text.c_str());
  std::fflush(stdout);
}

bool ReadPort(const std::string& Command, const std::optional<std::string>& Text, int32_t& Port,
              tCliResult& Exit) {
  if (!Text) {
    Exit = UsageError(Command, "--port N is required");
    return false;
  }
  if (ParsePortNumber(*Text, Port)) return tCliEvents::SetPort(Port), true;
  if (!IsDevicePath(*Text)) {
    Exit = UsageError(Command, "'" + *Text + "' is not a port number");
    return false;
  }
  // A device goes by the number the port list gives it, so every message and every later
  // command names it the same way.
  Port = tPortCatalogue::PortNumberOf(*Text);
  if (Port > 0) return tCliEvents::SetPort(Port), true;
  Exit =
      Failure(fk_Port, "no serial port " + *Text + " in the port list (caddis ports lists them)");
  return false;
}

bool ReadPorts(const std::string& Command, tPortsGroup& Ports, tCliResult& Exit) {
  if (Ports.All) {
    if (Ports.PortTexts.empty()) return true;
    Exit = UsageError(Command, "give --port or --all, not both");
    return false;
  }
  // Neither: the port is required.
  if (Ports.PortTexts.empty()) return ReadPort(Command, std::nullopt, Ports.Port, Exit);
  std::vector<std::string> Texts;
  for (const std::string& Given : Ports.PortTexts)
    for (std::size_t Start = 0;;) {
      const std::size_t Comma = Given.find(',', Start);
      Texts.push_back(Given.substr(Start, Comma - Start));
      if (Comma == std::string::npos) break;
      Start = Comma + 1;
    }
  for (const std::string& Text : Texts) {
    int32_t Port = 0;
    if (!ReadPort(Command, Text, Port, Exit)) return false;
    if (std::find(Ports.Ports.begin(), Ports.Ports.end(), Port) == Ports.Ports.end())
      Ports.Ports.push_back(Port);
  }
  // Several ports: the events name each card's port in its own program.
  if (Ports.Ports.size() > 1) tCliEvents::SetPort(0);
  return true;
}

bool CheckPositional(const tCliContext& Context, std::size_t Min, std::size_t Max,
                     tCliResult& Exit) {
  if (Context.Words.size() > Max) {
    Exit = UsageError(Context.Command, "unexpected argument '" + Context.Words[Max] + "'");
    return false;
  }
  if (Context.Words.size() < Min) {
    Exit = UsageError(Context.Command, "missing argument");
    return false;
  }
  return true;
}

void StartTracing(tOrvaneHost* Host) {
  if (!Tracing) {
    Tracing = true;
    LMDFUSetTrace(TraceLine);
  }
  if (Host) Host->OnFrame = TraceFrame;
}

void TraceNote(const std::string& Text) {
  if (Tracing) TraceLine(Text);
}

void WatchReadPaths() {
  ReadPathProc = [](int32_t Com, tReadPath Path) {
    const std::string Text = ReadPathText(Com, Path);
    if (Tracing) TraceLine(Text);
    if (Path != rp_Events) LogToFile(Text);
  };
}

tCliSession::tCliSession()
    : tCardSession([this](std::chrono::milliseconds Span) {
        return tCliLoop(Host.get()).RunFor(Span) != le_Stopped;
      }) {
  // Every host object of the session is traced when tracing is on, and its frames shown to
  // the command that asks for them.
  OnLinkChange = [this] {
    if (!Host || (!Tracing && !OnFrameSeen)) return;
    Host->OnFrame = [this](bool Outgoing, const uint8_t* Frame, std::size_t Size) {
      if (Tracing) TraceFrame(Outgoing, Frame, Size);
      if (OnFrameSeen) OnFrameSeen(Outgoing, Frame, Size);
    };
  };
}

void tCliReport::Line(const std::string& Text) {
  Say(Text);
}

void tCliReport::Warning(const std::string& Text) {
  std::fprintf(stderr, "caddis: %s\n", Text.c_str());
}

void tCliReport::Image(const std::string& Path, std::optional<uint64_t> Size) {
  tCliEvents::Start(tCliEvents::ImageObject(Path, Size));
}

void tCliReport::Card(const tOrvaneHost& Host, const char* Phase) {
  tCliEvents::Card(Host, Phase);
}

void tCliReport::ProgressStart(const std::string& Target, uint64_t Total) {
  fMessages.reset();
  fDisplay.reset();
  fLine = std::make_unique<tStatusLine>();
  fDisplay = std::make_unique<tTransferDisplay>(*fLine, Total, Target);
  fMessages = std::make_unique<tDisplayScope>([this](const std::string& Text) {
    if (fLine) fLine->Message(Text);
  });
}

void tCliReport::Progress(const std::string& Label, const std::string& LineLabel, float Fraction) {
  if (fDisplay) fDisplay->Show(Label, LineLabel, Fraction);
}

void tCliReport::ProgressEnd() {
  fMessages.reset();
  fDisplay.reset();
  if (fLine) fLine->Finish();
  fLine.reset();
}

void tCliReport::BootLoader(const tDFUDeviceEntry& Device) {
  ShowBootLoader(Device);
}

void tCliReport::Recorded(const std::string& Path, const std::string& Error) {
  if (Error.empty())
    tCliEvents::SetRecord(Path);
  else if (tCliEvents::On())
    tCliEvents::Message(Error);
  else
    std::fprintf(stderr, "caddis: %s\n", Error.c_str());
}

std::string tCliReport::BringBackCommand(const std::string& File, const std::string& Serial,
                                         int32_t Port) const {
  return "caddis dfu download " + File + (Serial.empty() ? "" : " --serial " + Serial) +
         " --port " + std::to_string(Port);
}

tCliResult OutcomeExit(const tFlowOutcome& Outcome, const std::string& Command) {
  if (Outcome.Ok) return ExitOk;
  if (Outcome.Stopped()) {
    if (!Outcome.Text.empty()) Failure(fk_Interrupted, Outcome.Text);
    return InterruptedExit(Outcome.Text);
  }
  if (Outcome.Kind == fk_Usage) return UsageError(Command, Outcome.Text);
  return Failure(Outcome.Kind, Outcome.Text);
}

tCliResult RunCommandFlow(tCliSession& Session, tFlow Flow, const std::string& Command) {
  return OutcomeExit(RunFlow(std::move(Flow), &Session.Host), Command);
}
