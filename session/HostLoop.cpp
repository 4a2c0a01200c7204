#include "session/HostLoop.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "hostlink/OrvaneHost.h"
#include "platform/UIThread.h"

namespace {

std::atomic<int> StopSignal{0};
std::atomic<bool> Stop{false};

// A loop that fell far behind (the machine was busy) starts afresh instead of running a
// burst of ticks to catch up.
constexpr std::chrono::milliseconds MaxLag{100};

}  // namespace

tLoopEnd tHostLoop::RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit,
                             const std::function<void()>& Step) {
  using tClock = std::chrono::steady_clock;
  auto Next = tClock::now();
  const auto Until = Next + Limit;
  for (;;) {
    if (fHost) {
      fHost->ServiceReceive();
      fHost->ServiceAYT();
    }
    tUIThread::ServePending();
    if (Step) Step();
    if (Done && Done()) return le_Done;
    if (Stop) return le_Stopped;
    const auto Now = tClock::now();
    if (Now >= Until) return le_TimedOut;
    Next += Tick;
    if (Next + MaxLag < Now) Next = Now;
    WaitForNextTick(std::min(Next, Until));
  }
}

tLoopEnd tHostLoop::RunFor(std::chrono::milliseconds Span, const std::function<void()>& Step) {
  const tLoopEnd End = RunUntil({}, Span, Step);
  return End == le_TimedOut ? le_Done : End;
}

void tHostLoop::WaitForNextTick(std::chrono::steady_clock::time_point Next) {
  for (;;) {
    const auto Now = std::chrono::steady_clock::now();
    if (Now >= Next || Stop) return;
    tUIThread::WaitAndServe(std::chrono::ceil<std::chrono::milliseconds>(Next - Now));
    // The I/O thread wakes this wait when it has stored received bytes.
    if (fEventDriven && fHost) fHost->ServiceReceive();
  }
}

void RequestLoopStop(int Signal) {
  StopSignal = Signal;
  Stop = true;
}

bool LoopStopRequested() {
  return Stop;
}

int LoopStopSignal() {
  return StopSignal;
}

void ClearLoopStop() {
  Stop = false;
  StopSignal = 0;
}

std::chrono::milliseconds Seconds(double Value) {
  return std::chrono::milliseconds(static_cast<int64_t>(std::llround(Value * 1000.0)));
}
