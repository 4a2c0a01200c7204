#include "session/Flow.h"

#include "hostlink/OrvaneHost.h"
#include "platform/UIThread.h"

namespace {

// Waits that end one after another within one step (a condition that already holds) are run
// through at once, up to this many, so a flow loses no tick to them; the rest wait for the
// next step.
constexpr int MaxResumesPerStep = 64;

}  // namespace

tFlow& tFlow::operator=(tFlow&& Other) noexcept {
  if (this != &Other) {
    if (fHandle) fHandle.destroy();
    fHandle = std::exchange(Other.fHandle, {});
    fContext = std::move(Other.fContext);
    fStarted = Other.fStarted;
  }
  return *this;
}

tFlow::~tFlow() {
  if (fHandle) fHandle.destroy();
}

void tFlow::Stop() {
  if (fContext) fContext->StopRequested = true;
}

bool tFlow::WaitEnded() {
  tWait& Wait = fContext->Wait;
  if (Wait.Condition && Wait.Condition()) {
    Wait.End = le_Done;
    return true;
  }
  if (fContext->StopRequested) {
    Wait.End = le_Stopped;
    return true;
  }
  if (Wait.Until && tClock::now() >= *Wait.Until) {
    // A pause that has run its time is done; a condition that did not hold in time is not.
    Wait.End = Wait.Condition ? le_TimedOut : le_Done;
    return true;
  }
  return false;
}

bool tFlow::Step() {
  if (Done()) return true;
  if (!fStarted) {
    fStarted = true;
    fHandle.resume();
  }
  for (int i = 0; i < MaxResumesPerStep && !Done() && WaitEnded(); ++i) {
    const std::coroutine_handle<> Waiting = std::exchange(fContext->Wait.Waiting, {});
    fContext->Wait.Condition = nullptr;
    fContext->Wait.Until.reset();
    Waiting.resume();
  }
  if (Done() && fHandle.promise().Failure) std::rethrow_exception(fHandle.promise().Failure);
  return Done();
}

tFlowOutcome RunFlow(tFlow Flow, const std::unique_ptr<tOrvaneHost>* HostSlot) {
  using tClock = std::chrono::steady_clock;
  auto Host = [HostSlot] { return HostSlot ? HostSlot->get() : nullptr; };
  auto Next = tClock::now();
  for (;;) {
    if (LoopStopRequested()) Flow.Stop();
    if (tOrvaneHost* Link = Host()) {
      Link->ServiceReceive();
      Link->ServiceAYT();
    }
    tUIThread::ServePending();
    if (Flow.Step()) return Flow.Outcome();
    // The next tick, or earlier when the port's I/O thread has stored bytes: a reply is
    // handled at once, so a transfer runs at the wire's pace.
    Next += tHostLoop::Tick;
    if (const auto Now = tClock::now(); Next + 10 * tHostLoop::Tick < Now) Next = Now;
    for (auto Now = tClock::now(); Now < Next && !LoopStopRequested(); Now = tClock::now()) {
      tUIThread::WaitAndServe(std::chrono::ceil<std::chrono::milliseconds>(Next - Now));
      if (tOrvaneHost* Link = Host()) Link->ServiceReceive();
      if (Flow.Step()) return Flow.Outcome();
    }
  }
}
