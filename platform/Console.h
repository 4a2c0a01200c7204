// The terminal the command line runs in: the program's arguments, whether standard output is
// a terminal, how wide it is, text in UTF-8, and the operator's request to stop the program.
#pragma once

#include <string>
#include <vector>

namespace tConsole {

// Why the operator wants the program to stop; an interrupted program exits with 128 + this.
enum tStopReason : int {
  cs_Interrupt = 2,   // Ctrl-C (and Ctrl-Break)
  cs_Terminate = 15,  // a termination request: kill, the console window closing, log-off
};

// Calls aHandler for each stop request instead of ending the program, so ports are closed and
// updates released properly. aHandler may run inside a signal handler or on a thread of the
// system's: it must only set an atomic flag. Writing to a closed pipe then fails with an
// error instead of ending the program.
void InstallStopHandler(void (*aHandler)(int Reason));

// What brings each stop reason here, in the system's own words for the help text:
// "Ctrl-C" and "SIGTERM" on Linux; Ctrl-C or Ctrl-Break, and the console window closing or the
// end of the session, on Windows.
const char* StopRequestText(tStopReason Reason);

// Whether standard output is an interactive terminal that follows the status line's cursor
// controls ("\r", then ESC "[K" to erase to the end of the line). On Windows this also
// switches the console to those controls; a console that cannot follow them counts as no
// terminal, so the status line is printed as plain lines there.
bool OutputIsTerminal();

// Columns of the terminal on standard output; 0 when unknown. Asked afresh at every call, so
// a drawing that asks before each redraw follows the terminal's resizing.
int OutputColumns();
// Lines of the terminal's window on standard output; 0 when unknown.
int OutputLines();

// The program's arguments, its own name first, as UTF-8 texts like every name the tool keeps.
// On Windows they are taken from the wide command line: argv there is in the ANSI code page,
// which loses every character it lacks ("C:\\Jörg\\image.dfu" under most pages). Elsewhere
// argv as it is.
std::vector<std::string> Arguments(int argc, char** argv);

// Makes UTF-8 text written to a console show as such: Windows sets the console's output code
// page to UTF-8 for as long as the program runs. Nothing elsewhere.
void UseUtf8Output();

// One line from standard input, its line end removed; false at the end of input. When input is
// a terminal, Prompt is shown on standard error and what is typed is not echoed (a password).
bool ReadSecretLine(const std::string& Prompt, std::string& Line);

}  // namespace tConsole
