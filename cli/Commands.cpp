#include "cli/Commands.h"

#include <algorithm>
#include <cstdio>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "dfu/LMDFU.h"
#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"

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

bool tCliRequest::Has(const std::string& Option) const {
  return std::find(Given.begin(), Given.end(), Option) != Given.end();
}

double tCliRequest::SecondsOf(const std::string& Option) const {
  const auto Found = SecondsGiven.find(Option);
  return Found == SecondsGiven.end() ? 0 : Found->second;
}

int UsageError(const std::string& Command, const std::string& Error) {
  std::fprintf(stderr, "caddis %s: %s (see caddis %s --help)\n", Command.c_str(), Error.c_str(),
               Command.c_str());
  return ExitUsage;
}

int Failure(const std::string& Error) {
  std::fprintf(stderr, "caddis: %s\n", Error.c_str());
  return ExitFailure;
}

int WaitFailure(const std::string& Error) {
  return StopRequested() ? InterruptedExit() : Failure(Error);
}

bool ReadPort(const tCliRequest& Request, int32_t& Port, int& Exit) {
  if (!Request.Has("--port")) {
    Exit = UsageError(Request.Command, "--port N is required");
    return false;
  }
  if (ParsePortNumber(Request.Port, Port)) return true;
  if (!IsDevicePath(Request.Port)) {
    Exit = UsageError(Request.Command, "'" + Request.Port + "' is not a port number");
    return false;
  }
  // A device goes by the number the port list gives it, so every message and every later
  // command names it the same way.
  Port = tPortCatalogue::PortNumberOf(Request.Port);
  if (Port > 0) return true;
  Exit = Failure("no serial port " + Request.Port + " in the port list (caddis ports lists them)");
  return false;
}

bool ReadSeconds(const tCliRequest& Request, const std::string& Option, const std::string& Text,
                 double Default, double& Seconds, int& Exit) {
  Seconds = Default;
  if (!Request.Has(Option) || ParseSeconds(Text, Seconds)) return true;
  Exit = UsageError(Request.Command, Option + " wants seconds, not '" + Text + "'");
  return false;
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

bool tCliSession::OpenIdentified(int32_t Port, double Timeout, int& Exit) {
  std::string Error;
  if (!OpenCard(Port, Error)) {
    Exit = Failure(Error);
    return false;
  }
  Host->AskIdentity();
  tCliLoop Loop(Host.get());
  if (!WaitForIdentity(Loop, *Host, Seconds(Timeout), Error)) {
    Exit = WaitFailure(Error);
    return false;
  }
  return true;
}

int tCliSession::WaitForReturn(std::chrono::milliseconds Pause, double Limit, std::string* Failed) {
  std::printf("Waiting for the card on COM%d\n", ComPort);
  std::fflush(stdout);
  std::string Error = "interrupted";
  if (tCliLoop(nullptr).RunFor(Pause) == le_Stopped) {
    if (Failed) *Failed = Error;
    return InterruptedExit();
  }
  if (!WaitForCard(Seconds(Limit), Error)) {
    if (Failed) *Failed = Error;
    return WaitFailure(Error);
  }
  std::printf("Card back on COM%d: device ID %u, firmware version %u\n", ComPort, Host->DeviceID,
              Host->FirmwareVersion);
  std::fflush(stdout);
  return ExitOk;
}

int tCliSession::RestartCard(bool WaitForReturnToo, double Limit, const std::string& IfStaying) {
  if (!WaitForReturnToo) {
    if (!Restart(false)) return InterruptedExit();
    std::printf("Restart sent on COM%d\n", ComPort);
    std::fflush(stdout);
    return ExitOk;
  }
  // The card must be seen to leave, or a lost Restart would pass for a quick one.
  std::string Error;
  const tRestartSeen Seen = RestartSeenLeaving(Error);
  if (Seen == rs_Interrupted) return InterruptedExit();
  if (Seen == rs_NotSent) return Failure(Error);
  std::printf("Restart sent on COM%d\n", ComPort);
  std::fflush(stdout);
  if (Seen == rs_Stayed) return Failure(Error + (IfStaying.empty() ? "" : "; " + IfStaying));
  return WaitForReturn(std::chrono::milliseconds(0), Limit);
}
