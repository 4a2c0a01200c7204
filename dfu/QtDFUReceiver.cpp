#include "dfu/QtDFUReceiver.h"

#include <QMetaObject>

namespace {

bool IsFinal(uint32_t aMessage) {
  return aMessage == WM_DFU_COMPLETE || aMessage == WM_DFU_ERROR;
}

}  // namespace

tQtDFUReceiver::tQtDFUReceiver(QObject* aContext, tHandler aHandler)
    : fContext(aContext), fHandler(std::move(aHandler)) {}

void tQtDFUReceiver::PostDFUMessage(uint32_t aMessage, uint32_t aParam) {
  if (IsFinal(aMessage)) {
    std::lock_guard<std::mutex> Guard(fLock);
    fHeld.emplace_back(aMessage, aParam);
    return;
  }
  Queue(aMessage, aParam);
}

void tQtDFUReceiver::DFUCallStarted() {
  std::lock_guard<std::mutex> Guard(fLock);
  ++fCallsRunning;
}

void tQtDFUReceiver::DFUCallEnded() {
  std::lock_guard<std::mutex> Guard(fLock);
  if (fCallsRunning > 0) --fCallsRunning;
}

size_t tQtDFUReceiver::ReleaseHeld() {
  std::vector<std::pair<uint32_t, uint32_t>> Ready;
  {
    std::lock_guard<std::mutex> Guard(fLock);
    if (fCallsRunning > 0) return 0;
    Ready.swap(fHeld);
  }
  for (const auto& [Message, Param] : Ready)
    Queue(Message, Param);
  return Ready.size();
}

size_t tQtDFUReceiver::HeldCount() {
  std::lock_guard<std::mutex> Guard(fLock);
  return fHeld.size();
}

void tQtDFUReceiver::Queue(uint32_t aMessage, uint32_t aParam) {
  if (!fContext || !fHandler) return;
  // The handler is copied into the call so a queued call never reaches back into a
  // receiver that may have gone; Qt drops the call if the context object goes first.
  QMetaObject::invokeMethod(
      fContext, [Handler = fHandler, aMessage, aParam] { Handler(aMessage, aParam); },
      Qt::QueuedConnection);
}
