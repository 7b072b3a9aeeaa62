#!/usr/bin/env bash
# What the memory of the last sync costs, cache warm, each figure the median
# of RUNS runs, alternating:
#   - two-way, remembering: corvanel-cli compare --mode two-way with the
#     memory of a sync of the same trees (read, matched, planned from);
#   - newest wins: corvanel-cli compare --mode newest-wins with no memory
#     kept at all (an empty state folder): the compare without it;
#   - two-way, first sync: --mode two-way with no memory (what the planner
#     costs without the memory's reading and matching);
#   - the memory file's size per file, and each run's peak memory.
#   bench/memory_bench.sh [--runs N] [--smoke] [FILES]   (default 1000000)
# --smoke: one run at 10,000 files, for CI (checks the script and that the
#   memory is trusted, not the times).
# Targets: at most 40 bytes a file on disk; reading and matching it adds at
# most 10 % to the compare's time.
# The trees come from bench/gentrees.sh (BENCH_DIR, reused when there); the
# sync that makes the memory runs on hard-linked copies under BENCH_DIR, kept
# for the next run. BUILD names the build folder (default: build beside this
# folder).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${BUILD:-$here/../build}/bin"
runs=5
files=1000000
smoke=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --smoke) runs=1; files=10000; smoke=1; shift ;;
    *) files="$1"; shift ;;
  esac
done
cli="$bin/corvanel-cli"
[ -x "$cli" ] || { echo "build first: $cli missing" >&2; exit 2; }

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# measure CMD...: "wall-seconds cpu-seconds peak-KiB" of one run (its exit
# status ignored). CPU seconds (user and system) are steadier than the wall
# clock on a machine others load too.
measure() { { /usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null || true; } | tail -1 |
            awk '{printf "%s %.3f %s\n", $1, $2 + $3, $4}'; }

trees="$("$here/gentrees.sh" "$files")"
work="${BENCH_DIR:-$here/out}/memory-$files"
mkdir -p "$work"; work="$(cd "$work" && pwd)"   # XDG_STATE_HOME must be a whole path
remembering="$work/state-remembering"   # the memory of the sync below
forgetting="$work/state-none"           # never holds one
L="$work/left"; R="$work/right"
if [ ! -f "$work/made" ]; then
  echo "syncing hard-linked copies of $trees once, to make a memory ..." >&2
  rm -rf "$work"; mkdir -p "$work" "$remembering" "$forgetting"
  cp -al "$trees/left" "$trees/right" "$work/"
  # Files it replaces go to a Trash of its own.
  XDG_STATE_HOME="$remembering" XDG_DATA_HOME="$work/data" "$cli" sync --mode two-way "$L" "$R" >/dev/null
  touch "$work/made"
fi
memory="$(find "$remembering/corvanel/memory" -type f ! -name 'where-*' ! -name '*.lock' | head -1)"
[ -n "$memory" ] || { echo "no memory was kept in $remembering" >&2; exit 1; }
rm -rf "$forgetting"; mkdir -p "$forgetting"

# The state folder and mode of each kind of compare; compare KIND runs one.
state_of() { if [ "$1" = with_memory ]; then echo "$remembering"; else echo "$forgetting"; fi; }
mode_of() { if [ "$1" = without ]; then echo newest-wins; else echo two-way; fi; }
compare() { env XDG_STATE_HOME="$(state_of "$1")" "$cli" compare --mode "$(mode_of "$1")" "$L" "$R"; }

# The memory must be trusted, or the runs below measure a first sync.
said="$(compare with_memory 2>&1 || true)"
if echo "$said" | grep -q -e "first sync" -e "not used"; then
  echo "the memory was not used:" >&2; echo "$said" | head -5 >&2; exit 1
fi
compare without >/dev/null 2>&1 || true   # warm the cache

: > "$work/times"
for _ in $(seq "$runs"); do
  for kind in without first_two_way with_memory; do echo "$kind $(measure env XDG_STATE_HOME="$(state_of "$kind")" "$cli" compare --mode "$(mode_of "$kind")" "$L" "$R")" >> "$work/times"; done
done
# figure KIND COLUMN: the median of one column of one kind's runs.
figure() { awk -v k="$1" -v c="$2" '$1 == k {print $c}' "$work/times" | median; }
per_side=$(find "$L" -type f | wc -l)
bytes=$(stat -c %s "$memory")
base_wall=$(figure without 2); base_cpu=$(figure without 3)

printf '| %-42s | %7s | %5s | %7s | %5s | %8s |\n' "$files files a side, median of $runs" "wall s" "ratio" "CPU s" "ratio" "peak MiB"
printf '|%s|%s|%s|%s|%s|%s|\n' "--------------------------------------------" "---------" "-------" "---------" "-------" "----------"
row() {
  local wall cpu peak; wall=$(figure "$2" 2); cpu=$(figure "$2" 3); peak=$(figure "$2" 4)
  printf '| %-42s | %7.3f | %5.2f | %7.3f | %5.2f | %8.1f |\n' "$1" "$wall" "$(echo "$wall / $base_wall" | bc -l)" \
    "$cpu" "$(echo "$cpu / $base_cpu" | bc -l)" "$(echo "$peak / 1024" | bc -l)"
}
row "compare --mode newest-wins, no memory" without
row "compare --mode two-way, no memory (first)" first_two_way
row "compare --mode two-way, with the memory" with_memory
echo
echo "memory file: $bytes bytes for $per_side files a side: $(echo "scale=1; $bytes / $per_side" | bc -l) bytes a file"
if [ "$smoke" -eq 0 ]; then
  echo "targets: at most 40 bytes a file; two-way with the memory at most 1.10x newest wins without"
fi
