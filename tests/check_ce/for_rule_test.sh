#!/bin/sh
# scripts/check-ce.sh's for rule, on a tree of its own: every line marked
# "flag" below declares a variable in a for statement's first clause and
# must be reported, with its line number; no other line may be.
# Usage: for_rule_test.sh REPOSITORY_ROOT
set -eu
root=$(cd "$1" && pwd)
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/src/pipeline" "$tree/src/port" "$tree/src/shell" "$tree/docs"
: >"$tree/docs/ce-api.md"
cat >"$tree/src/pipeline/cases.cpp" <<'CASES'
struct Item { int value; };
int Cases(int n, int* p, const Item* items) {
  int total = 0;
  int i;
  for (int a = 0; a < n; ++a) total += a;  // flag
  for(unsigned b=0;b<2u;++b) total += 1;  // flag
  for (const Item* q = items; q != items + n; ++q) total += q->value;  // flag
  for (Item *r = 0; r != 0;) break;  // flag
  for (unsigned  // flag: reported on the for's own line
       c = 0; c < 2u; ++c) total += 1;
  for (i = 0; i < n; ++i) total += i;
  for (;;) break;
  for (*p = 0; *p < n; ++*p) total += 1;
  // for (int j = 0; j < n; ++j) in a comment
  /* for (int k = 0; k < n; ++k) in a block comment */
  const char* text = "for (int m = 0; in a string";
  const char quote = '"';
  for (i = quote; i < 0; ++i) total += text[0];
  return total;
}
CASES
cat >"$tree/src/port/cases.h" <<'CASES'
inline int Twice(int n) {
  int s = 0;
  for (long d = 0; d < n; ++d) s += 2;  // flag
  return s;
}
CASES

expected=$(cd "$tree" && grep -n '// flag' src/pipeline/cases.cpp src/port/cases.h | cut -d: -f1,2 | sort)
status=0
output=$(cd "$tree" && "$root/scripts/check-ce.sh" --sources 2>&1) || status=$?
reported=$(printf '%s\n' "$output" | sed -n 's/^  \(src\/[^:]*:[0-9]*\): for (.*/\1/p' | sort)
if [ "$status" -ne 1 ] || [ "$reported" != "$expected" ]; then
  echo "FAIL: exit $status (expected 1); reported:"
  printf '%s\n' "$reported"
  echo "expected:"
  printf '%s\n' "$expected"
  echo "full output:"
  printf '%s\n' "$output"
  exit 1
fi
echo "PASS: the $(printf '%s\n' "$expected" | wc -l) declarations reported, nothing else"
