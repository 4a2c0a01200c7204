#include "platform/UIThread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tUIThread {
namespace {

struct tPending {
  const std::function<void()>* Proc;
  bool Done = false;
};

struct tState {
  std::mutex Lock;
  std::condition_variable Arrived;   // a procedure is waiting, or Wake was called
  std::condition_variable Finished;  // a procedure has run
  std::deque<tPending*> Queue;
  bool Woken = false;
  std::thread::id UIThreadId = std::this_thread::get_id();
  std::function<void()> WakeHook;
  std::function<void()> WokenHook;
};

tState& State() {
  static tState S;
  return S;
}

// Touch the state during static initialisation so the main thread becomes the UI thread.
[[maybe_unused]] const bool Initialised = (State(), true);

int ServeLocked(std::unique_lock<std::mutex>& Guard) {
  tState& S = State();
  int Ran = 0;
  while (!S.Queue.empty()) {
    tPending* Item = S.Queue.front();
    S.Queue.pop_front();
    Guard.unlock();
    (*Item->Proc)();
    Guard.lock();
    Item->Done = true;
    ++Ran;
  }
  if (Ran > 0) S.Finished.notify_all();
  return Ran;
}

}  // namespace

void RunAndWait(const std::function<void()>& Proc) {
  if (IsUIThread()) {
    Proc();
    return;
  }
  tState& S = State();
  tPending Item{&Proc};
  std::function<void()> Hook;
  {
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Queue.push_back(&Item);
    Hook = S.WakeHook;
  }
  S.Arrived.notify_all();
  if (Hook) Hook();
  std::unique_lock<std::mutex> Guard(S.Lock);
  S.Finished.wait(Guard, [&] { return Item.Done; });
}

int ServePending() {
  std::unique_lock<std::mutex> Guard(State().Lock);
  return ServeLocked(Guard);
}

int WaitAndServe(std::chrono::milliseconds Timeout) {
  tState& S = State();
  std::unique_lock<std::mutex> Guard(S.Lock);
  if (S.Queue.empty() && !S.Woken) {
    S.Arrived.wait_for(Guard, Timeout, [&] { return !S.Queue.empty() || S.Woken; });
  }
  S.Woken = false;
  return ServeLocked(Guard);
}

void Wake() {
  tState& S = State();
  std::function<void()> Hook;
  {
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Woken = true;
    Hook = S.WokenHook;
  }
  S.Arrived.notify_all();
  if (Hook) Hook();
}

void SetCurrentAsUIThread() {
  std::lock_guard<std::mutex> Guard(State().Lock);
  State().UIThreadId = std::this_thread::get_id();
}

bool IsUIThread() {
  std::lock_guard<std::mutex> Guard(State().Lock);
  return State().UIThreadId == std::this_thread::get_id();
}

void SetWakeHook(std::function<void()> Hook) {
  std::lock_guard<std::mutex> Guard(State().Lock);
  State().WakeHook = std::move(Hook);
}

void SetWokenHook(std::function<void()> Hook) {
  std::lock_guard<std::mutex> Guard(State().Lock);
  State().WokenHook = std::move(Hook);
}

}  // namespace tUIThread
