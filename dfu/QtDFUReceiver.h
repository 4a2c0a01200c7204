// Carries the DFU library's notifications to a Qt object's thread as queued calls.
//
// LMDFUDownload posts from the thread that runs it; each notification becomes a queued call of
// the handler on the context object's thread, in the order the library issued them. The
// final WM_DFU_COMPLETE / WM_DFU_ERROR is held back: the library posts it just before the
// call returns, but its handler reads the call's result, so it is handed over only once the
// call has ended (DFUCallEnded) and the owner has stored the result and says so with
// ReleaseHeld.
//
// Threads: PostDFUMessage, DFUCallStarted and DFUCallEnded run on the download's thread;
// ReleaseHeld on any thread (the owner calls it after the call returned). The context object
// must outlive the receiver; calls still queued when it is destroyed are dropped by Qt.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "lib/lmdfu/LMDFU.h"

class tQtDFUReceiver : public tLMDFUReceiver {
 public:
  using tHandler = std::function<void(uint32_t aMessage, uint32_t aParam)>;

  tQtDFUReceiver(QObject* aContext, tHandler aHandler);

  void PostDFUMessage(uint32_t aMessage, uint32_t aParam) override;
  void DFUCallStarted() override;
  void DFUCallEnded() override;

  // Queues the held final notifications once no call is running; returns how many. Nothing
  // is released while a call still runs.
  size_t ReleaseHeld();
  // Final notifications waiting for ReleaseHeld.
  size_t HeldCount();

 private:
  void Queue(uint32_t aMessage, uint32_t aParam);

  QObject* fContext;
  tHandler fHandler;
  std::mutex fLock;
  int fCallsRunning = 0;
  std::vector<std::pair<uint32_t, uint32_t>> fHeld;
};
