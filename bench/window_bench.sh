#!/usr/bin/env bash
# Compare through the main window against the engine alone on two generated
# trees of FILES files each (cache warm, median of RUNS), then a scroll to the
# end and a click on a row with the lists filled.
#   bench/window_bench.sh [FILES] [RUNS]     (defaults: 100000 5)
# BUILD names the build folder (default: build beside this folder).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
files="${1:-100000}"
runs="${2:-5}"
bin="${BUILD:-$here/../build}/bin"
[ -x "$bin/window_bench" ] || { echo "build first: $bin/window_bench missing" >&2; exit 2; }
work="$("$here/gentrees.sh" "$files")"
"$bin/window_bench" "$work/left" "$work/right" "$runs"
