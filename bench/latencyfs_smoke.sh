#!/usr/bin/env bash
# The latency layer mounts, passes bytes, names with bytes above 127 and a
# rename through, and counts the calls in flight. Skips (77) without root or
# /dev/fuse.
#   bench/latencyfs_smoke.sh LATENCYFS
set -euo pipefail
fs="$1"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root to mount"; exit 77; }
[ -c /dev/fuse ] || { echo "skipped: no /dev/fuse"; exit 77; }
work="$(mktemp -d)"
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/low" "$work/mnt"
printf 'exact bytes\n' > "$work/low/plain"
"$fs" "$work/low" "$work/mnt" --delay-ms 1 --inflight-file "$work/inflight" >"$work/log" 2>&1 &
for _ in $(seq 100); do mountpoint -q "$work/mnt" && break; sleep 0.1; done
mountpoint -q "$work/mnt" || { echo "FAIL: not mounted"; exit 1; }
[ "$(cat "$work/mnt/plain")" = "exact bytes" ] || { echo "FAIL: bytes"; exit 1; }
name=$'\xff\xc3\xa4 odd'
printf 'x' > "$work/mnt/$name"
mv "$work/mnt/$name" "$work/mnt/moved$name"
[ -f "$work/low/moved$name" ] && [ ! -e "$work/low/$name" ] || { echo "FAIL: rename"; exit 1; }
# Eight readers at once: the layer answers them together.
readers=()
for _ in $(seq 8); do stat "$work/mnt/plain" "$work/mnt/moved$name" >/dev/null & readers+=($!); done
wait "${readers[@]}"
[ "$(cat "$work/inflight")" -ge 1 ] || { echo "FAIL: no calls counted"; exit 1; }
echo "ok: most calls in flight at once: $(cat "$work/inflight")"
