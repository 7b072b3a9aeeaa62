#!/usr/bin/env bash
# Times corvanel-cli sync into an empty folder against cp -rp and rsync -a
# doing the same copy, in the same run: SMALL_FILES small files (a list, such
# as 10000,100000,1000000), then one file of BIG_MIB MiB. Source cache warm,
# pending writes flushed before each timed run, median of RUNS runs.
#
# corvanel-cli sync also compares both trees before and after the copy and
# flushes every file to the disk before it renames it into place; cp -rp and
# rsync -a do neither, so "cp -rp; sync" and "rsync -a; sync" are shown too.
# With CORVANEL_BASE_CLI set to another build of corvanel-cli, that build is
# timed in the same runs, to measure a change.
#
# Then the same copies onto an exFAT volume through its FUSE driver (a USB
# stick's case: a FUSE file system, which never passes a flush of the whole
# file system on, so each file is flushed on its own), beside
# "rsync -a --fsync" and "rsync -a; sync". That needs root, exfatprogs and
# exfat-fuse; without them it says why and is left out. BENCH_FUSE=0 leaves
# it out too.
#   bench/sync_bench.sh [RUNS] [SMALL_FILES] [BIG_MIB]   (defaults: 3 10000 1024)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs="${1:-3}"
small_list="${2:-10000}"
big_mib="${3:-1024}"
cli="${CORVANEL_CLI:-$here/../build/bin/corvanel-cli}"
base="${CORVANEL_BASE_CLI:-}"
work="${BENCH_DIR:-$here/out}/sync"
[ -x "$cli" ] || { echo "build first: $cli missing" >&2; exit 2; }

# make_small N: generates the tree of N small files once and prints its path.
make_small() {
  local src="$work/src-small-$1"
  if [ ! -d "$src" ]; then
    echo "generating $1 small files in $src ..." >&2
    python3 - "$src.tmp" "$1" <<'PY'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
random.seed(7)
folders = max(100, n // 100)
for i in range(n):
    folder = os.path.join(root, "d%05d" % (i % folders), "e%d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%07d.txt" % i), "wb") as f:
        f.write(os.urandom(random.randint(100, 8192)))
PY
    mv "$src.tmp" "$src"
  fi
  echo "$src"
}

src_big="$work/src-big-$big_mib"
if [ ! -d "$src_big" ]; then
  echo "generating one $big_mib MiB file in $src_big ..." >&2
  mkdir -p "$src_big.tmp"
  head -c "$((big_mib * 1024 * 1024))" /dev/urandom > "$src_big.tmp/big.bin"
  mv "$src_big.tmp" "$src_big"
fi

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# Where the copies go: a fresh folder below this one each run.
dst_parent="$work"

# one_run KIND SRC: prints the seconds of one timed copy into a fresh folder.
# rsync exits 23 onto exFAT, which keeps no owners or permissions: the copy
# is made all the same.
one_run() {
  local kind="$1" src="$2" dst="$dst_parent/dst"
  rm -rf "$dst" "$work/data"; mkdir -p "$dst"
  # Overwrites: the destination holds older, shorter versions of every file.
  [ -n "$older" ] && cp -a "$older/." "$dst/"
  sync
  local t0 t1
  t0=$(now)
  case "$kind" in
    cli)         "$cli" sync "$src" "$dst" >/dev/null ;;
    cli-no-trash) "$cli" sync --no-trash "$src" "$dst" >/dev/null ;;
    base)        "$base" sync "$src" "$dst" >/dev/null ;;
    cp)          cp -rp "$src/." "$dst/" ;;
    cp-sync)     cp -rp "$src/." "$dst/" && sync ;;
    rsync-sync)  { rsync -a "$src/" "$dst/" 2>/dev/null || [ $? -eq 23 ]; } && sync ;;
    rsync-fsync) rsync -a --fsync "$src/" "$dst/" 2>/dev/null || [ $? -eq 23 ] ;;
  esac
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

# Replaced files go to a trash of the benchmark's own, on the same disk.
export XDG_DATA_HOME="$work/data"
older=""
kinds=(cp cli cp-sync rsync-sync)
[ -n "$base" ] && kinds+=(base)

# bench SRC: medians of every kind, interleaved so drift hits all alike.
bench() {
  local src="$1" k
  declare -A times=()
  find "$src" -type f -exec cat {} + >/dev/null   # warm the source cache
  for _ in $(seq "$runs"); do
    for k in "${kinds[@]}"; do
      times[$k]+="$(one_run "$k" "$src") "
    done
  done
  for k in "${kinds[@]}"; do
    printf '%s %s\n' "$k" "$(echo ${times[$k]} | tr ' ' '\n' | median)"
  done
}

ratio() { if [ "$2" = "-" ]; then echo "-"; else printf '%.2f' "$(echo "$1 / $2" | bc -l)"; fi; }

report() { # TITLE, then "kind seconds" lines in the order of kinds
  local title="$1" cp cli cps rss b="-"
  read -r _ cp; read -r _ cli; read -r _ cps; read -r _ rss
  [ -n "$base" ] && read -r _ b && b="$(printf '%.3f' "$b")"
  printf '%-22s %8s %8s %13s %15s %8s | %7s %14s %17s %9s\n' "$title" "cp -rp" "cli" "cp -rp; sync" \
    "rsync -a; sync" "base" "cli/cp" "cli/(cp; sync)" "cli/(rsync; sync)" "cli/base"
  printf '%-22s %8.3f %8.3f %13.3f %15.3f %8s | %7s %14s %17s %9s\n' "" "$cp" "$cli" "$cps" "$rss" "$b" \
    "$(ratio "$cli" "$cp")" "$(ratio "$cli" "$cps")" "$(ratio "$cli" "$rss")" "$(ratio "$cli" "$b")"
}

IFS=, read -r -a smalls <<< "$small_list"

# Correctness once: the copy must leave nothing pending and no temporaries.
src_small="$(make_small "${smalls[0]}")"
rm -rf "$work/dst"; mkdir -p "$work/dst"
"$cli" sync "$src_small" "$work/dst" >/dev/null
"$cli" compare "$src_small" "$work/dst" >/dev/null || { echo "sync left operations pending" >&2; exit 1; }
if [ -n "$(find "$work/dst" -name '.*' -print -quit)" ]; then echo "temporary files left behind" >&2; exit 1; fi

for small in "${smalls[@]}"; do
  bench "$(make_small "$small")" | report "$small small files"
done
bench "$src_big" | report "one $big_mib MiB file"
rm -rf "$work/dst"

# The exFAT case: its own kinds, and each against the program.
report_fuse() { # TITLE, then "kind seconds" lines
  local title="$1" kind seconds line="" ratios="" cli_s=""
  while read -r kind seconds; do
    [ "$kind" = cli ] && cli_s="$seconds"
    line+="$(printf ' %s %.3f' "$kind" "$seconds")"
    [ -n "$cli_s" ] && [ "$kind" != cli ] && ratios+="$(printf ' cli/%s %s' "$kind" "$(ratio "$cli_s" "$seconds")")"
  done
  printf '%-22s%s |%s\n' "$title" "$line" "$ratios"
}

fuse_bench() {
  [ "${BENCH_FUSE:-1}" = 1 ] || return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v mkfs.exfat >/dev/null || ! command -v mount.exfat-fuse >/dev/null; then
    echo "exFAT through FUSE left out: it needs root, exfatprogs and exfat-fuse" >&2
    return 0
  fi
  local image="$work/exfat.img" mnt="$work/exfat" loop
  rm -f "$image"; truncate -s $(( big_mib * 2 + 2048 ))M "$image"
  mkfs.exfat -c 4K "$image" >/dev/null
  loop="$(losetup -f --show "$image")"
  mkdir -p "$mnt"
  mount.exfat-fuse "$loop" "$mnt" >/dev/null
  # shellcheck disable=SC2064
  trap "umount '$mnt' 2>/dev/null; losetup -d '$loop'; rm -f '$image'" EXIT
  dst_parent="$mnt"
  kinds=(cli rsync-fsync rsync-sync)
  [ -n "$base" ] && kinds+=(base)
  echo "onto exFAT through exfat-fuse (a loop image):"
  bench "$(make_small "${smalls[0]}")" | report_fuse "${smalls[0]} small files"
  bench "$src_big" | report_fuse "one $big_mib MiB file"
  rm -rf "$mnt/dst"
}
fuse_bench

# Overwrites: every file replaced by a newer, longer one, the old ones kept
# in the Trash (cli), replaced for good (cli-no-trash), or by a build
# from before the Trash (base).
overwrite_bench() {
  local src old="$work/older-${smalls[0]}"
  src="$(make_small "${smalls[0]}")"
  if [ ! -d "$old" ]; then
    cp -a "$src" "$old"
    find "$old" -type f -exec truncate -s -1 {} + -exec touch -d 2000-01-01 {} +
  fi
  older="$old"
  dst_parent="$work"
  kinds=(cli cli-no-trash rsync-sync)
  [ -n "$base" ] && kinds+=(base)
  echo "overwriting older versions on the machine's disk:"
  bench "$src" | report_fuse "${smalls[0]} small overwrites"
  older=""
  rm -rf "$work/dst" "$work/data"
}
overwrite_bench
