#include "cli/Commands.h"

#include <cstdio>

int UsageError(const std::string& Command, const std::string& Error) {
  std::fprintf(stderr, "caddis %s: %s (see caddis %s --help)\n", Command.c_str(), Error.c_str(),
               Command.c_str());
  return ExitUsage;
}

int Failure(const std::string& Error) {
  std::fprintf(stderr, "caddis: %s\n", Error.c_str());
  return ExitFailure;
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
