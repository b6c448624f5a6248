// End-to-end throughput through a pseudo-terminal: a writer thread pushes
// key packets into the pty master as fast as the kernel takes them, the
// program's reader thread waits, drains, decodes and injects, and a trace
// sink counts the SendInput records that come out. The same stream is
// first read by a bare thread with no program behind it, which shows what
// the pseudo-terminal alone can carry.
//
// Usage: nuvik_bench_link_throughput [SECONDS]   (default 3, per reader)
//
// The host keeps a record of every SendInput; the batches are cleared in
// between so memory stays bounded, and the clearing is not timed.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "link_fixture.h"

namespace {

constexpr size_t kBatchPackets = 65536;  // 256 KiB of packets per batch
constexpr int kBatchTimeoutMs = 10000;

// Counted on the reader thread, which also reads its own CPU clock,
// context-switch counts and time spent runnable but waiting for a CPU at
// the first and the last arrival of each batch.
struct Arrivals {
  std::mutex mutex;
  std::condition_variable done;
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> batchStart{0};
  std::atomic<uint64_t> target{0};
  std::atomic<int64_t> lastAt{0};  // when the target was reached
  std::atomic<uint64_t> cpuFrom{0};   // the count when cpuStart was read
  std::atomic<int64_t> cpuStart{0};
  std::atomic<int64_t> cpuEnd{0};
  std::atomic<long> switchesStart{0};
  std::atomic<long> switchesEnd{0};
  std::atomic<int64_t> waitStart{0};
  std::atomic<int64_t> waitEnd{0};
};

int64_t ThreadCpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

long ThreadContextSwitches() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Nanoseconds the calling thread has spent ready to run while another
// task had the CPU (the second field of its schedstat).
int64_t ThreadRunQueueWaitNs() {
  FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
  if (file == nullptr) return 0;
  unsigned long long onCpu = 0, waiting = 0;
  int fields = std::fscanf(file, "%llu %llu", &onCpu, &waiting);
  std::fclose(file);
  return fields == 2 ? static_cast<int64_t>(waiting) : 0;
}

void Arrived(Arrivals* arrivals, uint64_t packets) {
  uint64_t before = arrivals->count.fetch_add(packets);
  uint64_t target = arrivals->target.load();
  if (before == arrivals->batchStart.load()) {
    arrivals->cpuFrom = before + packets;
    arrivals->cpuStart = ThreadCpuNs();
    arrivals->switchesStart = ThreadContextSwitches();
    arrivals->waitStart = ThreadRunQueueWaitNs();
  }
  if (before < target && before + packets >= target) {
    arrivals->cpuEnd = ThreadCpuNs();
    arrivals->switchesEnd = ThreadContextSwitches();
    arrivals->waitEnd = ThreadRunQueueWaitNs();
    arrivals->lastAt = bench::NowNs();
    std::lock_guard<std::mutex> lock(arrivals->mutex);
    arrivals->done.notify_all();
  }
}

struct Rate {
  double perSecond = 0;         // 0 when packets went missing
  double readerCpuNsPerPacket = 0;
  double readerSwitchesPerPacket = 0;  // context switches, voluntary or not
  double readerWaitingShare = 0;       // of the time, runnable but without a CPU
};

// Writes batches to `master` for about `seconds`: the packets per second
// that arrived, timed from each batch's first write to its last arrival,
// and the reader thread's CPU time per packet.
Rate RunBatches(int master, Arrivals* arrivals, double seconds) {
  const std::vector<uint8_t> batch = bench::KeyStream(kBatchPackets);
  uint64_t sent = arrivals->count.load();
  uint64_t packets = 0;
  int64_t busyNs = 0;
  uint64_t cpuPackets = 0;
  int64_t cpuNs = 0;
  long switches = 0;
  int64_t waitingNs = 0;
  Rate rate;
  while (busyNs < static_cast<int64_t>(seconds * 1e9)) {
    device::ClearRecords();
    arrivals->batchStart = sent;
    arrivals->target = sent + kBatchPackets;
    int64_t start = bench::NowNs();
    std::thread writer([&] { bench::WriteAll(master, batch.data(), batch.size()); });
    {
      std::unique_lock<std::mutex> lock(arrivals->mutex);
      arrivals->done.wait_for(lock, std::chrono::milliseconds(kBatchTimeoutMs),
                              [&] { return arrivals->count.load() >= arrivals->target.load(); });
    }
    writer.join();
    if (arrivals->count.load() < arrivals->target.load()) {
      std::fprintf(stderr, "bench: %llu of %zu packets of a batch arrived\n",
                   static_cast<unsigned long long>(arrivals->count.load() - sent), kBatchPackets);
      return rate;
    }
    busyNs += arrivals->lastAt.load() - start;
    cpuNs += arrivals->cpuEnd.load() - arrivals->cpuStart.load();
    switches += arrivals->switchesEnd.load() - arrivals->switchesStart.load();
    waitingNs += arrivals->waitEnd.load() - arrivals->waitStart.load();
    cpuPackets += arrivals->target.load() - arrivals->cpuFrom.load();
    sent += kBatchPackets;
    packets += kBatchPackets;
  }
  rate.perSecond = static_cast<double>(packets) / (static_cast<double>(busyNs) / 1e9);
  rate.readerWaitingShare = static_cast<double>(waitingNs) / static_cast<double>(busyNs);
  if (cpuPackets) {
    rate.readerCpuNsPerPacket = static_cast<double>(cpuNs) / static_cast<double>(cpuPackets);
    rate.readerSwitchesPerPacket = static_cast<double>(switches) / static_cast<double>(cpuPackets);
  }
  return rate;
}

// A bare thread reading the slave with no program behind it: in large
// reads (what the pseudo-terminal itself can carry), or a byte and then
// three as the decoder reads each packet (what that pattern of system calls
// costs on its own).
Rate MeasureBarePty(double seconds, bool perPacket) {
  device::Pty pty;
  if (!device::OpenPty(&pty)) return Rate();
  int slave = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    device::ClosePty(&pty);
    return Rate();
  }
  Arrivals arrivals;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t buffer[4096];
    size_t pending = 0;
    while (!stop) {
      pollfd ready = {slave, POLLIN, 0};
      if (::poll(&ready, 1, -1) <= 0) continue;
      for (;;) {
        size_t want = perPacket ? (pending == 0 ? 1 : 4 - pending) : sizeof buffer;
        ssize_t n = ::read(slave, buffer, want);
        if (n <= 0) break;
        pending += static_cast<size_t>(n);
        if (pending >= 4) Arrived(&arrivals, pending / 4);
        pending %= 4;
        if (!perPacket) break;
      }
    }
  });
  Rate rate = RunBatches(pty.master, &arrivals, seconds);
  stop = true;
  uint8_t wake = 0;
  bench::WriteAll(pty.master, &wake, 1);
  reader.join();
  ::close(slave);
  device::ClosePty(&pty);
  return rate;
}

// Also gives how the reader's work divides up: ReadFile calls and event
// waits per packet.
Rate MeasureProgram(double seconds, double* readsPerPacket, double* waitsPerPacket) {
  Arrivals arrivals;
  bench::Link link;
  if (!link.Start()) return Rate();
  device::SetTraceSink([&arrivals](const std::string& line) {
    if (bench::IsKeyEvent(line)) Arrived(&arrivals, 1);
  });
  long reads = device::PortReads();
  long waits = device::PortWaits();
  Rate rate = RunBatches(link.master(), &arrivals, seconds);
  double packets = static_cast<double>(arrivals.count.load());
  link.Stop();
  *readsPerPacket = packets > 0 ? (device::PortReads() - reads) / packets : 0;
  *waitsPerPacket = packets > 0 ? (device::PortWaits() - waits) / packets : 0;
  return rate;
}

void Print(const char* what, const Rate& rate) {
  std::printf("%-42s %9.0f packets/s = %6.0f x the line rate\n", what, rate.perSecond,
              rate.perSecond / bench::kLineRatePerSecond);
  std::printf("%-42s reader: %.2f us CPU and %.2f context switches a packet, waited for a CPU %.0f %% of the time\n",
              "", rate.readerCpuNsPerPacket / 1000, rate.readerSwitchesPerPacket, 100 * rate.readerWaitingShare);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (!(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "usage: %s [SECONDS]  (0 < SECONDS <= 600)\n", argv[0]);
    return 2;
  }
  Rate bare = MeasureBarePty(seconds / 4, false);
  Rate barePerPacket = MeasureBarePty(seconds / 4, true);
  double readsPerPacket = 0, waitsPerPacket = 0;
  Rate program = MeasureProgram(seconds, &readsPerPacket, &waitsPerPacket);
  if (bare.perSecond <= 0 || barePerPacket.perSecond <= 0 || program.perSecond <= 0) return 1;
  Print("bare pty, read 4 KiB at a time:", bare);
  Print("bare pty, read 1 byte then 3 per packet:", barePerPacket);
  Print("the program:", program);
  std::printf("the program: %.2f ReadFile and %.4f WaitCommEvent calls per packet\n", readsPerPacket,
              waitsPerPacket);
  bench::Result("pty_floor_packets_per_s", bare.perSecond);
  bench::Result("pty_floor_per_packet_reads_packets_per_s", barePerPacket.perSecond);
  bench::Result("pty_floor_per_packet_reads_cpu_us", barePerPacket.readerCpuNsPerPacket / 1000);
  bench::Result("pty_floor_per_packet_reads_switches", barePerPacket.readerSwitchesPerPacket);
  bench::Result("pty_packets_per_s", program.perSecond);
  bench::Result("pty_x_line_rate", program.perSecond / bench::kLineRatePerSecond);
  bench::Result("pty_reader_cpu_us", program.readerCpuNsPerPacket / 1000);
  bench::Result("pty_reader_switches", program.readerSwitchesPerPacket);
  bench::Result("pty_reader_waiting_share", program.readerWaitingShare);
  bench::Result("pty_reads_per_packet", readsPerPacket);
  bench::Result("pty_waits_per_packet", waitsPerPacket);
  return 0;
}
