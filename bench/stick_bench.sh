#!/usr/bin/env bash
# A first sync of FILES small files (the trees of bench/sync_bench.sh) onto a
# stick, and the window's OK beside the command:
#   - onto exFAT through exfat-fuse and FAT32 through fusefat: corvanel-cli
#     sync against rsync -rt --fsync, each run into a fresh image of the same
#     size, PAIRS pairs alternating which goes first; the median of the
#     pairs' ratios and of each one's times;
#   - onto the machine's disk and onto exFAT: the window's Compare, Sync
#     Wizard and OK (bench/window_bench.cpp --sync, offscreen, the progress
#     dialog shown) against corvanel-cli sync, and the compares after OK
#     against corvanel-cli compare of the synced trees (onto exFAT two
#     seconds after the sync, once the FUSE driver's answers have expired,
#     as they have for most files when the window compares after its OK).
#   bench/stick_bench.sh [PAIRS] [FILES] [IMAGE_MIB]   (defaults: 5 20000 1024)
# CASES picks some of: exfat fat32 window-disk window-exfat (default: all).
# The images need root, exfatprogs, exfat-fuse, dosfstools and fusefat; a
# case without them says why and is left out. BUILD names the build folder.
# ctest runs it once at 100 files (bench/CMakeLists.txt): the script works.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
pairs="${1:-5}"
files="${2:-20000}"
image_mib="${3:-1024}"
bin="${BUILD:-$here/../build}/bin"
cli="$bin/corvanel-cli"
work="${BENCH_DIR:-$here/out}/sync"
for tool in corvanel-cli window_bench; do
  [ -x "$bin/$tool" ] || { echo "build first: $bin/$tool missing" >&2; exit 2; }
done
export QT_QPA_PLATFORM=offscreen
# Replaced files would go to a trash of the benchmark's own.
export XDG_DATA_HOME="$work/data"

src="$work/src-small-$files"
if [ ! -d "$src" ]; then
  echo "generating $files small files in $src ..." >&2
  python3 - "$src.tmp" "$files" <<'PY'
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
find "$src" -type f -exec cat {} + >/dev/null   # the source's cache warm

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }
image="$work/stick.img"
mnt="$work/stick"
loop=""
unmount() {
  if mountpoint -q "$mnt"; then umount "$mnt" || umount -l "$mnt"; fi
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  loop=""
  rm -f "$image"
}
trap unmount EXIT

# fresh KIND: a new image of IMAGE_MIB, formatted and mounted on $mnt.
fresh() {
  unmount
  mkdir -p "$mnt"
  truncate -s "${image_mib}M" "$image"
  case "$1" in
    exfat)
      mkfs.exfat "$image" >/dev/null
      loop="$(losetup -f --show "$image")"
      mount.exfat-fuse "$loop" "$mnt" >/dev/null ;;
    fat32)
      mkfs.vfat -F 32 "$image" >/dev/null
      fusefat -o rw+ "$image" "$mnt" >/dev/null 2>&1 ;;
  esac
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  mkdir "$mnt/dst"
  sync
}

usable() {
  [ "$(id -u)" -eq 0 ] || return 1
  case "$1" in
    exfat) command -v mkfs.exfat && command -v mount.exfat-fuse ;;
    fat32) command -v mkfs.vfat && command -v fusefat ;;
  esac >/dev/null
}

# timed CMD...: seconds of one run; rsync's 23 (no owners or modes kept) is
# no failure on these volumes.
timed() {
  local t0 status=0
  t0=$(now)
  "$@" >/dev/null 2>&1 || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 23 ] || echo "warning: $1 exited $status" >&2
  echo "$(now) - $t0" | bc -l
}

ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
rows=()

# Stick KIND: PAIRS alternating pairs, each copy into a fresh image.
stick() {
  local kind="$1" t_cli t_rsync cli_s="" rsync_s="" ratios="" i
  for i in $(seq "$pairs"); do
    for who in $( [ $((i % 2)) -eq 1 ] && echo "cli rsync" || echo "rsync cli"); do
      fresh "$kind"
      if [ "$who" = cli ]; then
        t_cli=$(timed "$cli" sync "$src" "$mnt/dst")
        "$cli" compare "$src" "$mnt/dst" >/dev/null 2>&1 || echo "warning: the sync left operations pending" >&2
        echo "$kind pair $i: corvanel-cli sync $t_cli" >&2
      else
        t_rsync=$(timed rsync -rt --fsync "$src/" "$mnt/dst/")
        echo "$kind pair $i: rsync -rt --fsync $t_rsync" >&2
      fi
    done
    cli_s+="$t_cli "; rsync_s+="$t_rsync "; ratios+="$(ratio "$t_cli" "$t_rsync") "
  done
  rows+=("$(printf '| %-6s | %-38s | %8.3f | %5s |' "$kind" "corvanel-cli sync" "$(echo $cli_s | tr ' ' '\n' | median)" \
    "$(echo $ratios | tr ' ' '\n' | median)")")
  rows+=("$(printf '| %-6s | %-38s | %8.3f | %5s |' "$kind" "rsync -rt --fsync" "$(echo $rsync_s | tr ' ' '\n' | median)" "1.00")")
  echo "$kind ratios per pair: $ratios" >&2
}

# Window PLACE (disk or exfat): the window's OK against the command, runs
# alternating, each into a fresh destination.
window() {
  local place="$1" dst i t out w_s="" wc_s="" c_s="" cc_s="" rounds=""
  for i in $(seq "$pairs"); do
    for who in $( [ $((i % 2)) -eq 1 ] && echo "cli window" || echo "window cli"); do
      if [ "$place" = disk ]; then
        dst="$work/dst"; rm -rf "$dst" "$XDG_DATA_HOME"; mkdir -p "$dst"; sync
      else
        fresh exfat; dst="$mnt/dst"
      fi
      if [ "$who" = cli ]; then
        t=$(timed "$cli" sync "$src" "$dst"); c_s+="$t "
        echo "command onto $place: $t" >&2
        # As long after the copies as the window's compare is after most
        # of them: the kernel's cached answers of a FUSE driver expired.
        [ "$place" = disk ] || sleep 2
        cc_s+="$(timed "$cli" compare --json "$src" "$dst") "
      else
        out="$("$bin/window_bench" --sync "$src" "$dst" 2>/dev/null)"
        echo "window onto $place:" $out >&2
        w_s+="$(echo "$out" | awk '$1 == "sync_seconds" {print $2}') "
        wc_s+="$(echo "$out" | awk '$1 == "compare_after_seconds" {print $2}') "
        rounds="$(echo "$out" | awk '$1 == "rounds" {print $2}')"
      fi
    done
  done
  local w c wc cc
  w=$(echo $w_s | tr ' ' '\n' | median); c=$(echo $c_s | tr ' ' '\n' | median)
  wc=$(echo $wc_s | tr ' ' '\n' | median); cc=$(echo $cc_s | tr ' ' '\n' | median)
  rows+=("$(printf '| %-6s | %-38s | %8.3f | %5s |' "$place" "window: Compare, Sync Wizard, OK x$rounds" "$w" "$(ratio "$w" "$c")")")
  rows+=("$(printf '| %-6s | %-38s | %8.3f | %5s |' "$place" "corvanel-cli sync" "$c" "1.00")")
  rows+=("$(printf '| %-6s | %-38s | %8.3f | %5s |' "$place" "window: compares after OK" "$wc" "$(ratio "$wc" "$cc")")")
  rows+=("$(printf '| %-6s | %-38s | %8.3f | %5s |' "$place" "corvanel-cli compare --json, synced" "$cc" "1.00")")
}

cases=" ${CASES:-exfat fat32 window-disk window-exfat} "
for kind in exfat fat32; do
  [[ "$cases" == *" $kind "* ]] || continue
  if usable "$kind"; then stick "$kind"; else echo "$kind left out: it needs root, its mkfs and FUSE driver" >&2; fi
done
[[ "$cases" != *" window-disk "* ]] || window disk
if [[ "$cases" == *" window-exfat "* ]]; then
  if usable exfat; then window exfat; else echo "window onto exfat left out: it needs root, exfatprogs and exfat-fuse" >&2; fi
fi
unmount
rm -rf "$work/dst" "$XDG_DATA_HOME"

echo "A first sync of $files small files, $(date -u +%Y-%m-%d), $(nproc) cores, median of $pairs alternating pairs, images of $image_mib MiB"
echo "ratio: the pairs' median ratio against rsync -rt --fsync (sticks), else against the command"
echo
echo "| onto   | measurement                            |  seconds | ratio |"
echo "|--------|----------------------------------------|---------:|------:|"
printf '%s\n' "${rows[@]}"
