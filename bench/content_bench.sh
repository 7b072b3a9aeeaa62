#!/usr/bin/env bash
# Times `corvanel-cli compare --content` against cmp reading the same pairs:
# one pair of BIG_MIB MiB (same bytes, other times), then SMALL pairs of
# small files (100 B to 16 KB; cmp run once per pair from one shell loop, as
# a script would). Both sides lie on one disk, as a backup folder beside its
# original does. Cold runs drop the page cache before each run (root only;
# without root they are left out). Median of RUNS runs.
#   bench/content_bench.sh [RUNS] [SMALL] [BIG_MIB]   (defaults: 3 10000 2048)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs="${1:-3}"
small="${2:-10000}"
big_mib="${3:-2048}"
cli="${CORVANEL_CLI:-$here/../build/bin/corvanel-cli}"
work="${BENCH_DIR:-$here/out}/content"
[ -x "$cli" ] || { echo "build first: $cli missing" >&2; exit 2; }
mkdir -p "$work"

can_drop=0
[ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ] && can_drop=1
drop() { sync; echo 3 > /proc/sys/vm/drop_caches; }

big_pair() {
  local l="$work/big-l" r="$work/big-r"
  if [ ! -f "$r/big.bin" ] || [ "$(stat -c %s "$r/big.bin")" != $((big_mib << 20)) ]; then
    rm -rf "$l" "$r"; mkdir -p "$l" "$r"
    head -c $((big_mib << 20)) /dev/urandom > "$l/big.bin"
    cp "$l/big.bin" "$r/big.bin"
    touch -d '2024-01-01 12:00' "$l/big.bin"; touch -d '2024-01-02 12:00' "$r/big.bin"
  fi
}

small_pairs() {
  local l="$work/small-l" r="$work/small-r"
  if [ ! -d "$r" ] || [ "$(find "$r" -type f | wc -l)" != "$small" ]; then
    rm -rf "$l" "$r"
    python3 - "$l" "$r" "$small" <<'PY'
import os, random, sys
left, right, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
random.seed(7)
for i in range(n):
    rel = os.path.join("d%03d" % (i % 100), "f%06d.txt" % i)
    data = os.urandom(random.randint(100, 16000))
    for root, when in ((left, 1704110400), (right, 1704196800)):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (when, when))
PY
  fi
}

# seconds COMMAND...: wall time of one run, output discarded.
seconds() {
  local start end
  start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

cmp_big() { cmp -s "$1/big.bin" "$2/big.bin" || true; }
cmp_tree() { (cd "$1" && find . -type f -print0 | while IFS= read -r -d '' f; do cmp -s "$f" "$2/$f" || true; done); }

report() { # label MiB corvanel... / cmp...
  local label="$1" mib="$2" mode="$3" ours=() theirs=()
  shift 3
  for _ in $(seq "$runs"); do
    [ "$mode" = cold ] && drop
    ours+=("$(seconds "$cli" compare --content "$@")")
    [ "$mode" = cold ] && drop
    theirs+=("$(seconds "$CMP_CMD" "$@")")
  done
  local a b
  a=$(printf '%s\n' "${ours[@]}" | median); b=$(printf '%s\n' "${theirs[@]}" | median)
  printf '| %s, %s | %.2f s (%.0f MiB/s) | %.2f s (%.0f MiB/s) | %.2fx |\n' "$label" "$mode" "$a" \
    "$(echo "$mib / $a" | bc -l)" "$b" "$(echo "$mib / $b" | bc -l)" "$(echo "$b / $a" | bc -l)"
}

big_pair
small_pairs
small_mib=$(du -sm "$work/small-l" | cut -f1)
echo "| pairs | corvanel-cli compare --content | cmp | cmp's time / ours |"
echo "|---|---|---|---|"
modes=(warm); [ "$can_drop" = 1 ] && modes=(cold warm)
for mode in "${modes[@]}"; do
  CMP_CMD=cmp_big report "1 pair of $big_mib MiB" $((2 * big_mib)) "$mode" "$work/big-l" "$work/big-r"
  CMP_CMD=cmp_tree report "$small small pairs" $((2 * small_mib)) "$mode" "$work/small-l" "$work/small-r"
done
[ "$can_drop" = 1 ] || echo "(cold runs left out: dropping the page cache needs root)"
