// How a command ended, for scripts: one table maps every kind of failure to its exit status,
// its name in JSON ("kind") and the line caddis --help shows for it, so a script need not read
// the texts.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "session/Flow.h"


struct tOutcome {
  tFailKind Kind;
  int Exit;          // the exit status
  const char* Name;  // "no-card"
  const char* Help;  // "no card answered on the port, or it did not identify itself"
};

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr int ExitPort = 3;
constexpr int ExitNoCard = 4;
constexpr int ExitImage = 5;
constexpr int ExitRefused = 6;
constexpr int ExitVerify = 7;
// A stopped program exits 128 + the signal: 130 after Ctrl-C, 143 after SIGTERM.
constexpr int ExitInterrupted = 130;
constexpr int ExitTerminated = 143;

// How a command ended: its exit status and, for a failure, its reason (the text of the JSON
// error event; empty for success).
struct tCliResult {
  int Exit = ExitOk;
  std::string Text;
  tCliResult(int aExit = ExitOk, std::string aText = {}) : Exit(aExit), Text(std::move(aText)) {}
};

// Every kind, in the order caddis --help lists them.
const std::vector<tOutcome>& Outcomes();
const tOutcome& OutcomeOf(tFailKind Kind);
// The kind whose exit status is Exit (fk_Failure for any status not in the table).
tFailKind KindOfExit(int Exit);
// The table as caddis --help shows it: "  0  success", then one line per kind.
std::string ExitStatusHelp();
// The exit status of several cards' runs: 0 when all succeeded; otherwise the status the
// failed ones share, or 1 when they differ.
int CombinedExit(const std::vector<int>& Exits);
