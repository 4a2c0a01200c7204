// The subcommands of caddis and what they share: exit codes, error lines and the reading of
// the options most of them take.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/CliArgs.h"

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;        // the card, the link, the file or the update failed
constexpr int ExitUsage = 2;          // bad arguments
constexpr int ExitInterrupted = 130;  // Ctrl-C or SIGTERM

using tCommandArgs = std::vector<std::string>;

// "caddis <command>: <Error> (see caddis <command> --help)" on standard error; ExitUsage.
int UsageError(const std::string& Command, const std::string& Error);
// "caddis: <Error>" on standard error; ExitFailure.
int Failure(const std::string& Error);

// Reads Args against Options; on a fault prints the usage error and sets Exit.
bool ReadArgs(const std::string& Command, const tCommandArgs& Args,
              const std::vector<tCliOption>& Options, tCliArgs& Out, int& Exit);
// The required --port N.
bool ReadPort(const std::string& Command, const tCliArgs& Args, int32_t& Port, int& Exit);
// An optional seconds option with its default.
bool ReadSeconds(const std::string& Command, const tCliArgs& Args, const std::string& Option,
                 double Default, double& Seconds, int& Exit);
// Between Min and Max positional arguments.
bool CheckPositional(const std::string& Command, const tCliArgs& Args, std::size_t Min,
                     std::size_t Max, int& Exit);

int PortsCommand(const tCommandArgs& Args);
int StatusCommand(const tCommandArgs& Args);
int MonitorCommand(const tCommandArgs& Args);
int SendHexCommand(const tCommandArgs& Args);
int EchoCommand(const tCommandArgs& Args);
int ResetCommand(const tCommandArgs& Args);
int BootCommand(const tCommandArgs& Args);
int UpdateFPGACommand(const tCommandArgs& Args);
int UpdateUSBAudioCommand(const tCommandArgs& Args);
int DfuListCommand(const tCommandArgs& Args);
int DfuDownloadCommand(const tCommandArgs& Args);
