// End-to-end throughput through a pseudo-terminal: a writer thread pushes
// key packets into the pty master as fast as the kernel takes them, the
// program's reader thread waits, drains, decodes and injects, and a trace
// sink counts the SendInput records that come out.
//
// Usage: nuvik_bench_link_throughput [SECONDS]   (default 3)
//
// The host keeps a record of every SendInput; the batches are cleared in
// between so memory stays bounded, and the clearing is not timed.
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "link_fixture.h"

namespace {

constexpr size_t kBatchPackets = 65536;  // 256 KiB of packets per batch
constexpr int kBatchTimeoutMs = 10000;

struct Arrivals {
  std::mutex mutex;
  std::condition_variable done;
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> target{0};
  std::atomic<int64_t> lastAt{0};  // when the target was reached
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (!(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "usage: %s [SECONDS]  (0 < SECONDS <= 600)\n", argv[0]);
    return 2;
  }

  Arrivals arrivals;
  bench::Link link;
  if (!link.Start()) return 1;
  device::SetTraceSink([&arrivals](const std::string& line) {
    if (!bench::IsKeyEvent(line)) return;
    uint64_t n = ++arrivals.count;
    if (n == arrivals.target.load()) {
      arrivals.lastAt = bench::NowNs();
      std::lock_guard<std::mutex> lock(arrivals.mutex);
      arrivals.done.notify_all();
    }
  });

  const std::vector<uint8_t> batch = bench::KeyStream(kBatchPackets);
  uint64_t sent = 0;
  int64_t busyNs = 0;
  int batches = 0;
  bool lost = false;
  while (busyNs < static_cast<int64_t>(seconds * 1e9)) {
    device::ClearRecords();
    arrivals.target = sent + kBatchPackets;
    int64_t start = bench::NowNs();
    std::thread writer([&] { bench::WriteAll(link.master(), batch.data(), batch.size()); });
    {
      std::unique_lock<std::mutex> lock(arrivals.mutex);
      arrivals.done.wait_for(lock, std::chrono::milliseconds(kBatchTimeoutMs),
                             [&] { return arrivals.count.load() >= arrivals.target.load(); });
    }
    writer.join();
    if (arrivals.count.load() < arrivals.target.load()) {
      lost = true;
      std::fprintf(stderr, "bench: batch %d: %llu of %zu packets arrived\n", batches,
                   static_cast<unsigned long long>(arrivals.count.load() - sent), kBatchPackets);
      break;
    }
    busyNs += arrivals.lastAt.load() - start;
    sent += kBatchPackets;
    ++batches;
  }
  link.Stop();

  if (lost || batches == 0) return 1;
  double perSecond = static_cast<double>(sent) / (static_cast<double>(busyNs) / 1e9);
  std::printf("%llu packets in %d batches, %.3f s: %.0f packets/s = %.0f x the line rate\n",
              static_cast<unsigned long long>(sent), batches, busyNs / 1e9, perSecond,
              perSecond / bench::kLineRatePerSecond);
  bench::Result("pty_packets_per_s", perSecond);
  bench::Result("pty_x_line_rate", perSecond / bench::kLineRatePerSecond);
  return 0;
}
