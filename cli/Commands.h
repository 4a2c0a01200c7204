// The subcommands of caddis and what they share: exit codes, error lines, the reading of
// ports, and the card session of the command line.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "cli/CliLoop.h"
#include "cli/CommandOptions.h"
#include "cli/Outcome.h"
#include "package/ReleasePackage.h"
#include "session/CardFlows.h"
#include "session/ServiceRecord.h"

// "caddis <command>: <Error> (see caddis <command> --help)" on standard error; ExitUsage with
// that line as its text.
tCliResult UsageError(const std::string& Command, const std::string& Error);
// "caddis: <Error>" on standard error; the exit status of Kind (ExitFailure without one) with
// Error as its text. With --json the text ends the output as the error event instead.
tCliResult Failure(const std::string& Error);
tCliResult Failure(tFailKind Kind, const std::string& Error);
// An operator's line on standard output (flushed), or a message event with --json.
void Say(const std::string& Text);

// The ports, read once the command line is parsed (see CommandLine.h):
// --port N (Text: the N given, none when --port is not),
bool ReadPort(const std::string& Command, const std::optional<std::string>& Text, int32_t& Port,
              tCliResult& Exit);
// --port given once or more, each a port or a comma list of them, or --all (Ports then stays
// empty),
bool ReadPorts(const std::string& Command, tPortsGroup& Ports, tCliResult& Exit);
// between Min and Max positional arguments.
bool CheckPositional(const tCliContext& Context, std::size_t Min, std::size_t Max,
                     tCliResult& Exit);

// The card session of the command line: its pauses keep the loop running (the open link
// serviced, hand-offs served) and end early on Ctrl-C; every link it opens is traced with -v.
class tCliSession : public tCardSession {
 public:
  tCliSession();
  // Besides the trace, every frame of every link the session opens (Frame: the count byte,
  // the message, the checksum), for a command that shows the card's answers.
  std::function<void(bool Outgoing, const uint8_t* Frame, std::size_t Size)> OnFrameSeen;
};

// What the command line shows of a flow: lines on standard output (or message events with
// --json), asides on standard error, the progress on a status line, the card and the boot
// loader as events, and the record's path in the result.
class tCliReport : public tFlowReport {
 public:
  void Line(const std::string& Text) override;
  void Warning(const std::string& Text) override;
  void Image(const std::string& Path, std::optional<uint64_t> Size) override;
  void Card(const tOrvaneHost& Host, const char* Phase) override;
  void ProgressStart(const std::string& Target, uint64_t Total) override;
  void Progress(const std::string& Label, const std::string& LineLabel, float Fraction) override;
  void ProgressEnd() override;
  void BootLoader(const tDFUDeviceEntry& Device) override;
  void Recorded(const std::string& Path, const std::string& Error) override;
  std::string BringBackCommand(const std::string& File, const std::string& Serial,
                               int32_t Port) const override;

 private:
  std::unique_ptr<tStatusLine> fLine;
  std::unique_ptr<tTransferDisplay> fDisplay;
  std::unique_ptr<tDisplayScope> fMessages;
};

// Runs Flow to its end on Session's links from the command line's loop; the outcome as the
// command's exit status, its failure shown (Command names the command in a usage error).
tCliResult RunCommandFlow(tCliSession& Session, tFlow Flow, const std::string& Command);
// The exit status of an outcome, its failure shown.
tCliResult OutcomeExit(const tFlowOutcome& Outcome, const std::string& Command);

// The boot loader a download goes to: as dfu list shows it, or with --json a "boot-loader"
// event with its serial number and location.
void ShowBootLoader(const tDFUDeviceEntry& Device);

// Writes a time-stamped line for every frame and DFU request to standard error.
void StartTracing(tOrvaneHost* Host);
// Writes Text as a trace line while tracing is on (-v); nothing otherwise.
void TraceNote(const std::string& Text);
// Says how each opened port reads (see ReadPathText): in the trace while tracing is on, and
// in the log file when a port switches to polling.
void WatchReadPaths();

tCliResult PortsCommand(const tCliContext& Context, const tJsonOptions& Options);
tCliResult PathsCommand(const tCliContext& Context, const tJsonOptions& Options);
tCliResult StatusCommand(const tCliContext& Context, const tStatusOptions& Options);
tCliResult MonitorCommand(const tCliContext& Context, const tMonitorOptions& Options);
tCliResult SendHexCommand(const tCliContext& Context, const tSendOptions& Options);
tCliResult EchoCommand(const tCliContext& Context, const tSendOptions& Options);
tCliResult ResetCommand(const tCliContext& Context, const tResetOptions& Options);
tCliResult BootCommand(const tCliContext& Context, const tBootOptions& Options);
tCliResult UpdateFPGACommand(const tCliContext& Context, const tSerialUpdateOptions& Options);
tCliResult UpdateUSBAudioCommand(const tCliContext& Context, const tSerialUpdateOptions& Options);
tCliResult UpdateFirmwareCommand(const tCliContext& Context, const tFirmwareOptions& Options);
tCliResult DfuListCommand(const tCliContext& Context, const tJsonOptions& Options);
tCliResult DfuDownloadCommand(const tCliContext& Context, const tDfuDownloadOptions& Options);
tCliResult RestoreCommand(const tCliContext& Context, const tRestoreOptions& Options);
tCliResult HistoryCommand(const tCliContext& Context, const tHistoryOptions& Options);
// The package at Path checked against this machine's trusted keys, a key file that cannot be
// used said on standard error.
tPackageCheck CheckPackage(const std::string& Path);
// The release package --package names, checked before anything is sent: nothing without
// --package; a package that cannot be taken is refused (ExitImage, its reason in Exit); an
// unsigned one taken with --allow-unsigned is said as a warning.
bool TakePackage(const tPackageGroup& Options, std::optional<tReleasePackage>& Package,
                 tCliResult& Exit);
tCliResult PackageCreateCommand(const tCliContext& Context, const tPackageCreateOptions& Options);
tCliResult PackageSignCommand(const tCliContext& Context, const tPackageSignOptions& Options);
tCliResult PackageVerifyCommand(const tCliContext& Context, const tPackageCheckOptions& Options);
tCliResult PackageShowCommand(const tCliContext& Context, const tPackageCheckOptions& Options);
tCliResult StationCommand(const tCliContext& Context, const tStationOptions& Options);
