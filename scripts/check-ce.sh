#!/bin/sh
# Checks that the program still fits a Windows CE 3.0 handheld:
#   1. every program source compiles as C++98 (the language of the handheld's
#      compilers) without a single diagnostic;
#   2. every system function the program's i686 library imports is a row of
#      the "Functions" section of docs/ce-api.md, which records where each one
#      comes from on the handheld and what CE 3.0 allows.
# A handheld refuses to load a program that imports a function coredll lacks,
# so a new call must be looked up and written down before it is made.
#
# Usage (from the repository root): scripts/check-ce.sh [I686_BUILD_DIR]
# The build directory defaults to build/mingw-i686 and must hold a finished
# build of the mingw-i686 preset. Exit code 0 when both checks pass, 1 when
# either fails, 2 when the checks cannot run.
set -eu
# Lists below hold one item a line; nothing here needs globbing.
set -f
newline='
'

CXX98=i686-w64-mingw32-g++
NM=i686-w64-mingw32-nm
TABLE=docs/ce-api.md

usage() { echo "usage: $0 [I686_BUILD_DIR]  (default: build/mingw-i686)" >&2; }

if [ "$#" -gt 1 ]; then
  usage
  exit 2
fi
build_dir=${1:-build/mingw-i686}
case $build_dir in
  -*) usage; exit 2 ;;
esac

for tool in "$CXX98" "$NM"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "check-ce: $tool not found (Debian: g++-mingw-w64-i686)" >&2
    exit 2
  fi
done
if [ ! -f "$TABLE" ] || [ ! -d src/pipeline ]; then
  echo "check-ce: run from the repository root ($TABLE not found)" >&2
  exit 2
fi

status=0

# --- 1. C++98 -------------------------------------------------------------
# Any output at all counts: a warning the desktop compiler lets pass may be
# an error for the handheld's.
files=$(find src/pipeline src/port src/shell -name '*.cpp' | LC_ALL=C sort)
if [ -z "$files" ]; then
  echo "check-ce: no .cpp files under src/pipeline, src/port, src/shell" >&2
  exit 2
fi
total=0
failed=""
IFS=$newline
for file in $files; do
  total=$((total + 1))
  if ! output=$("$CXX98" -std=c++98 -pedantic-errors -fsyntax-only -DUNICODE -D_UNICODE \
                -Isrc -Isrc/platform -Ires "$file" 2>&1) || [ -n "$output" ]; then
    failed="$failed  $file$newline"
    printf '%s\n' "$output" >&2
  fi
done
if [ -n "$failed" ]; then
  count=$(printf '%s' "$failed" | wc -l)
  echo "check-ce: C++98: $count of $total files do not compile cleanly as C++98:" >&2
  printf '%s' "$failed" >&2
  status=1
else
  echo "CE 3.0 C++98: OK (every one of the $total sources compiles as C++98 without a diagnostic)"
fi

# --- 2. Imports -------------------------------------------------------------
if [ ! -d "$build_dir" ]; then
  echo "check-ce: $build_dir does not exist: cmake --preset mingw-i686 && cmake --build --preset mingw-i686" >&2
  exit 2
fi
libs=$(find "$build_dir" -name libnuvik_program.a)
case $libs in
  "") echo "check-ce: no libnuvik_program.a under $build_dir: build the mingw-i686 preset first" >&2; exit 2 ;;
  *"
"*) echo "check-ce: more than one libnuvik_program.a under $build_dir:" >&2; printf '%s\n' "$libs" >&2; exit 2 ;;
esac

# Imports are the undefined __imp__Name@N symbols (stdcall) or __imp__Name
# (cdecl); the name is what the system DLL exports.
if ! undefined=$("$NM" -u "$libs"); then
  echo "check-ce: $NM could not read $libs" >&2
  exit 2
fi
imports=$(printf '%s\n' "$undefined" |
  sed -n 's/^[[:space:]]*U[[:space:]]\{1,\}__imp__\([A-Za-z_][A-Za-z0-9_]*\)\(@[0-9]\{1,\}\)\{0,1\}$/\1/p' |
  LC_ALL=C sort -u)
if [ -z "$imports" ]; then
  # A program that calls the system always imports something: an empty list
  # means this check no longer sees the imports, and must not pass.
  echo "check-ce: found no imported functions in $libs; the check cannot see the imports" >&2
  exit 2
fi

# The first cell of every table row in the "## Functions" section, with or
# without backticks; the section ends at the next level-2 heading.
rows=$(awk '
  /^## / { inside = ($0 ~ /^## Functions[[:space:]]*$/); next }
  inside && /^[[:space:]]*\|/ {
    cell = $0
    sub(/^[[:space:]]*\|/, "", cell)
    sub(/\|.*/, "", cell)
    gsub(/[[:space:]`]/, "", cell)
    if (cell ~ /^[A-Za-z_][A-Za-z0-9_]*$/) print cell
  }' "$TABLE" | LC_ALL=C sort -u)
if [ -z "$rows" ]; then
  echo "check-ce: $TABLE has no rows under \"## Functions\"" >&2
  exit 2
fi

missing=""
count=0
for name in $imports; do
  count=$((count + 1))
  # The desktop headers name the wide functions ...W; the handheld's headers
  # and reference pages often name them without the W.
  stem=${name%W}
  if printf '%s\n' "$rows" | grep -qx -e "$name" -e "$stem"; then
    continue
  fi
  missing="$missing  $name$newline"
done
if [ -n "$missing" ]; then
  echo "check-ce: imports: the program imports functions that are not rows of $TABLE:" >&2
  printf '%s' "$missing" >&2
  echo "  (look each up in the Windows CE reference and add a row; see $TABLE)" >&2
  status=1
else
  echo "CE 3.0 imports: OK ($count system functions imported, each a row of $TABLE)"
fi

exit $status
