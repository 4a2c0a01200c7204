#include "session/BootTurn.h"

#include "platform/Paths.h"

std::string tBootTurn::LockPath() {
  return tPaths::RuntimeFolder() + "/boot.lock";
}

tBootTurn::tBootTurn() : fLock(LockPath()) {}

tBootTurn::tTry tBootTurn::TryTake(std::string& Error) {
  std::string Why;
  if (!tPaths::MakeFolders(tPaths::RuntimeFolder(), Why)) {
    Error = "cards cannot take turns for Boot: " + Why;
    return bt_Unusable;
  }
  std::string Failed;
  if (fLock.TryTake(Failed)) return bt_Taken;
  if (Failed.empty()) return bt_Busy;
  Error = "cards cannot take turns for Boot: " + Failed;
  return bt_Unusable;
}

bool tBootTurn::Take(const std::function<bool()>& Pause, std::string& Error) {
  for (;;) {
    switch (TryTake(Error)) {
      case bt_Taken:
        return true;
      case bt_Unusable:
        return false;
      case bt_Busy:
        if (!Pause()) return false;
    }
  }
}
