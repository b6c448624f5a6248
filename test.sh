#!/bin/sh
# Builds and runs every test: the host suite under ASan+UBSan and under TSan,
# the Windows cross builds, the Windows CE 3.0 ARM build and its checks (and,
# in both host suites, nuvik-arm running it), the fuzz targets for a bounded
# time and the smoke run under Wine. The last lines are the host suite's
# summary.
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

# The Windows CE toolchain (arm-mingw32ce): $NUVIK_CE_TOOLCHAIN, its tarball
# or a directory it was unpacked into, else the tarball in
# ../shared/toolchains. A tarball is unpacked into build/ once, and again
# only when it changes. Prints the toolchain's directory; returns 1 when
# there is none, 2 when it cannot be used. (Run in a command substitution
# that is tested, where the shell does not stop at a failed command: each
# step checks its own.)
ce_toolchain() {
  source=${NUVIK_CE_TOOLCHAIN:-}
  if [ -z "$source" ]; then
    for candidate in ../shared/toolchains/arm-mingw32ce-*.tar.xz; do
      [ -f "$candidate" ] && source=$candidate
    done
    [ -n "$source" ] || return 1
  fi
  if [ -d "$source" ] && [ -x "$source/bin/arm-mingw32ce-g++" ]; then
    (cd "$source" && pwd)
    return
  fi
  if [ ! -f "$source" ]; then
    echo "NUVIK_CE_TOOLCHAIN=$source is neither the toolchain's tarball nor a directory holding bin/arm-mingw32ce-g++" >&2
    return 2
  fi
  sum=$(sha256sum <"$source" | cut -d' ' -f1) || return 2
  unpacked=build/arm-mingw32ce
  if [ "$(cat "$unpacked/.tarball-sha256" 2>/dev/null)" != "$sum" ]; then
    echo "unpacking $source into $unpacked" >&2
    rm -rf "$unpacked" "$unpacked.unpacking" &&
      mkdir -p "$unpacked.unpacking" &&
      tar -C "$unpacked.unpacking" -xJf "$source" || return 2
    if [ ! -x "$unpacked.unpacking/arm-mingw32ce/bin/arm-mingw32ce-g++" ]; then
      echo "$source holds no arm-mingw32ce/bin/arm-mingw32ce-g++" >&2
      return 2
    fi
    mv "$unpacked.unpacking/arm-mingw32ce" "$unpacked" &&
      rmdir "$unpacked.unpacking" &&
      echo "$sum" >"$unpacked/.tarball-sha256" || return 2
  fi
  echo "$PWD/$unpacked"
}

stage "Windows CE 3.0 ARM build and checks (arm-mingw32ce)"
found=0
# With the ARM executable built, the host suites build nuvik-arm and run it:
# its own tests and the end-to-end rows marked Arm.
arm="-DNUVIK_REQUIRE_ARM_RUNS=OFF"
ce_root=$(ce_toolchain) || found=$?
if [ "$found" -eq 0 ]; then
  cmake --preset ce-arm -DNUVIK_CE_ROOT="$ce_root" >/dev/null
  cmake --build --preset ce-arm -j "$jobs"
  scripts/check-ce.sh build/ce-arm/nuvik.exe
  arm="-DNUVIK_REQUIRE_ARM_RUNS=ON -DNUVIK_ARM_EXE=$PWD/build/ce-arm/nuvik.exe"
elif [ "$found" -ne 1 ]; then
  exit 1
elif [ -n "${CI:-}" ]; then
  echo "no Windows CE toolchain, and CI must build the ARM executable: set NUVIK_CE_TOOLCHAIN to arm-mingw32ce-gcc4.4.0-binutils2.40-linux-x86_64.tar.xz" >&2
  exit 1
else
  echo "ARM build skipped: no Windows CE toolchain (set NUVIK_CE_TOOLCHAIN to its tarball; docs/windows.md, \"Building for a Pocket PC\", says where to get it)"
  scripts/check-ce.sh --sources
fi

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
cmake --preset host-tsan $arm >/dev/null
cmake --build --preset host-tsan -j "$jobs"
ctest --preset host-tsan -j "$jobs"

stage "Host suite under ASan+UBSan"
cmake --preset host $arm >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"
