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
#include "cli/CliLoop.h"
#include "session/CardFlows.h"
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
int InterruptedExit();
// An operator's line on standard output (flushed), or a message event with --json.
void Say(const std::string& Text);

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
// serviced, hand-offs served) and end early on Ctrl-C; every link it opens is traced with -v.
class tCliSession : public tCardSession {
 public:
  tCliSession();
};

// What the command line shows of a flow: lines on standard output (or message events with
// --json), asides on standard error, the progress on a status line, the card and the boot
// loader as events, and the record's path in the result.
class tCliReport : public tFlowReport {
 public:
  void Line(const std::string& Text) override;
  void Warning(const std::string& Text) override;
  void Image(const std::string& Path) override;
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
int RunCommandFlow(tCliSession& Session, tFlow Flow, const std::string& Command);
// The exit status of an outcome, its failure shown.
int OutcomeExit(const tFlowOutcome& Outcome, const std::string& Command);

// The boot loader a download goes to: as dfu list shows it, or with --json a "boot-loader"
// event with its serial number and location.
void ShowBootLoader(const tDFUDeviceEntry& Device);

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
