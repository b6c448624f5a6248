// How tests and tools wait on the handheld without polling: every change
// of its state bumps a count and wakes whoever waits for a predicate.
//
// Changes come with every port read and every key, and mostly nobody waits
// (nuvik waits only while the console runs a command): a change then costs
// two atomic operations, and the lock and the wake-up only when a waiter
// is there.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "internal.h"

namespace {

// Detached threads may still report changes while the process exits, so
// this state is never destroyed.
struct ChangeState {
  std::mutex mutex;
  std::condition_variable changed;
  // Bumped before `waiters` is read; a waiter counts itself (under the
  // mutex) before it first reads `count`. So a change either is seen by
  // the waiter's next look or finds the waiter counted and takes the mutex,
  // which it cannot get between the waiter's look and its sleep.
  std::atomic<unsigned long> count{0};
  std::atomic<int> waiters{0};
};

ChangeState& State() {
  static ChangeState* state = new ChangeState;
  return *state;
}

}  // namespace

namespace device {

void NotifyChanged() {
  ChangeState& state = State();
  state.count.fetch_add(1);
  if (state.waiters.load() == 0) return;
  { std::lock_guard<std::mutex> lock(state.mutex); }
  state.changed.notify_all();
}

bool WaitFor(const std::function<bool()>& predicate, int timeoutMs) {
  ChangeState& state = State();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.waiters.fetch_add(1);
  }
  bool held;
  for (;;) {
    unsigned long seen = state.count.load();
    // The predicate may take other locks of the device: call it unlocked.
    if (predicate()) {
      held = true;
      break;
    }
    std::unique_lock<std::mutex> lock(state.mutex);
    if (!state.changed.wait_until(lock, deadline, [&] { return state.count.load() != seen; })) {
      lock.unlock();
      held = predicate();
      break;
    }
  }
  state.waiters.fetch_sub(1);
  return held;
}

}  // namespace device
