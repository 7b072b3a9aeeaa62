#!/usr/bin/env bash
# Corvanel at scale, side by side with the tools a user would otherwise reach
# for, cache warm, each figure the median of RUNS runs:
#   - compare: corvanel-cli compare --json against bench/floorwalk.c (two
#     threads that only walk both trees: getdents64 and fstatat, the floor),
#     find and rsync's dry run (a peer doing the same comparison), the
#     runs of each alternating;
#   - sync of the differing files into place (both directions) against rsync
#     and cp, and of the whole tree into an empty folder (at 100,000 files);
#   - peak memory of each, per file listed;
#   - the window (offscreen): Compare click to both lists filled, beside the
#     command's time, and a scroll to the end and a click on a row.
#   bench/scale_bench.sh [--runs N] [--smoke] [--compare-only] [--cold] [--latency] [--new-files] [FILES...]
#   (default sizes: 10000 100000 1000000)
# --smoke: one run at 10,000 files, for CI (checks the script, not the times).
# --compare-only: the compare and window rows alone, without the syncs.
# --cold: also compare with cold caches (as root: the page, dentry and inode
#   caches dropped before each run), alternating with the walker and find.
# --latency: also compare two trees of 5,000 files behind a layer answering
#   each call after 1 ms, as a network share does, and sync the left one into
#   an empty folder on such a layer, against rsync -a (root; the latencyfs
#   target built, else bench/passthroughfs.py with python3-fusepy).
# --new-files: instead of all the above, copy the left tree into an empty
#   folder with corvanel-cli sync, alternating with rsync -a; sync (whose
#   copies are then on the disk too, as corvanel-cli's are).
# Targets for compare: warm and cold at most 1.15x the walker, at most 100
# bytes of peak memory per file listed; behind latency 0.10x find;
# for the sync behind latency 0.5x rsync -a, of a million new files 1.2x
# rsync -a; sync.
# BUILD names the build folder (default: build beside this folder).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${BUILD:-$here/../build}/bin"
runs=3
sizes=()
compare_only=0
cold=0
latency=0
new_files=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --smoke) runs=1; sizes=(10000); shift ;;
    --compare-only) compare_only=1; shift ;;
    --cold) cold=1; shift ;;
    --latency) latency=1; shift ;;
    --new-files) new_files=1; shift ;;
    *) sizes+=("$1"); shift ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000 1000000)
for tool in corvanel-cli window_bench floorwalk; do
  [ -x "$bin/$tool" ] || { echo "build first: $bin/$tool missing" >&2; exit 2; }
done
cli="$bin/corvanel-cli"
walker="$bin/floorwalk"
scratch="${BENCH_DIR:-$here/out}/scratch"
export QT_QPA_PLATFORM=offscreen

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }
# seconds CMD...: wall time of one run (the command's exit status is ignored).
seconds() { local t0; t0=$(now); "$@" >/dev/null 2>&1 || true; echo "$(now) - $t0" | bc -l; }
# peak_kib CMD...: the command's peak resident memory.
peak_kib() { { /usr/bin/time -f %M "$@" 2>&1 >/dev/null || true; } | tail -1; }

table=()
# add SIZE WHAT SECONDS REFERENCE_SECONDS PEAK_KIB LISTED
add() {
  local ratio="-" mem="-" per="-"
  [ -n "$4" ] && ratio=$(printf '%.2f' "$(echo "$3 / $4" | bc -l)")
  if [ -n "$5" ]; then
    mem=$(printf '%.1f' "$(echo "$5 / 1024" | bc -l)")
    per=$(printf '%.0f' "$(echo "$5 * 1024 / $6" | bc -l)")
  fi
  table+=("$(printf '| %9s | %-46s | %8.3f | %5s | %8s | %6s |' "$1" "$2" "$3" "$ratio" "$mem" "$per")")
}

# Fresh copies of both trees for a sync that changes them: hard links are
# enough, since every tool measured replaces a file rather than writing into it.
fresh() { rm -rf "$scratch"; mkdir -p "$scratch"; cp -al "$1/left" "$1/right" "$scratch/"; }

sync_cli()   { "$cli" sync "$scratch/left" "$scratch/right"; }
sync_rsync() { rsync -a --update "$scratch/left/" "$scratch/right/" && rsync -a --update "$scratch/right/" "$scratch/left/"; }
sync_cp()    { cp -rpu --remove-destination "$scratch/left/." "$scratch/right/" &&
               cp -rpu --remove-destination "$scratch/right/." "$scratch/left/"; }
# timed_sync TREES KIND: median seconds over RUNS fresh copies.
timed_sync() {
  for _ in $(seq "$runs"); do fresh "$1"; sync; seconds "sync_$2"; done | median
}

for files in "${sizes[@]}"; do
  trees="$("$here/gentrees.sh" "$files")"
  L="$trees/left"; R="$trees/right"
  listed=$(find "$L" "$R" -type f | wc -l)
  "$cli" compare --json "$L" "$R" >/dev/null 2>&1 || true   # warm the cache

  if [ "$new_files" -eq 1 ]; then
    empty="$scratch/empty"
    into_empty() { rm -rf "$scratch"; mkdir -p "$empty"; sync; seconds "$@"; }
    rsync_synced() { rsync -a "$L/" "$empty/" && sync; }
    n_cli=""; n_rsync=""
    for _ in $(seq "$runs"); do
      n_cli+="$(into_empty "$cli" sync "$L" "$empty") "
      n_rsync+="$(into_empty rsync_synced) "
    done
    rm -rf "$scratch"
    n_cli=$(echo $n_cli | tr ' ' '\n' | median); n_rsync=$(echo $n_rsync | tr ' ' '\n' | median)
    add "$(find "$L" -type f | wc -l)" "new files into empty: corvanel-cli sync" "$n_cli" "$n_rsync" "" ""
    add "$(find "$L" -type f | wc -l)" "new files into empty: rsync -a; sync" "$n_rsync" "$n_rsync" "" ""
    continue
  fi

  # Alternating runs, so that the disk's and the machine's drift hit all alike.
  t_walk=""; t_cli=""; t_find=""; t_rsync=""
  for _ in $(seq "$runs"); do
    t_walk+="$(seconds "$walker" "$L" "$R") "
    t_cli+="$(seconds "$cli" compare --json "$L" "$R") "
    t_find+="$(seconds find "$L" "$R" -type f -printf '%P %s %T@\n') "
    t_rsync+="$(seconds rsync -rn --itemize-changes "$L/" "$R/") "
  done
  of() { echo $1 | tr ' ' '\n' | median; }
  t_walk=$(of "$t_walk"); t_cli=$(of "$t_cli"); t_find=$(of "$t_find"); t_rsync=$(of "$t_rsync")
  add "$files" "compare: corvanel-cli compare --json" "$t_cli" "$t_walk" "$(peak_kib "$cli" compare --json "$L" "$R")" "$listed"
  add "$files" "compare: floorwalk, 2 threads (floor)" "$t_walk" "$t_walk" "$(peak_kib "$walker" "$L" "$R")" "$listed"
  add "$files" "compare: find -printf" "$t_find" "$t_walk" "$(peak_kib find "$L" "$R" -type f -printf '%P %s %T@\n')" "$listed"
  add "$files" "compare: rsync -rn --itemize-changes" "$t_rsync" "$t_walk" "$(peak_kib rsync -rn --itemize-changes "$L/" "$R/")" "$listed"

  if [ "$cold" -eq 1 ] && [ "$(id -u)" -ne 0 ]; then
    echo "cold case left out: dropping the caches needs root" >&2
  elif [ "$cold" -eq 1 ]; then
    coldly() { sync; echo 3 > /proc/sys/vm/drop_caches; seconds "$@"; }
    c_walk=""; c_find=""; c_cli=""
    for _ in $(seq "$runs"); do
      c_walk+="$(coldly "$walker" "$L" "$R") "
      c_cli+="$(coldly "$cli" compare --json "$L" "$R") "
      c_find+="$(coldly find "$L" "$R" -type f -printf '%P %s %T@\n') "
    done
    c_walk=$(of "$c_walk"); c_find=$(of "$c_find"); c_cli=$(of "$c_cli")
    add "$files" "cold cache: corvanel-cli compare --json" "$c_cli" "$c_walk" "" ""
    add "$files" "cold cache: floorwalk, 2 threads (floor)" "$c_walk" "$c_walk" "" ""
    add "$files" "cold cache: find -printf" "$c_find" "$c_walk" "" ""
    "$cli" compare --json "$L" "$R" >/dev/null 2>&1 || true   # warm again
  fi

  if [ "$compare_only" -eq 0 ]; then
  s_cli=$(timed_sync "$trees" cli)
  s_rsync=$(timed_sync "$trees" rsync)
  s_cp=$(timed_sync "$trees" cp)
  fresh "$trees"; m_sync=$(peak_kib "$cli" sync "$scratch/left" "$scratch/right")
  "$cli" compare "$scratch/left" "$scratch/right" >/dev/null 2>&1 || echo "warning: sync left operations pending at $files files" >&2
  add "$files" "sync differing: corvanel-cli sync" "$s_cli" "$s_cp" "$m_sync" "$listed"
  add "$files" "sync differing: rsync -a --update, both ways" "$s_rsync" "$s_cp" "" ""
  add "$files" "sync differing: cp -rpu, both ways (reference)" "$s_cp" "$s_cp" "" ""
  rm -rf "$scratch"

  if [ "$files" -eq 100000 ]; then
    empty="$scratch/empty"
    whole() { rm -rf "$scratch"; mkdir -p "$empty"; sync; seconds "$@"; }
    w_cli=$(for _ in $(seq "$runs"); do whole "$cli" sync "$L" "$empty"; done | median)
    w_rsync=$(for _ in $(seq "$runs"); do whole rsync -a "$L/" "$empty/"; done | median)
    w_cp=$(for _ in $(seq "$runs"); do whole cp -rp "$L/." "$empty/"; done | median)
    add "$files" "whole tree into empty: corvanel-cli sync" "$w_cli" "$w_cp" "" ""
    add "$files" "whole tree into empty: rsync -a" "$w_rsync" "$w_cp" "" ""
    add "$files" "whole tree into empty: cp -rp (reference)" "$w_cp" "$w_cp" "" ""
    rm -rf "$scratch"
  fi
  fi

  out="$("$bin/window_bench" "$L" "$R" "$runs" 2>/dev/null)"
  value() { echo "$out" | awk -v k="$1" '$1 == k {print $2}'; }
  m_window=$(peak_kib "$bin/window_bench" "$L" "$R" 1 --window-only)
  add "$files" "window: Compare click to both lists filled" "$(value window_seconds)" "$t_cli" "$m_window" "$listed"
  add "$files" "window: engine alone, same process" "$(value engine_seconds)" "$t_cli" "" ""
  add "$files" "window: scroll to the end" "$(value scroll_seconds)" "" "" ""
  add "$files" "window: click on a row" "$(value click_seconds)" "" "" ""
done

# The latency layer: the C one when it was built, else the Python one.
layer=("$bin/latencyfs")
layer_name="bench/latencyfs.c"
if [ ! -x "$bin/latencyfs" ]; then
  layer=(/usr/bin/python3 "$here/passthroughfs.py")
  layer_name="bench/passthroughfs.py"
fi
if [ "$latency" -eq 1 ] && { [ "$(id -u)" -ne 0 ] || { [ "${layer[0]}" = /usr/bin/python3 ] && ! /usr/bin/python3 -c 'import fusepy' 2>/dev/null; }; }; then
  echo "latency case left out: it needs root, and the C layer built or python3-fusepy" >&2
elif [ "$latency" -eq 1 ]; then
  [ "${layer[0]}" = /usr/bin/python3 ] && echo "latency cases behind the Python layer (build the latencyfs target for the C one)" >&2
  trees="$("$here/gentrees.sh" 5000)"
  share="$scratch/share"
  lower="$scratch/lower"
  written="$scratch/written"
  mkdir -p "$share" "$lower" "$written"
  # mount_layer LOWER MOUNTPOINT INFLIGHT_FILE
  mount_layer() {
    "${layer[@]}" "$1" "$2" --delay-ms 1 --inflight-file "$3" >/dev/null 2>&1 &
    for _ in $(seq 100); do mountpoint -q "$2" && break; sleep 0.1; done
  }
  mount_layer "$trees" "$share" "$scratch/inflight"
  mount_layer "$lower" "$written" "$scratch/inflight-written"
  trap 'umount "$share" "$written" 2>/dev/null || true' EXIT
  # The kernel keeps what the layer said for a second: wait it out each run.
  slowly() { sleep 2; seconds "$@"; }
  # Each copy goes into a fresh empty folder on the writable layer.
  into_share() { rm -rf "${lower:?}/dest"; mkdir "$lower/dest"; sync; slowly "$@"; }
  l_find=""; l_cli=""; s_cli=""; s_rsync=""
  for _ in $(seq "$runs"); do
    l_find+="$(slowly find "$share/left" "$share/right" -type f -printf '%P %s %T@\n') "
    l_cli+="$(slowly "$cli" compare --json "$share/left" "$share/right") "
    s_rsync+="$(into_share rsync -a "$trees/left/" "$written/dest/") "
    s_cli+="$(into_share "$cli" sync "$trees/left" "$written/dest") "
  done
  l_find=$(echo $l_find | tr ' ' '\n' | median); l_cli=$(echo $l_cli | tr ' ' '\n' | median)
  s_cli=$(echo $s_cli | tr ' ' '\n' | median); s_rsync=$(echo $s_rsync | tr ' ' '\n' | median)
  add 5000 "1 ms latency: corvanel-cli compare --json" "$l_cli" "$l_find" "" ""
  add 5000 "1 ms latency: find -printf (reference)" "$l_find" "$l_find" "" ""
  add 5000 "1 ms latency: corvanel-cli sync into empty" "$s_cli" "$s_rsync" "" ""
  add 5000 "1 ms latency: rsync -a into empty" "$s_rsync" "$s_rsync" "" ""
  echo "latency layer: $layer_name; most calls in flight at once: compare $(cat "$scratch/inflight"), sync $(cat "$scratch/inflight-written")" >&2
  umount "$share" "$written"
fi

echo "Corvanel at scale, $(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), median of $runs"
echo "ratio: against the floor walker (compare; find behind latency), cp (sync), rsync -a (latency sync), rsync -a; sync (new files) or the command's compare (window); bytes/file: peak memory per file listed"
echo
echo "| files/side | measurement                                    |  seconds | ratio | peak MiB | bytes/file |"
echo "|-----------:|------------------------------------------------|---------:|------:|---------:|-----------:|"
printf '%s\n' "${table[@]}"
