// What every command's loop shares: stop requests, the terminal's status line and the
// message display.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "cli/Outcome.h"
#include "session/HostLoop.h"
#include "support/DisplayMessage.h"

// The loop is the core's; the command line only adds the terminal handling below.
using tCliLoop = tHostLoop;

// Ctrl-C and SIGTERM end a running loop with le_Stopped instead of killing the program, so
// ports are closed and updates released properly.
void InstallStopHandlers();
bool StopRequested();
// The result of a stopped program: 130 after Ctrl-C, 143 after SIGTERM, with Text as the reason
// (empty when the stop is reason enough).
tCliResult InterruptedExit(std::string Text = {});

// One status line that is redrawn in place on a terminal and printed once per change
// elsewhere; message lines (DisplayMessageProc) are written above it without tearing it.
class tStatusLine {
 public:
  // Lines go to standard output; Terminal defaults to whether it is one.
  tStatusLine();
  explicit tStatusLine(bool Terminal) : fTerminal(Terminal) {}
  ~tStatusLine() { Finish(); }
  tStatusLine(const tStatusLine&) = delete;
  tStatusLine& operator=(const tStatusLine&) = delete;

  bool Terminal() const { return fTerminal; }
  void Show(const std::string& Text);
  // A message line on standard error, with the status line kept intact.
  void Message(const std::string& Text);
  // Ends a redrawn line with a line break so later output starts on a new line.
  void Finish();

 private:
  bool fTerminal;
  bool fDrawn = false;
  std::string fText;
  std::string fShown;  // what the terminal shows of fText
};

// The progress of a transfer of Total bytes to Target (the card's port, "COM5") on a status
// line: on a terminal the bar with bytes, rate and time left; otherwise one line per tenth
// that names the target, so the lines of several runs can share one log ("COM5 FPGA update:
// 50%").
class tTransferDisplay {
 public:
  tTransferDisplay(tStatusLine& Line, uint64_t Total, std::string Target)
      : fLine(Line), fTotal(Total), fTarget(std::move(Target)) {}
  // Label names the phase on a terminal, LineLabel on plain lines; a new Label starts the
  // rate afresh.
  void Show(const std::string& Label, const std::string& LineLabel, float Fraction);

 private:
  tStatusLine& fLine;
  uint64_t fTotal;
  std::string fTarget;
  std::string fLabel;
  std::chrono::steady_clock::time_point fStart;
};
