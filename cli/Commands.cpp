#include "cli/Commands.h"

#include <cstdio>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "hostlink/CardLeaving.h"
#include "hostlink/OrvaneHost.h"
#include "platform/posix/PortCatalogue.h"

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
  return StopRequested() ? ExitInterrupted : Failure(Error);
}

bool ReadPortCommand(const std::string& Command, const tCommandArgs& Args,
                     const std::vector<tCliOption>& Options, const std::string& SecondsOption,
                     double Default, tCliArgs& Out, int32_t& Port, double& Seconds, int& Exit) {
  return ReadArgs(Command, Args, Options, Out, Exit) && CheckPositional(Command, Out, 0, 0, Exit) &&
         ReadPort(Command, Out, Port, Exit) &&
         ReadSeconds(Command, Out, SecondsOption, Default, Seconds, Exit);
}

std::unique_ptr<tOrvaneHost> OpenIdentifiedCard(int32_t Port, double Timeout, int& Exit) {
  std::string Error;
  auto Host = OpenCardHost(Port, Error);
  if (!Host) {
    Exit = Failure(Error);
    return nullptr;
  }
  tCliLoop Loop(Host.get());
  if (!WaitForIdentity(Loop, *Host, Seconds(Timeout), Error)) {
    Exit = WaitFailure(Error);
    return nullptr;
  }
  return Host;
}

bool ReadArgs(const std::string& Command, const tCommandArgs& Args,
              const std::vector<tCliOption>& Options, tCliArgs& Out, int& Exit) {
  std::string Error;
  if (ParseCliArgs(Args, Options, Out, Error)) return true;
  Exit = UsageError(Command, Error);
  return false;
}

bool ReadPort(const std::string& Command, const tCliArgs& Args, int32_t& Port, int& Exit) {
  const auto Found = Args.Values.find("--port");
  if (Found == Args.Values.end()) {
    Exit = UsageError(Command, "--port N is required");
    return false;
  }
  if (!ParsePortNumber(Found->second, Port)) {
    Exit = UsageError(Command, "'" + Found->second + "' is not a port number");
    return false;
  }
  return true;
}

bool ReadSeconds(const std::string& Command, const tCliArgs& Args, const std::string& Option,
                 double Default, double& Seconds, int& Exit) {
  const auto Found = Args.Values.find(Option);
  Seconds = Default;
  if (Found == Args.Values.end()) return true;
  if (ParseSeconds(Found->second, Seconds)) return true;
  Exit = UsageError(Command, Option + " wants seconds, not '" + Found->second + "'");
  return false;
}

bool CheckPositional(const std::string& Command, const tCliArgs& Args, std::size_t Min,
                     std::size_t Max, int& Exit) {
  if (Args.Positional.size() > Max) {
    Exit = UsageError(Command, "unexpected argument '" + Args.Positional[Max] + "'");
    return false;
  }
  if (Args.Positional.size() < Min) {
    Exit = UsageError(Command, "missing argument");
    return false;
  }
  return true;
}

int WaitForCardReturn(int32_t Port, std::chrono::milliseconds Pause, double Limit) {
  constexpr auto IdentityTimeout = std::chrono::seconds(5);
  constexpr auto RetryPeriod = std::chrono::milliseconds(250);
  std::printf("Waiting for the card on COM%d\n", Port);
  std::fflush(stdout);
  tCliLoop Idle(nullptr);
  if (Idle.RunFor(Pause) == le_Stopped) return ExitInterrupted;
  const auto Until = std::chrono::steady_clock::now() + Seconds(Limit);
  std::string Error;
  for (;;) {
    // Only a port that is listed again is tried, so the waiting leaves no failed opens in
    // the log file.
    if (auto Host =
            tPortCatalogue::DevicePathFor(Port).empty() ? nullptr : OpenCardHost(Port, Error)) {
      tCliLoop Loop(Host.get());
      if (!WaitForIdentity(Loop, *Host, IdentityTimeout, Error)) return WaitFailure(Error);
      std::printf("Card back on COM%d: device ID %u, firmware version %u\n", Port, Host->DeviceID,
                  Host->FirmwareVersion);
      return ExitOk;
    }
    if (std::chrono::steady_clock::now() >= Until)
      return Failure("the card did not come back on COM" + std::to_string(Port) + " within " +
                     SecondsText(Limit) + " s" + (Error.empty() ? "" : ": " + Error));
    if (Idle.RunFor(RetryPeriod) == le_Stopped) return ExitInterrupted;
  }
}

int RestartCard(std::unique_ptr<tOrvaneHost> Host, bool WaitForReturn, double Limit) {
  constexpr auto RestartPause = std::chrono::milliseconds(10);
  constexpr auto DownPause = std::chrono::milliseconds(2000);
  const auto Port = static_cast<int32_t>(Host->ComPortID);
  tCardLeaveWatch Leaving(Port);
  Host->SendHeader(tHostId::Restart);
  tCliLoop(Host.get()).RunFor(RestartPause);
  // Closing the port delivers the Restart first (or says it could not).
  Host.reset();
  std::printf("Restart sent on COM%d\n", Port);
  std::fflush(stdout);
  if (!WaitForReturn) return ExitOk;
  // A card that is still there after the pause, answering, did not restart: coming "back"
  // would prove nothing.
  tCliLoop Idle(nullptr);
  const tLoopEnd End =
      Idle.RunFor(DownPause, [&] { Leaving.Step(std::chrono::steady_clock::now()); });
  if (End == le_Stopped) return ExitInterrupted;
  if (!Leaving.Left())
    return Failure("the card on COM" + std::to_string(Port) +
                   " did not restart: it kept answering for " +
                   SecondsText(DownPause.count() / 1000.0) + " s after the Restart");
  return WaitForCardReturn(Port, std::chrono::milliseconds(0), Limit);
}
