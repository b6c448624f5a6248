#!/bin/sh
# Builds and runs every test: the host suite under ASan+UBSan and under TSan,
# the Windows cross builds and their Windows CE 3.0 checks, the fuzz targets
# for a bounded time and the smoke run under Wine. The last lines are the host
# suite's summary.
set -eu
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=2
stage() { printf '\n=== %s ===\n' "$*"; }

stage "Icons match their generator"
python3 tools/icongen/icongen.py --check

stage "Windows builds (MinGW-w64, real Windows headers)"
for preset in mingw-i686 mingw-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

stage "CE 3.0 checks: C++98 and imports"
scripts/check-ce.sh build/mingw-i686

if [ -x tests/wine/smoke.sh ]; then
  stage "Smoke run under Wine"
  tests/wine/smoke.sh build/mingw-x64/nuvik.exe build/mingw-x64/nuvik-wine-driver.exe
fi

if [ -f fuzz/CMakeLists.txt ]; then
  stage "Fuzzing (bounded)"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  fuzz/run.sh build/fuzz
fi

stage "Host suite under TSan"
cmake --preset host-tsan >/dev/null
cmake --build --preset host-tsan -j "$jobs"
ctest --preset host-tsan -j "$jobs"

stage "Host suite under ASan+UBSan"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"
