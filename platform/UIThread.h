// "Run a procedure on the user-interface thread and wait until it has run there."
//
// Worker threads (a serial port's I/O thread, the DFU worker) call RunAndWait. The procedure
// waits in a queue until the user-interface thread serves it:
//   - the window serves the queue from a queued Qt call posted by the wake hook;
//   - the command line and the tests call ServePending from their loops;
//   - a user-interface thread that waits for a worker to end (a port being destroyed) calls
//     WaitAndServe, so a worker blocked in RunAndWait can still finish.
// The user-interface thread is the one that initialised the program (static initialisation
// runs on the main thread) unless SetCurrentAsUIThread names another.
#pragma once

#include <chrono>
#include <functional>

namespace tUIThread {

// Called on any thread but the user-interface thread: runs Proc there and returns once it
// has run. Called on the user-interface thread itself, it runs Proc at once.
void RunAndWait(const std::function<void()>& Proc);

// Called on the user-interface thread: runs every waiting procedure; returns how many ran.
int ServePending();

// Called on the user-interface thread: serves waiting procedures, and waits up to Timeout
// for one to arrive (or for Wake) if none was waiting. Returns how many ran.
int WaitAndServe(std::chrono::milliseconds Timeout);

// Ends a WaitAndServe early: a worker that finished calls this so its owner stops waiting.
void Wake();

// Makes the calling thread the user-interface thread.
void SetCurrentAsUIThread();
bool IsUIThread();

// Called (on the worker's thread) whenever a procedure starts waiting; the window uses it to
// post a queued call to ServePending. Empty by default.
void SetWakeHook(std::function<void()> Hook);

// Called (on the waking thread) whenever Wake is called: a serial port's I/O thread that has
// stored received bytes, a worker that has finished. The window, whose user-interface thread
// waits in its own event loop rather than in WaitAndServe, uses it to post a queued call that
// handles the bytes at once. It must only post. Empty by default.
void SetWokenHook(std::function<void()> Hook);

}  // namespace tUIThread
