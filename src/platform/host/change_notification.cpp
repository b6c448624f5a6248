// How tests and tools wait on the handheld without polling: every change
// of its state bumps a count and wakes whoever waits for a predicate.
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
  unsigned long count = 0;
};

ChangeState& State() {
  static ChangeState* state = new ChangeState;
  return *state;
}

}  // namespace

namespace device {

void NotifyChanged() {
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    ++State().count;
  }
  State().changed.notify_all();
}

bool WaitFor(const std::function<bool()>& predicate, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    unsigned long seen;
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      seen = State().count;
    }
    // The predicate may take other locks of the device: call it unlocked.
    if (predicate()) return true;
    std::unique_lock<std::mutex> lock(State().mutex);
    if (!State().changed.wait_until(lock, deadline, [&] { return State().count != seen; })) {
      lock.unlock();
      return predicate();
    }
  }
}

}  // namespace device
