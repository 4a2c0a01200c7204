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

// "caddis <command>: <Error> (see caddis <command> --help)" on standard error; ExitUsage.
int UsageError(const std::string& Command, const std::string& Error);
// "caddis: <Error>" on standard error; the exit status of Kind (ExitFailure without one).
// With --json the text is kept for the error event that ends the output instead.
int Failure(const std::string& Error);
int Failure(tFailKind Kind, const std::string& Error);
// The failure that ended the command, as Failure last had it (empty before any).
const std::string& LastFailureText();
// The exit of a wait for the card that did not succeed: interrupted, or a failure of Kind
// with Error.
int WaitFailure(const std::string& Error, tFailKind Kind = fk_NoCard);
int InterruptedExit();
// An operator's line on standard output (flushed), or a message event with --json.
void Say(const std::string& Text);
// Appends the service record's line for an update that ended with Exit (its failure text the
// last one reported) and returns Exit: a line that cannot be written is said, but the update's
// own result stands.
int FinishRecord(tServiceRecorder& Record, const tCardSession& Session, int Exit);

// The ports, read once the command line is parsed (see CommandLine.h):
// --port N (Text: the N given, none when --port is not),
bool ReadPort(const std::string& Command, const std::optional<std::string>& Text, int32_t& Port,
              int& Exit);
// --port given once or more, each a port or a comma list of them, or --all (Ports then stays
// empty),
bool ReadPorts(const std::string& Command, tPortsGroup& Ports, int& Exit);
// between Min and Max positional arguments.
bool CheckPositional(const tCliContext& Context, std::size_t Min, std::size_t Max, int& Exit);
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
  bool OpenIdentified(int32_t Port, double Timeout, int& Exit);
  // Without WaitForReturn: Restart, 10 ms, the link closed, "Restart sent on COMn". With it,
  // the card must be seen to leave (RestartSeenLeaving) and is then waited for as
  // WaitForReturn does; a card that kept answering fails with IfStaying added to the reason
  // (of kind fk_Verify when NotBack is, else fk_Failure).
  int RestartCard(bool WaitForReturn, double Limit, const std::string& IfStaying = {},
                  tFailKind NotBack = fk_NoCard);
  // "Waiting for the card on COMn", Pause, then polls for the card until Limit seconds have
  // passed; "Card back on COMn: device ID .., firmware version .." (with --json a card event,
  // phase "after") and ExitOk; a card that does not come back fails with NotBack.
  int WaitForReturn(std::chrono::milliseconds Pause, double Limit, tFailKind NotBack = fk_NoCard);
  // "<Lead> COMn: device ID .., firmware version ..", as the card identified itself last.
  void SayCard(const std::string& Lead) const;
};

// Writes a time-stamped line for every frame and DFU request to standard error.
void StartTracing(tOrvaneHost* Host);

int PortsCommand(const tCliContext& Context, const tJsonOptions& Options);
int PathsCommand(const tCliContext& Context, const tJsonOptions& Options);
int StatusCommand(const tCliContext& Context, const tStatusOptions& Options);
int MonitorCommand(const tCliContext& Context, const tMonitorOptions& Options);
int SendHexCommand(const tCliContext& Context, const tSendOptions& Options);
int EchoCommand(const tCliContext& Context, const tSendOptions& Options);
int ResetCommand(const tCliContext& Context, const tResetOptions& Options);
int BootCommand(const tCliContext& Context, const tBootOptions& Options);
int UpdateFPGACommand(const tCliContext& Context, const tSerialUpdateOptions& Options);
int UpdateUSBAudioCommand(const tCliContext& Context, const tSerialUpdateOptions& Options);
int UpdateFirmwareCommand(const tCliContext& Context, const tFirmwareOptions& Options);
int DfuListCommand(const tCliContext& Context, const tJsonOptions& Options);
int DfuDownloadCommand(const tCliContext& Context, const tDfuDownloadOptions& Options);
int RestoreCommand(const tCliContext& Context, const tRestoreOptions& Options);
int HistoryCommand(const tCliContext& Context, const tHistoryOptions& Options);
int StationCommand(const tCliContext& Context, const tStationOptions& Options);
