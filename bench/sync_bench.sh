#!/usr/bin/env bash
# Times corvanel-cli sync into an empty folder against cp -rp doing the same
# copy, in the same run: 10,000 small files, then one 1 GiB file. Source cache
# warm, pending writes flushed before each timed run, median of RUNS runs.
#
# corvanel-cli sync also compares both trees before and after the copy and
# flushes every file to the disk before it renames it into place; cp -rp
# does neither, so "cp -rp; sync" is shown as well.
#   bench/sync_bench.sh [RUNS] [SMALL_FILES] [BIG_MIB]   (defaults: 3 10000 1024)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs="${1:-3}"
small="${2:-10000}"
big_mib="${3:-1024}"
cli="${CORVANEL_CLI:-$here/../build/bin/corvanel-cli}"
work="${BENCH_DIR:-$here/out}/sync"
[ -x "$cli" ] || { echo "build first: $cli missing" >&2; exit 2; }

src_small="$work/src-small-$small"
src_big="$work/src-big-$big_mib"
if [ ! -d "$src_small" ]; then
  echo "generating $small small files in $src_small ..." >&2
  python3 - "$src_small.tmp" "$small" <<'EOF'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
random.seed(7)
for i in range(n):
    folder = os.path.join(root, "d%03d" % (i % 100), "e%d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.txt" % i), "wb") as f:
        f.write(os.urandom(random.randint(100, 8192)))
EOF
  mv "$src_small.tmp" "$src_small"
fi
if [ ! -d "$src_big" ]; then
  echo "generating one $big_mib MiB file in $src_big ..." >&2
  mkdir -p "$src_big.tmp"
  head -c "$((big_mib * 1024 * 1024))" /dev/urandom > "$src_big.tmp/big.bin"
  mv "$src_big.tmp" "$src_big"
fi

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# one_run KIND SRC: prints the seconds of one timed copy into a fresh folder.
one_run() {
  local kind="$1" src="$2" dst="$work/dst"
  rm -rf "$dst"; mkdir -p "$dst"; sync
  local t0 t1
  t0=$(now)
  case "$kind" in
    cli)     "$cli" sync "$src" "$dst" >/dev/null ;;
    cp)      cp -rp "$src/." "$dst/" ;;
    cp-sync) cp -rp "$src/." "$dst/" && sync ;;
  esac
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

# bench SRC: medians of the three kinds, interleaved so drift hits all alike.
bench() {
  local src="$1" k
  declare -A times=()
  find "$src" -type f -exec cat {} + >/dev/null   # warm the source cache
  for _ in $(seq "$runs"); do
    for k in cp cli cp-sync; do
      times[$k]+="$(one_run "$k" "$src") "
    done
  done
  for k in cp cli cp-sync; do
    printf '%s %s\n' "$k" "$(echo ${times[$k]} | tr ' ' '\n' | median)"
  done
}

# Correctness once: the copy must leave nothing pending and no temporaries.
rm -rf "$work/dst"; mkdir -p "$work/dst"
"$cli" sync "$src_small" "$work/dst" >/dev/null
"$cli" compare "$src_small" "$work/dst" >/dev/null || { echo "sync left operations pending" >&2; exit 1; }
if [ -n "$(find "$work/dst" -name '.*' -print -quit)" ]; then echo "temporary files left behind" >&2; exit 1; fi

report() { # TITLE then "kind seconds" lines
  local title="$1" cp cli cps
  read -r _ cp; read -r _ cli; read -r _ cps
  printf '%-30s %9s %9s %14s %10s %16s\n' "$title" "cp -rp" "cli sync" "cp -rp; sync" "cli/cp" "cli/(cp; sync)"
  printf '%-30s %9.3f %9.3f %14.3f %10.2f %16.2f\n' "" "$cp" "$cli" "$cps" \
    "$(echo "$cli / $cp" | bc -l)" "$(echo "$cli / $cps" | bc -l)"
}

bench "$src_small" | report "$small small files"
bench "$src_big" | report "one $big_mib MiB file"
rm -rf "$work/dst"
