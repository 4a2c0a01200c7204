#include "lib/lmdfu/DFUEventQueue.h"

void tLMDFUEventQueue::PostDFUMessage(uint32_t aMessage, uint32_t aParam) {
  {
    std::lock_guard<std::mutex> Lock(fLock);
    const bool Final = aMessage == WM_DFU_COMPLETE || aMessage == WM_DFU_ERROR;
    if (Final && fCallsRunning > 0) {
      fHeld.push_back({aMessage, aParam});
      return;
    }
    fReady.push_back({aMessage, aParam});
  }
  fArrived.notify_all();
}

void tLMDFUEventQueue::DFUCallStarted() {
  std::lock_guard<std::mutex> Lock(fLock);
  ++fCallsRunning;
}

void tLMDFUEventQueue::DFUCallEnded() {
  {
    std::lock_guard<std::mutex> Lock(fLock);
    if (fCallsRunning > 0) --fCallsRunning;
    if (fCallsRunning > 0) return;
    fReady.insert(fReady.end(), fHeld.begin(), fHeld.end());
    fHeld.clear();
  }
  fArrived.notify_all();
}

bool tLMDFUEventQueue::Take(tLMDFUEvent& aEvent) {
  std::lock_guard<std::mutex> Lock(fLock);
  if (fReady.empty()) return false;
  aEvent = fReady.front();
  fReady.pop_front();
  return true;
}

size_t tLMDFUEventQueue::Drain(const std::function<void(const tLMDFUEvent&)>& aHandler) {
  size_t Count = 0;
  // Handlers run outside the lock: they may post or drain again.
  for (tLMDFUEvent Event; Take(Event); ++Count)
    if (aHandler) aHandler(Event);
  return Count;
}

bool tLMDFUEventQueue::WaitFor(std::chrono::milliseconds aTimeout) {
  std::unique_lock<std::mutex> Lock(fLock);
  return fArrived.wait_for(Lock, aTimeout, [this] { return !fReady.empty(); });
}
