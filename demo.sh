#!/bin/sh
# Builds the simulated handheld and shows the program's main job: `nuvik`
# starts with its infrared port on a pseudo-terminal, the adapter simulator
# types a sentence into it, and the program is closed at the end.
set -eu
cd "$(dirname "$0")"
scripts/install-deps.sh host
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j 2 --target nuvik nuvik-adapter
exec python3 scripts/demo.py build/host-release "${1:-Hello from Nuvik!}"
