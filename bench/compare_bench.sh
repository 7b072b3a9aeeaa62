#!/usr/bin/env bash
# Times corvanel-cli compare --json against find (the floor for walking both
# trees) and rsync's dry run (a peer doing the same comparison), cache warm,
# median of RUNS runs.
#   bench/compare_bench.sh [FILES] [RUNS]     (defaults: 100000 5)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
files="${1:-100000}"
runs="${2:-5}"
cli="${CORVANEL_CLI:-$here/../build/bin/corvanel-cli}"
work="${BENCH_DIR:-$here/out}/trees-$files"
[ -x "$cli" ] || { echo "build first: $cli missing" >&2; exit 2; }
if [ ! -d "$work/right" ]; then
  echo "generating $files files per side in $work ..." >&2
  mkdir -p "$work"
  python3 "$here/gentrees.py" "$work" "$files"
fi
L="$work/left"; R="$work/right"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timeit() { # prints the median wall time of "$@" in seconds
  local t
  for _ in $(seq "$runs"); do
    t0=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l
  done | median
}
peak() { # peak resident memory in KiB
  { /usr/bin/time -f %M "$@" 2>&1 >/dev/null || true; } | tail -1
}

"$cli" compare --json "$L" "$R" >/dev/null 2>&1 || true    # warm the cache
find "$L" "$R" -type f -printf '%P %s %T@\n' >/dev/null

t_cli=$(timeit "$cli" compare --json "$L" "$R")
t_find=$(timeit find "$L" "$R" -type f -printf '%P %s %T@\n')
t_rsync=$(timeit rsync -rn --itemize-changes "$L/" "$R/")
m_cli=$(peak "$cli" compare --json "$L" "$R")
m_find=$(peak find "$L" "$R" -type f -printf '%P %s %T@\n')
m_rsync=$(peak rsync -rn --itemize-changes "$L/" "$R/")
listed=$((2 * files))

printf '%-34s %10s %8s %12s %14s\n' "compare, $files files per side" "seconds" "ratio" "peak MiB" "bytes/file"
row() { printf '%-34s %10.3f %8.2f %12.1f %14.0f\n' "$1" "$2" "$(echo "$2 / $t_find" | bc -l)" "$(echo "$3/1024" | bc -l)" "$(echo "$3*1024/$listed" | bc -l)"; }
row "corvanel-cli compare --json" "$t_cli" "$m_cli"
row "find -printf (floor)" "$t_find" "$m_find"
row "rsync -rn --itemize-changes" "$t_rsync" "$m_rsync"
