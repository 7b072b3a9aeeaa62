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
now() { date +%s.%N; }
seconds() { local t0; t0=$(now); "$@" >/dev/null 2>&1 || true; echo "$(now) - $t0" | bc -l; }
peak_kib() { { /usr/bin/time -f %M "$@" 2>&1 >/dev/null || true; } | tail -1; }

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

with_memory()   { XDG_STATE_HOME="$remembering" "$cli" compare --mode two-way "$L" "$R"; }
without()       { XDG_STATE_HOME="$forgetting" "$cli" compare --mode newest-wins "$L" "$R"; }
first_two_way() { XDG_STATE_HOME="$forgetting" "$cli" compare --mode two-way "$L" "$R"; }

# The memory must be trusted, or the runs below measure a first sync.
said="$(with_memory 2>&1 || true)"
if echo "$said" | grep -q -e "first sync" -e "not used"; then
  echo "the memory was not used:" >&2; echo "$said" | head -5 >&2; exit 1
fi
without >/dev/null 2>&1 || true   # warm the cache

t_with=""; t_without=""; t_first=""
for _ in $(seq "$runs"); do
  t_with+="$(seconds with_memory) "
  t_without+="$(seconds without) "
  t_first+="$(seconds first_two_way) "
done
of() { echo $1 | tr ' ' '\n' | median; }
t_with=$(of "$t_with"); t_without=$(of "$t_without"); t_first=$(of "$t_first")
per_side=$(find "$L" -type f | wc -l)
bytes=$(stat -c %s "$memory")

printf '| %-44s | %8s | %6s | %9s |\n' "$files files a side" "seconds" "ratio" "peak MiB"
printf '|%s|%s|%s|%s|\n' "----------------------------------------------" "----------" "--------" "-----------"
row() { printf '| %-44s | %8.3f | %6.2f | %9.1f |\n' "$1" "$2" "$(echo "$2 / $t_without" | bc -l)" \
          "$(echo "$3 / 1024" | bc -l)"; }
row "compare --mode newest-wins, no memory" "$t_without" "$(peak_kib env XDG_STATE_HOME="$forgetting" "$cli" compare --mode newest-wins "$L" "$R")"
row "compare --mode two-way, no memory (first)" "$t_first" "$(peak_kib env XDG_STATE_HOME="$forgetting" "$cli" compare --mode two-way "$L" "$R")"
row "compare --mode two-way, with the memory" "$t_with" "$(peak_kib env XDG_STATE_HOME="$remembering" "$cli" compare --mode two-way "$L" "$R")"
echo
echo "memory file: $bytes bytes for $per_side files a side: $(echo "scale=1; $bytes / $per_side" | bc -l) bytes a file"
if [ "$smoke" -eq 0 ]; then
  echo "targets: at most 40 bytes a file; two-way with the memory at most 1.10x newest wins without"
fi
