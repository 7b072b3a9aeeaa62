#!/usr/bin/env bash
# What a first sync asks of a stick, per file copied: strace -c -f of
# corvanel-cli sync of FILES small files (the shape of bench/stick_bench.sh's
# tree: a hundred files a folder, fourteen to a leaf) onto a fresh exFAT image
# through exfat-fuse and a FAT32 image through fusefat.
#   bench/stick_calls.sh [FILES] [CLI]   (defaults: 2000, build/bin/corvanel-cli)
# Prints, per kind, the calls per file copied, those above 0.01 a file.
# Needs root, strace, exfatprogs, exfat-fuse, dosfstools and fusefat.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
files="${1:-2000}"
cli="${2:-${BUILD:-$here/../build}/bin/corvanel-cli}"
work="${BENCH_DIR:-$here/out}/calls"
export XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state"
src="$work/src-$files"
mnt="$work/stick"
image="$work/stick.img"
loop=""
unmount() {
  if mountpoint -q "$mnt"; then umount "$mnt" || umount -l "$mnt"; fi
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  loop=""
  rm -f "$image"
}
trap unmount EXIT
if [ ! -d "$src" ]; then
  python3 - "$src.tmp" "$files" <<'PY'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
random.seed(7)
for i in range(n):
    folder = os.path.join(root, "d%05d" % (i % max(1, n // 100)), "e%d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%07d.txt" % i), "wb") as f:
        f.write(os.urandom(random.randint(100, 8192)))
PY
  mv "$src.tmp" "$src"
fi
mkdir -p "$mnt"
for kind in exfat fat32; do
  unmount
  truncate -s 256M "$image"
  if [ "$kind" = exfat ]; then
    mkfs.exfat "$image" >/dev/null
    loop="$(losetup -f --show "$image")"
    mount.exfat-fuse "$loop" "$mnt" >/dev/null
  else
    mkfs.vfat -F 32 "$image" >/dev/null
    fusefat -o rw+ "$image" "$mnt" >/dev/null 2>&1
  fi
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  mkdir "$mnt/dst"
  strace -c -f -o "$work/$kind.strace" "$cli" sync "$src" "$mnt/dst" >/dev/null 2>&1 || true
  echo "$kind: calls per file copied, $files files"
  # strace -c: calls in the fourth column, or the fifth after an errors column.
  awk -v n="$files" '$NF ~ /^[a-z_0-9]+$/ && $1 ~ /^[0-9.]+$/ && NF >= 5 {
      c = $4; if ((c / n) >= 0.01) printf "  %-18s %6.2f\n", $NF, c / n }' "$work/$kind.strace" | sort -k2 -nr
done
