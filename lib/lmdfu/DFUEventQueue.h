// A notification receiver for loops without a window system (the command line, tests): it
// queues what LMDFUDownload posts, and its owner drains the queue on its own thread.
//
// The owner may drain while the download still runs on another thread (to show live
// progress); the final WM_DFU_COMPLETE or WM_DFU_ERROR is then held back until the download
// call has returned, so it is always handled after the call's result is known.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "lib/lmdfu/LMDFUTypes.h"

struct tLMDFUEvent {
  uint32_t Message = 0;
  uint32_t Param = 0;
  bool operator==(const tLMDFUEvent&) const = default;
};

class tLMDFUEventQueue : public tLMDFUReceiver {
 public:
  void PostDFUMessage(uint32_t aMessage, uint32_t aParam) override;
  void DFUCallStarted() override;
  void DFUCallEnded() override;

  // Takes the oldest deliverable event; false when there is none.
  bool Take(tLMDFUEvent& aEvent);
  // Hands every deliverable event to aHandler in order; returns how many.
  size_t Drain(const std::function<void(const tLMDFUEvent&)>& aHandler);
  // Waits up to aTimeout for a deliverable event; true when one is there.
  bool WaitFor(std::chrono::milliseconds aTimeout);

 private:
  std::mutex fLock;
  std::condition_variable fArrived;
  std::deque<tLMDFUEvent> fReady;
  std::vector<tLMDFUEvent> fHeld;
  int fCallsRunning = 0;
};
