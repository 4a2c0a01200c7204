#include "session/BootTurn.h"

#include "platform/Paths.h"

std::string tBootTurn::LockPath() {
  return tPaths::RuntimeFolder() + "/boot.lock";
}

tBootTurn::tBootTurn() : fLock(LockPath()) {}

bool tBootTurn::Take(const std::function<bool()>& Pause, std::string& Error) {
  std::string Why;
  if (!tPaths::MakeFolders(tPaths::RuntimeFolder(), Why)) {
    Error = "cards cannot take turns for Boot: " + Why;
    return false;
  }
  for (;;) {
    std::string Failed;
    if (fLock.TryTake(Failed)) return true;
    if (!Failed.empty()) {
      Error = "cards cannot take turns for Boot: " + Failed;
      return false;
    }
    if (!Pause()) return false;
  }
}
