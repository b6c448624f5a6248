#!/bin/sh
# Builds the host-release preset, runs every benchmark and prints the table
# of results (the one docs/benchmarks.md shows). About a minute once built.
#
# The figures are timings on a shared machine: other work running at the
# same time lowers the throughputs and lengthens the latency tail. The load
# average is printed first so a busy run can be told apart.
set -eu
cd "$(dirname "$0")/.."

jobs=2
# NUVIK_BENCH_BUILD=DIR: build and measure in DIR (Release, benchmarks on)
# instead of the host-release preset's directory, e.g. beside other builds.
build=${NUVIK_BENCH_BUILD:-build/host-release}
out=$build/bench
stage() { printf '\n=== %s ===\n' "$*" >&2; }

stage "Building ($build)"
if [ "$build" = build/host-release ]; then
  cmake --preset host-release >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNUVIK_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "$jobs" --target nuvik nuvik-adapter \
  nuvik_bench_pipeline nuvik_bench_link_throughput nuvik_bench_link_latency nuvik_bench_bare_reader \
  nuvik_bench_line_conditions
# nuvik-arm's throughput, where it and the ARM executable are built.
arm=""
if [ -f build/ce-arm/nuvik.exe ] && cmake --build "$build" -j "$jobs" --target nuvik-arm >/dev/null 2>&1; then
  arm="--arm-exe build/ce-arm/nuvik.exe"
fi
for preset in mingw-i686 mingw-x64; do
  if [ ! -f "build/$preset/nuvik.exe" ]; then
    stage "Building nuvik.exe ($preset)"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" --target nuvik
  fi
done

results=$out/results.txt
: >"$results"
rm -f "$out/pipeline.json"
failed=0
# Runs one benchmark: shows its own report, keeps its RESULT lines for the
# table. A failure is reported and the others still run.
run() {
  log=$out/last-run.txt
  if ! "$@" >"$log"; then
    echo "bench: $* failed" >&2
    failed=1
  fi
  grep -v '^RESULT ' "$log" >&2 || true
  grep '^RESULT ' "$log" >>"$results" || true
}

stage "Machine"
{
  echo "cpus: $(nproc)"
  grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //; s/^/cpu: /'
  echo "kernel: $(uname -r)"
  echo "compiler: $(c++ --version | head -n 1)"
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
} >&2

stage "1. Decoder and dispatch in memory (Google Benchmark)"
run "$out/nuvik_bench_pipeline" --benchmark_out="$out/pipeline.json" --benchmark_out_format=json

stage "2. End to end through a pseudo-terminal, in-process"
run "$out/nuvik_bench_link_throughput" 3

stage "3. Latency, one packet at a time"
run "$out/nuvik_bench_link_latency" 2000

stage "4, 5, 2b, 3b and 6. The nuvik process: idle, failing device, footprint, adapter --fast beside a bare reader and beside nuvik-arm, latency, soak"
run python3 bench/process_bench.py "$build" --idle-seconds 10 --failing-seconds 5 --packets 100000 \
  --rounds 3 --latency-packets 500 --soak-packets 1000000 --typing-soak-packets 2000000 \
  --windows-dir build/mingw-i686 --windows-dir build/mingw-x64 $arm

stage "7. Decoders under line conditions (typed text, reads, faults)"
run "$out/nuvik_bench_line_conditions" 20000 1

stage "Results"
python3 bench/report.py "$results" "$out/pipeline.json" || failed=1
exit "$failed"
