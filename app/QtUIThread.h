// Serves the worker threads' hand-offs (tUIThread) from the Qt event loop.
#pragma once

#include <functional>

// Makes the calling thread (the one running QApplication) the user-interface thread and
// posts a queued call that serves waiting hand-offs whenever a worker starts one, and one
// that runs the wake handler whenever a worker wakes the user-interface thread.
void InstallQtUIThread();

// Handler runs on the user-interface thread from a queued call soon after a worker has woken
// it (a serial port's I/O thread that has stored received bytes); wakes that arrive before
// it has run are served by that one run. Set and cleared (empty) on the user-interface thread.
void SetQtWakeHandler(std::function<void()> Handler);
