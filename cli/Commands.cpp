#include "cli/Commands.h"

#include <algorithm>
#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "lib/lmdfu/LMDFU.h"
#include "hostlink/OrvaneHost.h"
#include "platform/Files.h"
#include "platform/PortCatalogue.h"

namespace {

bool Tracing = false;
std::string FailureText;

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

bool tCliRequest::Has(const std::string& Option) const {
  return std::find(Given.begin(), Given.end(), Option) != Given.end();
}

double tCliRequest::SecondsOf(const std::string& Option) const {
  const auto Found = SecondsGiven.find(Option);
  return Found == SecondsGiven.end() ? 0 : Found->second;
}

int UsageError(const std::string& Command, const std::string& Error) {
  FailureText = "caddis " + Command + ": " + Error + " (see caddis " + Command + " --help)";
  if (!tCliEvents::On()) std::fprintf(stderr, "%s\n", FailureText.c_str());
  return ExitUsage;
}

int Failure(tFailKind Kind, const std::string& Error) {
  FailureText = Error;
  if (!tCliEvents::On()) std::fprintf(stderr, "caddis: %s\n", Error.c_str());
  return OutcomeOf(Kind).Exit;
}

int Failure(const std::string& Error) {
  return Failure(fk_Failure, Error);
}

const std::string& LastFailureText() {
  return FailureText;
}

void Say(const std::string& Text) {
  if (tCliEvents::On()) return tCliEvents::Message(Text);
  std::printf("%s\n", Text.c_str());
  std::fflush(stdout);
}

bool ReadPort(const tCliRequest& Request, const std::string& Text, int32_t& Port, int& Exit) {
  if (!Request.Has("--port")) {
    Exit = UsageError(Request.Command, "--port N is required");
    return false;
  }
  if (ParsePortNumber(Text, Port)) return tCliEvents::SetPort(Port), true;
  if (!IsDevicePath(Text)) {
    Exit = UsageError(Request.Command, "'" + Text + "' is not a port number");
    return false;
  }
  // A device goes by the number the port list gives it, so every message and every later
  // command names it the same way.
  Port = tPortCatalogue::PortNumberOf(Text);
  if (Port > 0) return tCliEvents::SetPort(Port), true;
  Exit = Failure(fk_Port, "no serial port " + Text + " in the port list (caddis ports lists them)");
  return false;
}

bool ReadPorts(tCliRequest& Request, int& Exit) {
  if (Request.All) {
    if (!Request.Has("--port")) return true;
    Exit = UsageError(Request.Command, "give --port or --all, not both");
    return false;
  }
  std::vector<std::string> Texts;
  for (const std::string& Given : Request.PortList)
    for (std::size_t Start = 0;;) {
      const std::size_t Comma = Given.find(',', Start);
      Texts.push_back(Given.substr(Start, Comma - Start));
      if (Comma == std::string::npos) break;
      Start = Comma + 1;
    }
  if (Texts.empty()) Texts.emplace_back();
  for (const std::string& Text : Texts) {
    int32_t Port = 0;
    if (!ReadPort(Request, Text, Port, Exit)) return false;
    if (std::find(Request.PortNumbers.begin(), Request.PortNumbers.end(), Port) ==
        Request.PortNumbers.end())
      Request.PortNumbers.push_back(Port);
  }
  // Several ports: the events name each card's port in its own program.
  if (Request.PortNumbers.size() > 1) tCliEvents::SetPort(0);
  return true;
}

bool ReadSeconds(const tCliRequest& Request, const std::string& Option, const std::string& Text,
                 double Default, double& Seconds, int& Exit) {
  Seconds = Default;
  if (!Request.Has(Option) || ParseSeconds(Text, Seconds)) return true;
  Exit = UsageError(Request.Command, Option + " wants seconds, not '" + Text + "'");
  return false;
}

bool CheckReadableFile(const std::string& File, uint64_t& Size, std::string& Error) {
  tFiles::tFileInfo Info;
  int Code = 0;
  if (!tFiles::Describe(File, Info, Code) || (Code = tFiles::ReadAccess(File)) != 0) {
    Error = "cannot read " + File + ": " + tFiles::SystemErrorText(Code);
    return false;
  }
  if (!Info.Regular) {
    Error = "cannot read " + File + ": not a regular file";
    return false;
  }
  Size = Info.Size;
  return true;
}

bool CheckPositional(const tCliRequest& Request, std::size_t Min, std::size_t Max, int& Exit) {
  if (Request.Words.size() > Max) {
    Exit = UsageError(Request.Command, "unexpected argument '" + Request.Words[Max] + "'");
    return false;
  }
  if (Request.Words.size() < Min) {
    Exit = UsageError(Request.Command, "missing argument");
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

tCliSession::tCliSession()
    : tCardSession([this](std::chrono::milliseconds Span) {
        return tCliLoop(Host.get()).RunFor(Span) != le_Stopped;
      }) {
  // Every host object of the session is traced when tracing is on.
  OnLinkChange = [this] {
    if (Tracing && Host) Host->OnFrame = TraceFrame;
  };
}

void tCliReport::Line(const std::string& Text) {
  Say(Text);
}

void tCliReport::Warning(const std::string& Text) {
  std::fprintf(stderr, "caddis: %s\n", Text.c_str());
}

void tCliReport::Image(const std::string& Path) {
  tCliEvents::Start(tCliEvents::ImageObject(Path));
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

void tCliReport::Progress(const std::string& Label, const std::string& LineLabel,
                          float Fraction) {
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

int OutcomeExit(const tFlowOutcome& Outcome, const std::string& Command) {
  if (Outcome.Ok) return ExitOk;
  if (Outcome.Stopped()) {
    if (!Outcome.Text.empty()) Failure(fk_Interrupted, Outcome.Text);
    return InterruptedExit();
  }
  if (Outcome.Kind == fk_Usage) return UsageError(Command, Outcome.Text);
  return Failure(Outcome.Kind, Outcome.Text);
}

int RunCommandFlow(tCliSession& Session, tFlow Flow, const std::string& Command) {
  return OutcomeExit(RunFlow(std::move(Flow), &Session.Host), Command);
}
