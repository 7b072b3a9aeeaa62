#!/usr/bin/env bash
# The engine and corvanel-cli are built and linked against Qt Core alone:
# neither the CLI's link line, nor the engine's include paths, nor the
# binary's needed libraries name Qt Gui or Qt Widgets.
#   scripts/check-core-deps.sh BUILD_DIR
set -euo pipefail
build="$1"
status=0
desktop='Qt6Gui|Qt6Widgets|QtGui|QtWidgets'
check() { # WHAT FILE
  if grep -Eq "$desktop" "$2"; then
    echo "FAIL: $1 names the desktop libraries:" >&2
    grep -Eo "[^ ]*($desktop)[^ ]*" "$2" | sort -u >&2
    status=1
  else
    echo "ok: $1"
  fi
}
check "corvanel-cli's link line" "$build/app/CMakeFiles/corvanel-cli.dir/link.txt"
for lib in platform compare sync_copy sync report; do
  flags="$(find "$build" -path "*/CMakeFiles/$lib.dir/flags.make" | head -1)"
  check "$lib's compile flags" "${flags:-$build/$lib/CMakeFiles/$lib.dir/flags.make}"
done
needed="$(mktemp)"
trap 'rm -f "$needed"' EXIT
readelf -d "$build/bin/corvanel-cli" | grep NEEDED > "$needed"
check "corvanel-cli's needed libraries" "$needed"
exit "$status"
