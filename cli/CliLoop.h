// The command line's main loop and what every link command shares.
//
// tCliLoop is the window's 10 ms timer in plain-loop form, on the user-interface thread (the
// program's main thread): every tick it services the host object's receive queue and
// keep-alive, serves the hand-offs waiting from worker threads (a port's I/O thread
// reporting through DisplayMessageProc), then runs the command's own step. Between ticks it
// waits for hand-offs rather than sleeping, so a worker never waits long.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class tOrvaneHost;

enum tLoopEnd { le_Done, le_TimedOut, le_Stopped };

class tCliLoop {
 public:
  static constexpr std::chrono::milliseconds Tick{10};

  // Host may be null (a loop that only serves hand-offs and steps).
  explicit tCliLoop(tOrvaneHost* Host) : fHost(Host) {}

  // Ticks until Done() holds (checked after every tick's work), Limit has passed, or
  // Ctrl-C / SIGTERM asked the program to stop.
  tLoopEnd RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit,
                    const std::function<void()>& Step = {});
  tLoopEnd RunFor(std::chrono::milliseconds Span, const std::function<void()>& Step = {});

 private:
  void WaitForNextTick(std::chrono::steady_clock::time_point Next);

  tOrvaneHost* fHost;
};

// Ctrl-C and SIGTERM end a running loop with le_Stopped instead of killing the program, so
// ports are closed and updates released properly.
void InstallStopHandlers();
bool StopRequested();

// Seconds as the loop's limit.
std::chrono::milliseconds Seconds(double Value);

// Opens the card's host object ("Caddis") on port aComPort with host-link error lines shown.
// Null with Error set ("Cannot open ComPort 5: " and why) when the port does not open.
std::unique_ptr<tOrvaneHost> OpenCardHost(int32_t aComPort, std::string& Error);

// Runs the loop until the card has identified itself (keep-alive answered, then Status).
// False with Error set when it has not within Timeout, or the loop was stopped.
bool WaitForIdentity(tCliLoop& Loop, const tOrvaneHost& Host, std::chrono::milliseconds Timeout,
                     std::string& Error);

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

// Installs a DisplayMessageProc for as long as it lives, restoring the former one after.
class tDisplayScope {
 public:
  explicit tDisplayScope(std::function<void(const std::string&)> Proc);
  ~tDisplayScope();
  tDisplayScope(const tDisplayScope&) = delete;
  tDisplayScope& operator=(const tDisplayScope&) = delete;

 private:
  std::function<void(const std::string&)> fSaved;
};

// Where host-link error lines are logged: $CADDIS_LOG_DIR when set, else the system's own
// folder (the file-system root). Called once at start.
void ChooseLogFolder();
