// One card at a time from its Boot until its boot loader has been found, among every program
// of this user that updates firmware (several cards in one command, a station, two operators'
// commands): the one boot loader that appears meanwhile is then that card's, never a guess
// between two new ones. The turn is a lock on a file in the runtime folder, so a program that
// ends in any way gives it up.
//
// Threads: user-interface thread.
#pragma once

#include <functional>
#include <string>

#include "platform/Process.h"

class tBootTurn {
 public:
  tBootTurn();
  // Waits for the turn, calling Pause between tries (it returns false when the wait is to
  // stop). False when it was stopped, or with Error when the lock cannot be used: the caller
  // then goes on without it (its search for the new boot loader still refuses to choose
  // between two).
  bool Take(const std::function<bool()>& Pause, std::string& Error);
  // One try: bt_Taken, bt_Busy (another program has the turn; try again later), or
  // bt_Unusable with Error when the lock cannot be used.
  enum tTry { bt_Taken, bt_Busy, bt_Unusable };
  tTry TryTake(std::string& Error);
  void Release() { fLock.Release(); }
  bool Held() const { return fLock.Held(); }

  // RuntimeFolder() + "/boot.lock".
  static std::string LockPath();

 private:
  tFileLock fLock;
};
