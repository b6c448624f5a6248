#!/bin/sh
# Runs each fuzz target for a bounded time on a scratch copy of its seed
# corpus, so the repository is never written to. One summary line per
# target; the exit status is non-zero if any target crashed.
#
#   fuzz/run.sh BUILD_DIR [SECONDS]      (BUILD_DIR configured with the fuzz preset)
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  exit 2
fi
build=$(cd "$1" 2>/dev/null && pwd) || { echo "no such build directory: $1" >&2; exit 2; }
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
targets="packet_path registry"

cmake --build "$build" --target packet_path_fuzzer registry_fuzzer >/dev/null || {
  echo "building the fuzz targets failed (configure $build with the fuzz preset)" >&2
  exit 2
}

status=0
for target in $targets; do
  binary="$build/fuzz/${target}_fuzzer"
  scratch="$build/fuzz-run/$target"
  rm -rf "$scratch"
  mkdir -p "$scratch/corpus" "$scratch/artifacts"
  cp "$here/corpus/$target/"* "$scratch/corpus/" 2>/dev/null
  log="$scratch/fuzz.log"
  dict=""
  [ -f "$here/$target.dict" ] && dict="-dict=$here/$target.dict"
  "$binary" $dict -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$scratch/artifacts/" "$scratch/corpus" >"$log" 2>&1
  code=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  if [ "$code" -eq 0 ]; then
    echo "$target: ok, ${runs:-?} runs, ${speed:-?} exec/s, ${cov:-cov: ?}"
  else
    crash=$(ls "$scratch/artifacts" 2>/dev/null | head -n 1)
    echo "$target: FAILED (exit $code), artifact ${crash:+$scratch/artifacts/$crash}, log $log"
    status=1
  fi
done
exit $status
