// The subcommands of caddis and what they share: exit codes, error lines and the reading of
// the options most of them take.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliArgs.h"

class tOrvaneHost;

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;        // the card, the link, the file or the update failed
constexpr int ExitUsage = 2;          // bad arguments
constexpr int ExitInterrupted = 130;  // Ctrl-C or SIGTERM

using tCommandArgs = std::vector<std::string>;

// "caddis <command>: <Error> (see caddis <command> --help)" on standard error; ExitUsage.
int UsageError(const std::string& Command, const std::string& Error);
// "caddis: <Error>" on standard error; ExitFailure.
int Failure(const std::string& Error);
// The exit of a wait for the card that did not succeed: interrupted, or a failure with Error.
int WaitFailure(const std::string& Error);

// Reads Args against Options; on a fault prints the usage error and sets Exit.
bool ReadArgs(const std::string& Command, const tCommandArgs& Args,
              const std::vector<tCliOption>& Options, tCliArgs& Out, int& Exit);
// The required --port N.
bool ReadPort(const std::string& Command, const tCliArgs& Args, int32_t& Port, int& Exit);
// An optional seconds option with its default.
bool ReadSeconds(const std::string& Command, const tCliArgs& Args, const std::string& Option,
                 double Default, double& Seconds, int& Exit);
// A command of --port N and options but no other words, with one seconds option read.
bool ReadPortCommand(const std::string& Command, const tCommandArgs& Args,
                     const std::vector<tCliOption>& Options, const std::string& SecondsOption,
                     double Default, tCliArgs& Out, int32_t& Port, double& Seconds, int& Exit);
// Opens port Port and runs the loop until the card identifies itself: the host, or null with
// the failure reported and Exit set.
std::unique_ptr<tOrvaneHost> OpenIdentifiedCard(int32_t Port, double Timeout, int& Exit);
// Between Min and Max positional arguments.
bool CheckPositional(const std::string& Command, const tCliArgs& Args, std::size_t Min,
                     std::size_t Max, int& Exit);

// Waits for the card to come back on port Port after it restarted: Pause first (a card that
// is still going down may keep its port for a moment), then looks for the port every 250 ms
// until Limit seconds have passed, opens it and waits for the card's identity. Prints
// "Card back on COMn: ..." and returns ExitOk, or reports the failure.
int WaitForCardReturn(int32_t Port, std::chrono::milliseconds Pause, double Limit);

// Restarts the card's microcontroller as the window does: Restart, 10 ms, the link closed
// (Host is released), 2000 ms; then, with WaitForReturn, waits for the card as above. The
// card must be seen to leave during the 2000 ms (its port gone, or silent on it), or the
// restart is reported as failed.
int RestartCard(std::unique_ptr<tOrvaneHost> Host, bool WaitForReturn, double Limit);

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
