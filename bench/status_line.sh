#!/usr/bin/env bash
# `tavractl status --line` runs at every inventory of every Mac, as a whole process. This compares
# it with `cat` of the same status.json (the floor for any program that reads the file) and
# reports the ratio; the target is at most 4x. Run by hand after scripts/build:
#   bench/status_line.sh [path/to/tavractl] [path/to/status.json]
# Needs hyperfine (the Debian package of that name: `apt-get install hyperfine`) for figures worth
# comparing; without it a timed loop gives a rough mean.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/release/bin/tavractl}
status=${2:-tests/tavractl/fixtures/status/degraded.json}
runs=${RUNS:-500}
[ -x "$tool" ] || { echo "no $tool; run scripts/build first" >&2; exit 1; }
"$tool" status --line --file "$status" >/dev/null

if command -v hyperfine >/dev/null; then
  hyperfine -N --warmup 50 --runs "$runs" \
    "cat $status" "$tool status --line --file $status"
  exit 0
fi

mean_ms() {
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null; done
  end=$(date +%s%N)
  echo "scale=3; ($end - $start) / $runs / 1000000" | bc
}
cat_ms=$(mean_ms cat "$status")
tool_ms=$(mean_ms "$tool" status --line --file "$status")
echo "cat:                $cat_ms ms per run ($runs runs)"
echo "tavractl status --line: $tool_ms ms per run"
echo "ratio: $(echo "scale=2; $tool_ms / $cat_ms" | bc)x (target: at most 3x)"
