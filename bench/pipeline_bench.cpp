// The key pipeline in memory: DrainKeyPacketDecoder over a memory port, with
// and without DispatchKeyPacket behind it, and the dispatch alone.
// items_per_second is packets per second of CPU time; bench/report.py shows
// it as a multiple of the most the 9600 bit/s wire carries (240 packets/s).
//
// No trace sink is set, and the host's records (which grow with every
// SendInput) are cleared between batches outside the timed region.
#include <benchmark/benchmark.h>

#include <vector>

#include "device.h"
#include "pipeline/key_injector.h"
#include "pipeline/key_packet_decoder.h"
#include "platform.h"

namespace {

const char16_t kPortName[] = u"MEM1:";

std::vector<BYTE> KeyStream(size_t packets) {
  static const BYTE pressAndRelease[] = {0x41, 0x1E, 0x00, 0x5F, 0x41, 0x1E, 0x80, 0xDF};
  std::vector<BYTE> bytes;
  for (size_t i = 0; i < packets / 2; ++i) bytes.insert(bytes.end(), pressAndRelease, pressAndRelease + 8);
  return bytes;
}

// A fresh handheld with a memory port opened as the program opens its port.
HANDLE OpenMemoryPort() {
  device::Reset();
  device::SetTraceSink(nullptr);
  device::MapPortToMemory(kPortName);
  HANDLE port = CreateFileW(reinterpret_cast<LPCWSTR>(kPortName), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return port;
  COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 10, 1000};  // reads return at once, as the link sets them
  SetCommTimeouts(port, &immediate);
  return port;
}

void CountPackets(benchmark::State& state, size_t packetsPerIteration) {
  double packets = static_cast<double>(state.iterations()) * static_cast<double>(packetsPerIteration);
  state.SetItemsProcessed(static_cast<int64_t>(packets));
}

// 1024 packets a batch; three short runs, of which the median is reported,
// keep the whole suite to a few seconds.
void Settings(benchmark::internal::Benchmark* b) {
  b->Arg(1024)->MinTime(0.3)->Repetitions(3)->ReportAggregatesOnly(true);
}

void CountPacket(void* context, const KeyPacket&) { ++*static_cast<size_t*>(context); }

// The decoder alone: a receiver that only counts.
void BM_Decode(benchmark::State& state) {
  const size_t packets = static_cast<size_t>(state.range(0));
  HANDLE port = OpenMemoryPort();
  if (port == INVALID_HANDLE_VALUE) return state.SkipWithError("cannot open a memory port");
  const std::vector<BYTE> bytes = KeyStream(packets);
  KeyPacketDecoder decoder = {};
  size_t received = 0;
  for (auto _ : state) {
    state.PauseTiming();
    device::FeedPort(kPortName, bytes.data(), bytes.size());
    state.ResumeTiming();
    DrainKeyPacketDecoder(&decoder, port, CountPacket, &received);
  }
  CloseHandle(port);
  if (received != packets * state.iterations()) return state.SkipWithError("packets went missing");
  CountPackets(state, packets);
}
BENCHMARK(BM_Decode)->Apply(Settings);

// What the reader thread does on a character event: decode and dispatch.
void BM_DecodeAndDispatch(benchmark::State& state) {
  const size_t packets = static_cast<size_t>(state.range(0));
  HANDLE port = OpenMemoryPort();
  if (port == INVALID_HANDLE_VALUE) return state.SkipWithError("cannot open a memory port");
  const std::vector<BYTE> bytes = KeyStream(packets);
  KeyPacketDecoder decoder = {};
  KeyDispatchMemory memory = {};
  size_t injected = 0;
  for (auto _ : state) {
    state.PauseTiming();
    injected += device::CountRecords().keyInputs;
    device::ClearRecords();
    device::FeedPort(kPortName, bytes.data(), bytes.size());
    state.ResumeTiming();
    DrainKeyPacketDecoder(&decoder, port, DispatchReceivedKeyPacket, &memory);
  }
  injected += device::CountRecords().keyInputs;
  CloseHandle(port);
  device::ClearRecords();
  if (injected != packets * state.iterations()) return state.SkipWithError("key events went missing");
  CountPackets(state, packets);
}
BENCHMARK(BM_DecodeAndDispatch)->Apply(Settings);

// Dispatch alone: the look for the CE-Star panel and the SendInput record.
void BM_Dispatch(benchmark::State& state) {
  const size_t packets = static_cast<size_t>(state.range(0));
  device::Reset();
  device::SetTraceSink(nullptr);
  const KeyPacket press = {0x41, 0x1E, 0x00, 0x5F};
  const KeyPacket release = {0x41, 0x1E, 0x80, 0xDF};
  KeyDispatchMemory memory = {};
  for (auto _ : state) {
    state.PauseTiming();
    device::ClearRecords();
    state.ResumeTiming();
    for (size_t i = 0; i < packets; i += 2) {
      DispatchKeyPacket(&memory, press);
      DispatchKeyPacket(&memory, release);
    }
  }
  device::ClearRecords();
  CountPackets(state, packets);
}
BENCHMARK(BM_Dispatch)->Apply(Settings);

}  // namespace

BENCHMARK_MAIN();
