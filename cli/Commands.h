// The subcommands of caddis and what they share: the options as read, exit codes, error
// lines, and the card session of the command line.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "cli/Outcome.h"
#include "session/CardSession.h"
#include "session/ServiceRecord.h"

// Everything a command may be given. Texts are read by the command, so each can explain a
// value it cannot use in its own words; Given tells which options were on the command line.
struct tCliRequest {
  std::string Command;                 // "status", "dfu download"
  std::vector<std::string> Arguments;  // the whole command line, the program first
  std::vector<std::string> PortList;   // each --port as given ("5", "5,6", "/dev/ttyUSB0")
  std::string StationFPGA, StationUSBAudio, StationFirmware, Gone;
  bool All = false;
  std::string Timeout, Wait, Seconds, ReturnTimeout, AckTimeout, BootTimeout;
  std::string File, Serial, Path, Index;
  std::string Card;    // caddis history --card ID
  std::string Record;  // --record FILE: the service record instead of the default
  bool Json = false, Log = false, NoWait = false, NoRestart = false, NoVerify = false;
  bool NoBackup = false;
  bool Verbose = false;
  std::vector<std::string> Words;  // the positional arguments
  bool Has(const std::string& Option) const;
  std::vector<std::string> Given;  // options present, "--port"
  // Read for every command from its option table before it runs: the port (0 when not
  // given) and each seconds option, given or defaulted.
  int32_t PortNumber = 0;
  // The ports of a command that takes several, in the order given, each once.
  std::vector<int32_t> PortNumbers;
  std::map<std::string, double> SecondsGiven;
  double SecondsOf(const std::string& Option) const;
};

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

// The options every command shares, as its option table gives them (main reads them):
// --port N (Text: the N given),
bool ReadPort(const tCliRequest& Request, const std::string& Text, int32_t& Port, int& Exit);
// --port given once or more, each a port or a comma list of them, or --all (PortNumbers then
// stays empty),
bool ReadPorts(tCliRequest& Request, int& Exit);
// a seconds option (Text as given, empty when absent) with its default,
bool ReadSeconds(const tCliRequest& Request, const std::string& Option, const std::string& Text,
                 double Default, double& Seconds, int& Exit);
// between Min and Max positional arguments.
bool CheckPositional(const tCliRequest& Request, std::size_t Min, std::size_t Max, int& Exit);
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

int PortsCommand(const tCliRequest& Request);
int PathsCommand(const tCliRequest& Request);
int StatusCommand(const tCliRequest& Request);
int MonitorCommand(const tCliRequest& Request);
int SendHexCommand(const tCliRequest& Request);
int EchoCommand(const tCliRequest& Request);
int ResetCommand(const tCliRequest& Request);
int BootCommand(const tCliRequest& Request);
int UpdateFPGACommand(const tCliRequest& Request);
int UpdateUSBAudioCommand(const tCliRequest& Request);
int UpdateFirmwareCommand(const tCliRequest& Request);
int DfuListCommand(const tCliRequest& Request);
int DfuDownloadCommand(const tCliRequest& Request);
int RestoreCommand(const tCliRequest& Request);
int HistoryCommand(const tCliRequest& Request);
int StationCommand(const tCliRequest& Request);
