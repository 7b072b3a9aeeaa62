#!/usr/bin/env bash
# Prints the folder that holds the generated trees of FILES files per side,
# generating them first when they are missing.
#   bench/gentrees.sh FILES
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
files="$1"
work="${BENCH_DIR:-$here/out}/trees-$files"
if [ ! -d "$work/right" ]; then
  echo "generating $files files per side in $work ..." >&2
  mkdir -p "$work"
  python3 "$here/gentrees.py" "$work" "$files"
fi
echo "$work"
