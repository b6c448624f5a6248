// Latency of one key packet through a pseudo-terminal: from the write that
// carries the packet's last byte to the SendInput it becomes, one packet at
// a time. Each packet waits until the previous one has arrived and the
// reader has gone back to sleep, as between a person's key events. The same
// is first measured for a bare reader of the pseudo-terminal, which shows
// what the kernel alone costs.
//
// Usage: nuvik_bench_link_latency [PACKETS]   (default 2000)
#include <fcntl.h>
#include <poll.h>

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

// Sends the packets one at a time to `master` and gives their latencies
// in microseconds, sorted; arrivals are stamped by whoever records them.
bool Measure(int master, long packets, Arrivals* arrivals, std::vector<double>* latenciesUs) {
  const std::vector<uint8_t>& keys = bench::PressAndRelease();
  uint64_t base = arrivals->count.load();
  for (long i = 0; i < packets + kWarmUp; ++i) {
    const uint8_t* packet = keys.data() + (i % 2) * 4;
    uint64_t expected = base + static_cast<uint64_t>(i) + 1;
    int64_t written = bench::NowNs();
    if (!bench::WriteAll(master, packet, 4)) {
      std::fprintf(stderr, "bench: write to the pty failed\n");
      return false;
    }
    {
      std::unique_lock<std::mutex> lock(arrivals->mutex);
      if (!arrivals->changed.wait_for(lock, std::chrono::milliseconds(kArrivalTimeoutMs),
                                      [&] { return arrivals->count.load() >= expected; })) {
        std::fprintf(stderr, "bench: packet %ld never arrived\n", i);
        return false;
      }
    }
    if (i >= kWarmUp) latenciesUs->push_back(static_cast<double>(arrivals->lastAt.load() - written) / 1000.0);
    if (i % 1000 == 999) device::ClearRecords();
    timespec pause = {0, kPauseNs};
    nanosleep(&pause, nullptr);
  }
  std::sort(latenciesUs->begin(), latenciesUs->end());
  return true;
}

void Arrived(Arrivals* arrivals) {
  arrivals->lastAt = bench::NowNs();
  ++arrivals->count;
  std::lock_guard<std::mutex> lock(arrivals->mutex);
  arrivals->changed.notify_all();
}

// The floor the kernel sets: the same writes read by a bare thread blocked
// in poll() on the slave, with no program behind it.
bool MeasureBarePty(long packets, std::vector<double>* latenciesUs) {
  device::Pty pty;
  if (!device::OpenPty(&pty)) return false;
  int slave = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    device::ClosePty(&pty);
    return false;
  }
  Arrivals arrivals;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t buffer[64];
    size_t pending = 0;
    while (!stop) {
      pollfd ready = {slave, POLLIN, 0};
      if (::poll(&ready, 1, -1) <= 0) continue;
      ssize_t n = ::read(slave, buffer, sizeof buffer);
      if (n <= 0) continue;
      for (pending += static_cast<size_t>(n); pending >= 4; pending -= 4) Arrived(&arrivals);
    }
  });
  bool ok = Measure(pty.master, packets, &arrivals, latenciesUs);
  stop = true;
  uint8_t wake = 0;
  bench::WriteAll(pty.master, &wake, 1);
  reader.join();
  ::close(slave);
  device::ClosePty(&pty);
  return ok;
}

bool MeasureProgram(long packets, std::vector<double>* latenciesUs) {
  Arrivals arrivals;
  bench::Link link;
  if (!link.Start()) return false;
  // Stamped on the reader thread as the record is made.
  device::SetTraceSink([&arrivals](const std::string& line) {
    if (bench::IsKeyEvent(line)) Arrived(&arrivals);
  });
  bool ok = Measure(link.master(), packets, &arrivals, latenciesUs);
  link.Stop();
  return ok;
}

void Print(const char* what, const std::vector<double>& sorted) {
  double median = Percentile(sorted, 0.5);
  double p99 = Percentile(sorted, 0.99);
  std::printf("%s, %zu packets: median %.1f us (%.2f %% of a packet's wire time), p99 %.1f us (%.2f %%), max %.1f us\n",
              what, sorted.size(), median, 100 * median / bench::kPacketWireUs, p99,
              100 * p99 / bench::kPacketWireUs, sorted.back());
}

}  // namespace

int main(int argc, char** argv) {
  long packets = argc > 1 ? std::atol(argv[1]) : 2000;
  if (packets < 10 || packets > 1000000) {
    std::fprintf(stderr, "usage: %s [PACKETS]  (10 to 1000000)\n", argv[0]);
    return 2;
  }

  std::vector<double> bare, program;
  if (!MeasureBarePty(packets, &bare) || !MeasureProgram(packets, &program)) return 1;
  Print("bare pty, no program", bare);
  Print("the program", program);
  bench::Result("pty_floor_median_us", Percentile(bare, 0.5));
  bench::Result("pty_floor_p99_us", Percentile(bare, 0.99));
  bench::Result("latency_median_us", Percentile(program, 0.5));
  bench::Result("latency_p99_us", Percentile(program, 0.99));
  bench::Result("latency_max_us", program.back());
  return 0;
}
