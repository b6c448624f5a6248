// A port whose received bytes come from a queue in memory rather than a tty:
// benchmarks and fuzzers feed it directly, with no kernel in between.
//
// Reads take bytes under a mutex and make no system call; only a caller
// that has to block does, on the port's wake-up descriptor, which a feed
// signals.
#include <string.h>

#include <algorithm>
#include <deque>

#include "serial_port.h"

namespace host {
namespace {

class MemorySource : public ByteSource {
 public:
  int PollFd() const override { return -1; }

  // Arrivals are fed in (Append), never pulled: nothing was taken that
  // no feed announced.
  Chunk Take(BYTE* to, DWORD room, DWORD* got, DWORD* arrived) override {
    (void)arrived;
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = queue_.size() < room ? queue_.size() : room;
    if (count == 0) return Chunk::kNone;
    auto from = queue_.begin();
    std::copy(from, from + static_cast<std::ptrdiff_t>(count), to);
    queue_.erase(from, from + static_cast<std::ptrdiff_t>(count));
    *got += static_cast<DWORD>(count);
    return Chunk::kSome;
  }

  bool Append(const void* bytes, size_t count) override {
    const BYTE* from = static_cast<const BYTE*>(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.insert(queue_.end(), from, from + count);
    return true;
  }

  void Release() override {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
    queue_.shrink_to_fit();
  }

 private:
  std::mutex mutex_;
  std::deque<BYTE> queue_;
};

}  // namespace

std::unique_ptr<ByteSource> NewMemorySource() { return std::make_unique<MemorySource>(); }

}  // namespace host
