// Latency of one key packet through a pseudo-terminal: from the write that
// carries the packet's last byte to the SendInput it becomes, one packet at
// a time. Each packet waits until the previous one has arrived and the
// reader has gone back to sleep, as between a person's key events.
//
// Usage: nuvik_bench_link_latency [PACKETS]   (default 2000)
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "link_fixture.h"

namespace {

constexpr int kWarmUp = 50;
constexpr int kArrivalTimeoutMs = 2000;
// Long enough for the reader to be back in its wait, far below the gap
// between the key events of a person typing.
constexpr long kPauseNs = 1000000;

struct Arrivals {
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<uint64_t> count{0};
  std::atomic<int64_t> lastAt{0};
};

double Percentile(const std::vector<double>& sorted, double share) {
  size_t index = static_cast<size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  long packets = argc > 1 ? std::atol(argv[1]) : 2000;
  if (packets < 10 || packets > 1000000) {
    std::fprintf(stderr, "usage: %s [PACKETS]  (10 to 1000000)\n", argv[0]);
    return 2;
  }

  Arrivals arrivals;
  bench::Link link;
  if (!link.Start()) return 1;
  // Stamped on the reader thread as the record is made.
  device::SetTraceSink([&arrivals](const std::string& line) {
    if (!bench::IsKeyEvent(line)) return;
    arrivals.lastAt = bench::NowNs();
    ++arrivals.count;
    std::lock_guard<std::mutex> lock(arrivals.mutex);
    arrivals.changed.notify_all();
  });

  std::vector<double> latenciesUs;
  latenciesUs.reserve(static_cast<size_t>(packets));
  const std::vector<uint8_t>& keys = bench::PressAndRelease();
  for (long i = 0; i < packets + kWarmUp; ++i) {
    const uint8_t* packet = keys.data() + (i % 2) * 4;
    uint64_t expected = static_cast<uint64_t>(i) + 1;
    int64_t written = bench::NowNs();
    if (!bench::WriteAll(link.master(), packet, 4)) {
      std::fprintf(stderr, "bench: write to the pty failed\n");
      return 1;
    }
    {
      std::unique_lock<std::mutex> lock(arrivals.mutex);
      if (!arrivals.changed.wait_for(lock, std::chrono::milliseconds(kArrivalTimeoutMs),
                                     [&] { return arrivals.count.load() >= expected; })) {
        std::fprintf(stderr, "bench: packet %ld never arrived\n", i);
        return 1;
      }
    }
    if (i >= kWarmUp) latenciesUs.push_back(static_cast<double>(arrivals.lastAt.load() - written) / 1000.0);
    if (i % 1000 == 999) device::ClearRecords();
    timespec pause = {0, kPauseNs};
    nanosleep(&pause, nullptr);
  }
  link.Stop();

  std::sort(latenciesUs.begin(), latenciesUs.end());
  double median = Percentile(latenciesUs, 0.5);
  double p99 = Percentile(latenciesUs, 0.99);
  double worst = latenciesUs.back();
  std::printf("%zu packets: median %.1f us (%.2f %% of a packet's wire time), p99 %.1f us (%.2f %%), max %.1f us\n",
              latenciesUs.size(), median, 100 * median / bench::kPacketWireUs, p99, 100 * p99 / bench::kPacketWireUs,
              worst);
  bench::Result("latency_median_us", median);
  bench::Result("latency_p99_us", p99);
  bench::Result("latency_max_us", worst);
  return 0;
}
