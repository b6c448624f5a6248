#!/bin/sh
# Checks that the program fits a Windows CE 3.0 handheld (Pocket PC 2000 and
# 2002, ARM):
#   1. every program source compiles as C++98 (the language of the
#      handheld's compilers) without a single diagnostic;
#   2. no `for` statement in the program's code declares a variable in its
#      first clause: eMbedded Visual C++ 3.0, a Visual C++ 6 generation
#      compiler, keeps such a variable alive to the end of the enclosing
#      block, so a second loop that declares the same name does not compile
#      there (C2374), while every newer compiler takes it;
#   3. the ARM executable is one the handheld loads: machine ARM (0x01C0),
#      subsystem Windows CE GUI (9) version 3.0, OS version 3.0, imports from
#      COREDLL.dll only, every import a row of the "Functions" section of
#      docs/ce-api.md, and at most 32 KiB. The handheld refuses to start a
#      program that imports a function coredll lacks, so a new call must be
#      looked up and written down before it is made.
#
# Usage (from the repository root):
#   scripts/check-ce.sh [EXE]      all three; EXE defaults to build/ce-arm/nuvik.exe
#                                  (the ce-arm preset's build)
#   scripts/check-ce.sh --sources  1 and 2 only, for a machine without the
#                                  CE toolchain
# Exit code 0 when every check passes, 1 when one fails, 2 when the checks
# cannot run.
set -eu
# Lists below hold one item a line; nothing here needs globbing.
set -f
newline='
'

CXX98=i686-w64-mingw32-g++
TABLE=docs/ce-api.md
EXE_LIMIT=32768

usage() { echo "usage: $0 [EXE | --sources]  (default: build/ce-arm/nuvik.exe)" >&2; }

if [ "$#" -gt 1 ]; then
  usage
  exit 2
fi
exe=${1:-build/ce-arm/nuvik.exe}
case $exe in
  --sources) exe="" ;;
  -*) usage; exit 2 ;;
esac

if ! command -v "$CXX98" >/dev/null 2>&1; then
  echo "check-ce: $CXX98 not found (Debian: g++-mingw-w64-i686)" >&2
  exit 2
fi
READOBJ=""
if [ -n "$exe" ]; then
  for tool in llvm-readobj-14 llvm-readobj; do
    if command -v "$tool" >/dev/null 2>&1; then
      READOBJ=$tool
      break
    fi
  done
  if [ -z "$READOBJ" ]; then
    echo "check-ce: llvm-readobj not found (Debian: llvm-14)" >&2
    exit 2
  fi
fi
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

# --- 2. The for rule --------------------------------------------------------
# Comments, string and character literals are blanked first (line breaks
# kept, so line numbers hold); then the text from each `for (` to the first
# `;` is the first clause, and a type followed by a name starts a
# declaration: `DWORD i = 0`, `size_t i`, `const T* p = …`, `unsigned n`.
sources=$(find src/pipeline src/port src/shell -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
declarations=$(for file in $sources; do
  awk -v file="$file" '
    {
      line = $0; clean = ""; n = length(line)
      for (i = 1; i <= n; i++) {
        c = substr(line, i, 1); two = substr(line, i, 2)
        if (state == "block") {
          if (two == "*/") { state = ""; i++ }
          clean = clean " "
        } else if (state == "\"" || state == "'\''") {
          if (c == "\\") i++
          else if (c == state) state = ""
          clean = clean " "
        } else if (two == "//") {
          break
        } else if (two == "/*") {
          state = "block"; i++; clean = clean " "
        } else if (c == "\"" || c == "'\''") {
          state = c; clean = clean " "
        } else {
          clean = clean c
        }
      }
      # A literal never spans lines here (no line continuations in them).
      if (state != "block") state = ""
      code = code clean "\n"
    }
    END {
      # lines: how many line breaks lie before the start of code.
      lines = 0
      while (match(code, /(^|[^A-Za-z0-9_])for[ \t\n]*\(/)) {
        start = RSTART + RLENGTH
        before = substr(code, 1, RSTART)
        lineNo = lines + gsub(/\n/, "", before) + 1
        rest = substr(code, start)
        end = index(rest, ";")
        clause = end ? substr(rest, 1, end - 1) : rest
        gsub(/[ \t\n]+/, " ", clause)
        sub(/^ /, "", clause)
        sub(/ $/, "", clause)
        if (clause ~ /^[A-Za-z_][A-Za-z0-9_]*( ?:: ?[A-Za-z_][A-Za-z0-9_]*)*( ?<[^;]*>)?( ?[*&]+ ?| )(const )?[A-Za-z_]/ &&
            clause !~ /^(delete|new|return|sizeof|throw|typeid|case|goto) /)
          printf "  %s:%d: for (%s;\n", file, lineNo, clause
        skipped = substr(code, 1, start - 1)
        lines += gsub(/\n/, "", skipped)
        code = rest
      }
    }' "$file"
done)
if [ -n "$declarations" ]; then
  echo "check-ce: for rule: these for statements declare their variable in the first clause" >&2
  echo "  (eVC 3.0 keeps it to the end of the block: declare it before the loop):" >&2
  printf '%s\n' "$declarations" >&2
  status=1
else
  count=$(printf '%s\n' "$sources" | wc -l)
  echo "CE 3.0 for rule: OK (no for statement in the $count program files declares its variable)"
fi

if [ -z "$exe" ]; then
  exit $status
fi

# --- 3. The ARM executable --------------------------------------------------
if [ ! -f "$exe" ]; then
  echo "check-ce: $exe does not exist: cmake --preset ce-arm && cmake --build --preset ce-arm" >&2
  exit 2
fi
if ! headers=$("$READOBJ" --file-headers "$exe" 2>&1) ||
   ! imported=$("$READOBJ" --coff-imports "$exe" 2>&1); then
  echo "check-ce: $READOBJ could not read $exe:" >&2
  printf '%s\n' "$headers$newline$imported" >&2
  exit 2
fi
# The value of one "Field: value" line of the headers.
field() { printf '%s\n' "$headers" | sed -n "s/^[[:space:]]*$1: //p" | head -n 1; }

machine=$(field Machine)
subsystem=$(field Subsystem)
subsystem_version="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
os_version="$(field MajorOperatingSystemVersion).$(field MinorOperatingSystemVersion)"
size=$(wc -c <"$exe" | tr -d ' ')
wrong=""
case $machine in
  *"(0x1C0)") ;;
  *) wrong="$wrong  machine is $machine, not ARM (0x1C0)$newline" ;;
esac
case $subsystem in
  *"(0x9)") ;;
  *) wrong="$wrong  subsystem is $subsystem, not Windows CE GUI (9)$newline" ;;
esac
[ "$subsystem_version" = 3.0 ] || wrong="$wrong  subsystem version is $subsystem_version, not 3.0$newline"
[ "$os_version" = 3.0 ] || wrong="$wrong  OS version is $os_version, not 3.0$newline"
[ "$size" -le "$EXE_LIMIT" ] || wrong="$wrong  $size bytes, over the $EXE_LIMIT bytes (32 KiB) allowed$newline"
if [ -n "$wrong" ]; then
  echo "check-ce: $exe is not a Windows CE 3.0 ARM program the handheld loads:" >&2
  printf '%s' "$wrong" >&2
  status=1
else
  echo "CE 3.0 executable: OK (ARM, Windows CE GUI 3.0, OS 3.0, $size of $EXE_LIMIT bytes)"
fi

# Imports: "Name: X.dll" opens each DLL's list, "Symbol: Name (hint)" follows
# for each function; an import by ordinal has no name.
dlls=$(printf '%s\n' "$imported" | sed -n 's/^[[:space:]]*Name: //p' | LC_ALL=C sort -u)
imports=$(printf '%s\n' "$imported" | sed -n 's/^[[:space:]]*Symbol: \(.*\) ([0-9]*)$/\1/p' | LC_ALL=C sort -u)
if [ -z "$imports" ]; then
  # A program that calls the system always imports something: an empty list
  # means this check no longer sees the imports, and must not pass.
  echo "check-ce: found no imported functions in $exe; the check cannot see the imports" >&2
  exit 2
fi
other_dlls=$(printf '%s\n' "$dlls" | grep -vix 'coredll.dll' || true)
if [ -n "$other_dlls" ]; then
  echo "check-ce: imports: $exe imports from DLLs other than COREDLL.dll:" >&2
  printf '  %s\n' $other_dlls >&2
  status=1
fi
if printf '%s\n' "$imported" | grep -q 'DelayImport'; then
  echo "check-ce: imports: $exe has delay-load imports, which Windows CE 3.0 does not have" >&2
  status=1
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
  # A row may name a wide function without its W, as the handheld's
  # reference pages often do.
  stem=${name%W}
  if printf '%s\n' "$rows" | grep -qx -e "$name" -e "$stem"; then
    continue
  fi
  missing="$missing  $name$newline"
done
unnamed=$(printf '%s\n' "$imported" | grep -c '^[[:space:]]*Symbol:  *([0-9]*)$' || true)
if [ "$unnamed" -gt 0 ]; then
  missing="$missing  $unnamed function(s) imported by ordinal, which no row can name$newline"
fi
if [ -n "$missing" ]; then
  echo "check-ce: imports: $exe imports functions that are not rows of $TABLE:" >&2
  printf '%s' "$missing" >&2
  echo "  (look each up in the Windows CE reference and add a row; see $TABLE)" >&2
  status=1
elif [ -z "$other_dlls" ]; then
  echo "CE 3.0 imports: OK ($count functions, all from COREDLL.dll, each a row of $TABLE)"
fi

exit $status
