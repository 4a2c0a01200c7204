// Serves the worker threads' hand-offs (tUIThread) from the Qt event loop.
#pragma once

// Makes the calling thread (the one running QApplication) the user-interface thread and
// posts a queued call that serves waiting hand-offs whenever a worker starts one.
void InstallQtUIThread();
