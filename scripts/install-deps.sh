#!/bin/sh
# Installs what a fresh Debian machine lacks to build and test everything
# (`host`: only what the simulated handheld's build needs). Only missing
# packages are installed; needs root (or sudo).
set -eu
# The handheld draws its screen with Cairo in DejaVu Sans; apngasm makes the
# demo's animation from those pictures.
packages="cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev python3 pkg-config libcairo2-dev fonts-dejavu-core apngasm"
# llvm-rc compiles res/nuvik.rc for the handheld, which reads its icons back.
packages="$packages llvm-14"
if [ "${1:-all}" != host ]; then
  packages="$packages clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xauth"
  # nuvik-arm runs the ARM executable on an emulated CPU.
  packages="$packages libunicorn-dev"
  # The Windows CE toolchain comes as an xz tarball (see docs/windows.md);
  # its compilers and binutils need these shared libraries.
  packages="$packages xz-utils libgmp10 libmpfr6 zlib1g libzstd1"
fi
missing=""
for p in $packages; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
$as_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq --no-install-recommends $missing >/dev/null
