#!/usr/bin/env bash
# `tavractl validate --catalog` on hostile catalogs: 16 MB of "[" (nesting the reader refuses at
# level 512) and 16 MB of "[]," elements under an unknown key (wide, never deep). Prints the time
# and the peak resident memory of each run (GNU time); the nesting case should end at once in a
# few megabytes. Run by hand after scripts/build:
#   bench/catalog_nesting.sh [path/to/tavractl]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/release/bin/tavractl}
[ -x "$tool" ] || { echo "no $tool; run scripts/build first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=$((16 * 1000 * 1000))

head -c "$size" /dev/zero | tr '\0' '[' > "$work/deep.json"
{
  printf '{"schemaVersion":2,"catalogVersion":"1","harnesses":[],"pad":['
  head -c $((size / 3)) /dev/zero | tr '\0' '\n' | sed 's/^/[],/' | tr -d '\n'
  printf '[]]}'
} > "$work/wide.json"
printf '{"PolicyID":"p","Harnesses":{}}' > "$work/fragment.json"

for name in deep wide; do
  /usr/bin/time -o "$work/time" -f "$name: %e s, peak %M KiB" \
    "$tool" validate --catalog "$work/$name.json" "$work/fragment.json" > "$work/out" 2>&1 || true
  echo "$(tail -n 1 "$work/time") -- $(head -c 120 "$work/out" | head -n 1)"
done
