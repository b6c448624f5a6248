// The trace on a file descriptor (nuvik's standard output), written in
// batches. A write per line would cost the handheld more than the key it
// shows, so lines queue up and go out together whenever a thread of the
// handheld is about to block: whoever waits for a line has it no later than
// the program next waits. A batch that grows large goes out at once, so the
// queue stays small however long no thread waits.
//
// Every thread's lines go to one queue, in the order they were recorded,
// and batches are written one at a time in the order they were taken: what
// comes out is the record's order. Cause before effect is then up to the
// calls that wake another thread, which record their line before the wake.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "internal.h"

namespace {

constexpr size_t kBatchBytes = 64 * 1024;

struct OutputState {
  // Taken inside the record lock, so lines queue in the trace's order.
  std::mutex queueMutex;
  std::string queued;
  int fd = -1;
  std::atomic<bool> anyQueued{false};
  // One batch is written at a time, in the order the batches were taken.
  // Taken before queueMutex, never inside the record lock.
  std::mutex writeMutex;
  std::string writing;
};

// Threads still running while the process exits may flush: never destroyed.
OutputState& State() {
  static OutputState* state = new OutputState;
  return *state;
}

// False when the descriptor can take no more: its reader has gone away
// (EPIPE), it was never open, or it failed.
bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor inherited non-blocking: wait for room as a blocking one would.
      pollfd room = {fd, POLLOUT, 0};
      ::poll(&room, 1, -1);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace host {

bool QueueTraceLine(const std::string& line) {
  OutputState& state = State();
  std::lock_guard<std::mutex> lock(state.queueMutex);
  if (state.fd < 0) return false;
  state.queued += line;
  state.queued += '\n';
  state.anyQueued.store(true, std::memory_order_release);
  return state.queued.size() >= kBatchBytes;
}

void AboutToBlock() { device::FlushTrace(); }

}  // namespace host

namespace device {

void SetTraceOutput(int fd) {
  FlushTrace();
  OutputState& state = State();
  std::lock_guard<std::mutex> lock(state.queueMutex);
  state.fd = fd;
}

void FlushTrace() {
  OutputState& state = State();
  // The common case, a thread about to wait with nothing new to show.
  if (!state.anyQueued.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> writing(state.writeMutex);
  int fd;
  {
    std::lock_guard<std::mutex> lock(state.queueMutex);
    if (state.queued.empty()) return;
    state.writing.swap(state.queued);  // both keep their capacity: no allocation per batch
    state.anyQueued.store(false, std::memory_order_relaxed);
    fd = state.fd;
  }
  bool ok = WriteAll(fd, state.writing);
  state.writing.clear();
  if (!ok) {
    // Nobody reads the trace any more (`nuvik | head -3`): the handheld
    // carries on exactly as before, its trace going nowhere.
    std::lock_guard<std::mutex> lock(state.queueMutex);
    if (state.fd != fd) return;  // pointed elsewhere meanwhile
    state.fd = -1;
    state.queued.clear();
    state.anyQueued.store(false, std::memory_order_relaxed);
  }
}

}  // namespace device
