#!/bin/sh
# Regenerates the README's picture: runs the demo (which films the handheld's
# screen) and keeps its animation as docs/nuvik-demo.png.
set -eu
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
./demo.sh "Hello from Nuvik!" >"$log"
animation=$(sed -n 's/^Animation of the screen ([0-9]* frames): //p' "$log")
if [ -z "$animation" ] || [ ! -f "$animation" ]; then
  cat "$log" >&2
  echo "readme-picture: the demo wrote no animation" >&2
  exit 1
fi
mkdir -p docs
cp "$animation" docs/nuvik-demo.png
echo docs/nuvik-demo.png
