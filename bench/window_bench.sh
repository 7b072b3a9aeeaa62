#!/usr/bin/env bash
# Compare through the main window against the engine and corvanel-cli, on
# two generated trees of FILES files each (cache warm).
#   bench/window_bench.sh [FILES] [RUNS]     (defaults: 100000 5)
# BUILD names the build folder (default: build beside this folder).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
files="${1:-100000}"
runs="${2:-5}"
bin="${BUILD:-$here/../build}/bin"
work="${BENCH_DIR:-$here/out}/trees-$files"
[ -x "$bin/window_bench" ] || { echo "build first: $bin/window_bench missing" >&2; exit 2; }
if [ ! -d "$work/right" ]; then
  echo "generating $files files per side in $work ..." >&2
  mkdir -p "$work"
  python3 "$here/gentrees.py" "$work" "$files"
fi
"$bin/window_bench" "$work/left" "$work/right" "$runs"
if [ -x "$bin/corvanel-cli" ]; then
  "$bin/corvanel-cli" compare --json "$work/left" "$work/right" >/dev/null || true
  best=""
  for _ in $(seq "$runs"); do
    t0=$(date +%s.%N); "$bin/corvanel-cli" compare --json "$work/left" "$work/right" >/dev/null || true
    t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l
  done | sort -n | awk '{a[NR]=$1} END {printf "corvanel-cli compare --json        %.3f s (median)\n", a[int((NR+1)/2)]}'
fi
