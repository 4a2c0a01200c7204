#include "session/Shutdown.h"

#include <atomic>
#include <map>
#include <mutex>

#include "platform/Console.h"
#include "session/HostLoop.h"

namespace tShutdown {
namespace {

struct tState {
  std::mutex Lock;
  std::function<void(const std::string&)> Hold;
  std::map<const void*, std::string> Running;  // the updates under way and their actions
};

tState& State() {
  static tState Shared;
  return Shared;
}

std::atomic<bool> EndingNow{false};

// Tells the hold the reason for what runs now (the first update under way), or "".
void Tell(std::unique_lock<std::mutex>& Guard) {
  const std::string Reason =
      State().Running.empty() ? std::string() : HoldReason(State().Running.begin()->second);
  const auto Hold = State().Hold;
  Guard.unlock();
  if (Hold) Hold(Reason);
}

}  // namespace

void SetHold(std::function<void(const std::string& Reason)> Hold) {
  std::lock_guard<std::mutex> Guard(State().Lock);
  State().Hold = std::move(Hold);
}

void UpdateBegun(const void* Key, const std::string& Action) {
  std::unique_lock<std::mutex> Guard(State().Lock);
  State().Running[Key] = Action;
  Tell(Guard);
}

void UpdateEnded(const void* Key) {
  std::unique_lock<std::mutex> Guard(State().Lock);
  if (State().Running.erase(Key) == 0) return;
  Tell(Guard);
}

std::string HoldReason(const std::string& Action) {
  return "A card is being updated (" + Action +
         "). Ending now leaves the card half updated; wait until the update has finished.";
}

void SessionEnding() {
  EndingNow = true;
  RequestLoopStop(tConsole::cs_Terminate);
}

bool Ending() {
  return EndingNow;
}

std::string InterruptedFailure(const std::string& Failure) {
  if (!EndingNow) return Failure;
  const std::string Said = "interrupted by shutdown";
  if (Failure.empty() || Failure == "interrupted") return Said;
  return Said + ": " + Failure;
}

void Reset() {
  EndingNow = false;
  ClearLoopStop();
  std::lock_guard<std::mutex> Guard(State().Lock);
  State().Running.clear();
}

}  // namespace tShutdown
