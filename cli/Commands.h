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
#include "cli/CommandOptions.h"
#include "cli/Outcome.h"
#include "session/CardSession.h"
#include "session/ServiceRecord.h"

// "caddis <command>: <Error> (see caddis <command> --help)" on standard error; ExitUsage with
// that line as its text.
tCliResult UsageError(const std::string& Command, const std::string& Error);
// "caddis: <Error>" on standard error; the exit status of Kind (ExitFailure without one) with
// Error as its text. With --json the text ends the output as the error event instead.
tCliResult Failure(const std::string& Error);
tCliResult Failure(tFailKind Kind, const std::string& Error);
// The result of a wait for the card that did not succeed: interrupted, or a failure of Kind
// with Error.
tCliResult WaitFailure(const std::string& Error, tFailKind Kind = fk_NoCard);
// An operator's line on standard output (flushed), or a message event with --json.
void Say(const std::string& Text);
// Appends the service record's line for an update that ended with Result (its text the
// failure's) and returns Result: a line that cannot be written is said, but the update's own
// result stands.
tCliResult FinishRecord(tServiceRecorder& Record, const tCardSession& Session,
                        const tCliResult& Result);

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
// An image given on the command line must be a readable regular file: its size, or false with
// "cannot read <File>: <reason>" in Error.
bool CheckReadableFile(const std::string& File, uint64_t& Size, std::string& Error);

// The card session of the command line: its pauses keep the loop running (the open link
// serviced, hand-offs served) and end early on Ctrl-C.
class tCliSession : public tCardSession {
 public:
  tCliSession();
  // Opens port Port and runs the loop until the card identifies itself, asking at once.
  // False with the failure reported and Exit set.
  bool OpenIdentified(int32_t Port, double Timeout, tCliResult& Exit);
  // Without WaitForReturn: Restart, 10 ms, the link closed, "Restart sent on COMn". With it,
  // the card must be seen to leave (RestartSeenLeaving) and is then waited for as
  // WaitForReturn does; a card that kept answering fails with IfStaying added to the reason
  // (of kind fk_Verify when NotBack is, else fk_Failure).
  tCliResult RestartCard(bool WaitForReturn, double Limit, const std::string& IfStaying = {},
                         tFailKind NotBack = fk_NoCard);
  // "Waiting for the card on COMn", Pause, then polls for the card until Limit seconds have
  // passed; "Card back on COMn: device ID .., firmware version .." (with --json a card event,
  // phase "after") and ExitOk; a card that does not come back fails with NotBack.
  tCliResult WaitForReturn(std::chrono::milliseconds Pause, double Limit,
                           tFailKind NotBack = fk_NoCard);
  // "<Lead> COMn: device ID .., firmware version ..", as the card identified itself last.
  void SayCard(const std::string& Lead) const;
};

// Writes a time-stamped line for every frame and DFU request to standard error.
void StartTracing(tOrvaneHost* Host);

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
tCliResult StationCommand(const tCliContext& Context, const tStationOptions& Options);
