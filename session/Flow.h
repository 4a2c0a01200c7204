// The card session's flows: how each one runs, and what it returns.
//
// A flow (an update, a restart and the card's return, Boot and the download) is written as the
// sequence of steps it is, as a C++ coroutine, and runs as a state machine that the front
// end's main loop steps: every wait inside a flow is a co_await on a condition with a time
// limit (Until) or on a pause (For), never a blocking call. So one flow serves both front
// ends:
//   - the command line steps it from its loop until it is done (RunFlow, below);
//   - the window steps it on its 10 ms tick and whenever the port's I/O thread has stored
//     received bytes, and its own thread never waits inside a flow.
// A flow that starts another (co_await OtherFlow(...)) runs it to its end as one of its steps.
// Work that must not be cut short (a DFU download on its worker) is still waited for by the
// flow; a stop request only ends the waits that may end early.
//
// A flow's outcome is a value: success, or the kind of failure (a script's exit status, the
// window's message) and its text. Nothing is kept in a process-wide "last error".
//
// Threads: a flow is made, stepped and destroyed on the user-interface thread.
#pragma once

#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "session/HostLoop.h"

// Every kind of failure a flow can end with; the command line gives each its exit status, the
// window its message.
enum tFailKind {
  fk_Failure,      // anything not named below
  fk_Usage,        // bad arguments
  fk_Port,         // the port is missing, busy or refused
  fk_NoCard,       // no answer or no identity from a card
  fk_Image,        // the image file: missing, unreadable, of the wrong kind or for another port
  fk_Refused,      // the card refused the update (its error code, a wrong acknowledgement...)
  fk_Verify,       // the image read back differs, or the card did not come back after it
  fk_Interrupted,  // a stop was requested (Ctrl-C, the window closed)
  fk_Terminated,   // a termination request
};

struct tFlowOutcome {
  bool Ok = true;
  tFailKind Kind = fk_Failure;
  std::string Text;  // why it failed; empty on success

  static tFlowOutcome Success() { return {}; }
  static tFlowOutcome Failed(tFailKind Kind, std::string Text) {
    return {false, Kind, std::move(Text)};
  }
  static tFlowOutcome Interrupted(std::string Text = {}) {
    return Failed(fk_Interrupted, std::move(Text));
  }
  bool Stopped() const { return !Ok && (Kind == fk_Interrupted || Kind == fk_Terminated); }
};

class tFlow {
 public:
  using tClock = std::chrono::steady_clock;

  // What the flow waits for: a condition (checked at every step), until a time.
  struct tWait {
    std::function<bool()> Condition;   // none: a pause
    std::optional<tClock::time_point> Until;  // none: no limit
    std::coroutine_handle<> Waiting;   // resumed when the wait ends
    tLoopEnd End = le_Done;
  };
  // Shared by a flow and every flow it runs: the one wait under way, and the stop request.
  struct tContext {
    tWait Wait;
    bool StopRequested = false;
  };

  struct promise_type {
    tFlowOutcome Outcome;
    std::exception_ptr Failure;
    tContext* Context = nullptr;
    std::coroutine_handle<> Continuation;  // the flow that awaits this one

    tFlow get_return_object() {
      return tFlow(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct tFinal {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> Self) noexcept {
        if (auto Next = Self.promise().Continuation) return Next;
        return std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    tFinal final_suspend() noexcept { return {}; }
    void return_value(tFlowOutcome Value) { Outcome = std::move(Value); }
    void unhandled_exception() { Failure = std::current_exception(); }
  };

  // A wait inside a flow: co_await gives le_Done when the condition held, le_TimedOut when the
  // time ran out first, le_Stopped on a stop request.
  struct tAwaitWait {
    std::function<bool()> Condition;
    std::optional<tClock::duration> Limit;
    tContext* Context = nullptr;
    bool await_ready() const { return false; }
    template <typename tPromise>
    void await_suspend(std::coroutine_handle<tPromise> Waiting) {
      Context = Waiting.promise().Context;
      Context->Wait.Condition = std::move(Condition);
      Context->Wait.Until = Limit ? std::optional(tClock::now() + *Limit) : std::nullopt;
      Context->Wait.Waiting = Waiting;
    }
    tLoopEnd await_resume() const { return Context->Wait.End; }
  };

  // Awaiting another flow runs it as a step of this one.
  struct tAwaitFlow {
    tFlow& Inner;
    bool await_ready() const { return false; }
    template <typename tPromise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<tPromise> Outer) {
      Inner.fHandle.promise().Context = Outer.promise().Context;
      Inner.fHandle.promise().Continuation = Outer;
      return Inner.fHandle;
    }
    tFlowOutcome await_resume() {
      auto& Promise = Inner.fHandle.promise();
      if (Promise.Failure) std::rethrow_exception(Promise.Failure);
      return std::move(Promise.Outcome);
    }
  };

  tFlow() = default;
  tFlow(tFlow&& Other) noexcept
      : fHandle(std::exchange(Other.fHandle, {})), fContext(std::move(Other.fContext)) {}
  tFlow& operator=(tFlow&& Other) noexcept;
  ~tFlow();

  // Runs the flow as far as it can go now: starts it, or ends the wait it is in when its
  // condition holds, its time is up or a stop was requested, and runs on to its next wait.
  // True once the flow has ended (Outcome() is then its result).
  bool Step();
  bool Done() const { return !fHandle || fHandle.done(); }
  // Ends the waits that may end early, now and from now on: the flow then runs to its end,
  // as interrupted.
  void Stop();
  bool StopRequested() const { return fContext && fContext->StopRequested; }
  const tFlowOutcome& Outcome() const { return fHandle.promise().Outcome; }

  tAwaitFlow operator co_await() & { return {*this}; }
  tAwaitFlow operator co_await() && { return {*this}; }

 private:
  explicit tFlow(std::coroutine_handle<promise_type> Handle)
      : fHandle(Handle), fContext(std::make_unique<tContext>()) {
    fHandle.promise().Context = fContext.get();
  }
  // Whether the wait under way has ended; sets its End.
  bool WaitEnded();

  std::coroutine_handle<promise_type> fHandle;
  std::unique_ptr<tContext> fContext;
  bool fStarted = false;
};

// co_await Until(Condition, Limit): waits until Condition holds, at most Limit.
inline tFlow::tAwaitWait Until(std::function<bool()> Condition,
                               std::optional<std::chrono::milliseconds> Limit = std::nullopt) {
  std::optional<tFlow::tClock::duration> Span;
  if (Limit) Span = *Limit;
  return {std::move(Condition), Span};
}
// co_await For(Span): a pause; le_Done after Span, le_Stopped when stopped first.
inline tFlow::tAwaitWait For(std::chrono::milliseconds Span) {
  return {nullptr, tFlow::tClock::duration(Span)};
}

// The command line's way: runs Flow from a 10 ms loop until it has ended, servicing whichever
// link the session's host slot holds at each tick (the flow opens and closes links), serving
// hand-offs, and handling received bytes as soon as they are stored. A stop request
// (RequestLoopStop) is passed to the flow.
class tOrvaneHost;
tFlowOutcome RunFlow(tFlow Flow, const std::unique_ptr<tOrvaneHost>* HostSlot = nullptr);
