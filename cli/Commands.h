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
#include "session/CardSession.h"

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;  // the card, the link, the file or the update failed
constexpr int ExitUsage = 2;    // bad arguments
// A stopped program exits 128 + the signal: 130 after Ctrl-C, 143 after SIGTERM.

// Everything a command may be given. Texts are read by the command, so each can explain a
// value it cannot use in its own words; Given tells which options were on the command line.
struct tCliRequest {
  std::string Command;  // "status", "dfu download"
  std::string Port, Timeout, Wait, Seconds, ReturnTimeout, AckTimeout, BootTimeout;
  std::string File, Serial, Path, Index;
  std::string Card;  // caddis history --card ID
  bool Json = false, Log = false, NoWait = false, NoRestart = false, NoVerify = false;
  bool Verbose = false;
  std::vector<std::string> Words;  // the positional arguments
  bool Has(const std::string& Option) const;
  std::vector<std::string> Given;  // options present, "--port"
  // Read for every command from its option table before it runs: the port (0 when not
  // given) and each seconds option, given or defaulted.
  int32_t PortNumber = 0;
  std::map<std::string, double> SecondsGiven;
  double SecondsOf(const std::string& Option) const;
};

// "caddis <command>: <Error> (see caddis <command> --help)" on standard error; ExitUsage.
int UsageError(const std::string& Command, const std::string& Error);
// "caddis: <Error>" on standard error; ExitFailure.
int Failure(const std::string& Error);
// The exit of a wait for the card that did not succeed: interrupted, or a failure with Error.
int WaitFailure(const std::string& Error);
int InterruptedExit();

// The options every command shares, as its option table gives them (main reads them):
// --port N,
bool ReadPort(const tCliRequest& Request, int32_t& Port, int& Exit);
// a seconds option (Text as given, empty when absent) with its default,
bool ReadSeconds(const tCliRequest& Request, const std::string& Option, const std::string& Text,
                 double Default, double& Seconds, int& Exit);
// between Min and Max positional arguments.
bool CheckPositional(const tCliRequest& Request, std::size_t Min, std::size_t Max, int& Exit);

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
  // WaitForReturn does; a card that kept answering fails with IfStaying added to the reason.
  int RestartCard(bool WaitForReturn, double Limit, const std::string& IfStaying = {});
  // "Waiting for the card on COMn", Pause, then polls for the card until Limit seconds have
  // passed; "Card back on COMn: device ID .., firmware version .." and ExitOk. Error (when
  // given) gets the failure's text.
  int WaitForReturn(std::chrono::milliseconds Pause, double Limit, std::string* Error = nullptr);
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
