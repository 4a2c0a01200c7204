#include "app/QtUIThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>

#include "platform/UIThread.h"

namespace {

// A queued call to the wake handler is on its way; cleared by the call before it runs the
// handler, so a wake during the handler posts the next one.
std::atomic<bool> WakePosted{false};

std::function<void()>& WakeHandler() {
  static std::function<void()> Handler;  // user-interface thread only
  return Handler;
}

void RunWakeHandler() {
  WakePosted = false;
  if (WakeHandler()) WakeHandler()();
}

}  // namespace

void InstallQtUIThread() {
  tUIThread::SetCurrentAsUIThread();
  tUIThread::SetWakeHook([] {
    if (auto* App = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          App, [] { tUIThread::ServePending(); }, Qt::QueuedConnection);
  });
  tUIThread::SetWokenHook([] {
    if (WakePosted.exchange(true)) return;
    if (auto* App = QCoreApplication::instance())
      QMetaObject::invokeMethod(App, RunWakeHandler, Qt::QueuedConnection);
    else
      WakePosted = false;
  });
}

void SetQtWakeHandler(std::function<void()> Handler) {
  WakeHandler() = std::move(Handler);
}
