#!/usr/bin/env bash
# The main window at scale (offscreen), see bench/window_bench.cpp.
#   bench/window_bench.sh [FILES] [RUNS]     (defaults: 100000 5)
#     Compare through the window against the engine alone on two generated
#     trees of FILES files each (cache warm, median of RUNS), then a scroll,
#     a click and the list operations below with the lists filled.
#   bench/window_bench.sh --rows N [RUNS]    (the scale figures: --rows 1000000)
#     N generated rows a side straight into the lists, without a disk: the
#     window's memory per listed row, and from key press or click to painted
#     list: differences only and back, a sort by each column and its reverse,
#     F8 and Shift+F8, typing a name, the find pop-up.
# BUILD names the build folder (default: build beside this folder).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${BUILD:-$here/../build}/bin"
[ -x "$bin/window_bench" ] || { echo "build first: $bin/window_bench missing" >&2; exit 2; }
if [ "${1:-}" = "--rows" ]; then
  exec "$bin/window_bench" --rows "${2:?--rows N}" "${3:-5}"
fi
files="${1:-100000}"
runs="${2:-5}"
work="$("$here/gentrees.sh" "$files")"
"$bin/window_bench" "$work/left" "$work/right" "$runs"
