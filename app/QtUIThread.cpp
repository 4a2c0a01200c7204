#include "app/QtUIThread.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/UIThread.h"

void InstallQtUIThread() {
  tUIThread::SetCurrentAsUIThread();
  tUIThread::SetWakeHook([] {
    if (auto* App = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          App, [] { tUIThread::ServePending(); }, Qt::QueuedConnection);
  });
}
