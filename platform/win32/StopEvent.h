// The stop request one program of this tool sends another on Windows. A console event
// (Ctrl-Break) reaches a child only when both share a console, which a program started from a
// window, a service or Wine's pipes may not; so the parent also sets an event named for the
// child's process ID, which the child's stop handler waits on as well.
#pragma once

#include <string>

namespace tStopEvent {

// "Local\caddis-stop-<ProcessId>".
std::wstring Name(unsigned long ProcessId);

}  // namespace tStopEvent
