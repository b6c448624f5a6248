#!/bin/sh
# Builds the simulated handheld and shows the program's main job: `nuvik`
# starts with its infrared port on a pseudo-terminal, the adapter simulator
# types a sentence into it, the tray menu disables and enables the keyboard,
# and the program is closed at the end. The build's own output goes to a
# log, so what the demo prints fits one screen.
set -eu
cd "$(dirname "$0")"
scripts/install-deps.sh host
build=build/host-release
mkdir -p "$build"
log=$build/demo-build.log
echo "Building nuvik and nuvik-adapter in $build (log: $log)"
if ! { cmake --preset host-release && cmake --build --preset host-release -j 2 --target nuvik nuvik-adapter; } \
    >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "demo: the build failed; the whole log is $log" >&2
  exit 1
fi
exec python3 scripts/demo.py "$build" "${1:-Hello from Nuvik!}"
