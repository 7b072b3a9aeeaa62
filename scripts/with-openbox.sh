#!/usr/bin/env bash
# Runs a command on a virtual X display under the openbox window manager, so
# that windows get a real frame, focus and close requests as on a desktop.
#   scripts/with-openbox.sh COMMAND [ARGS...]
# Exits 77 (skipped) when xvfb-run or openbox is missing.
set -euo pipefail
if [ "${1:-}" != "--inside" ]; then
  for tool in xvfb-run openbox xprop; do
    command -v "$tool" >/dev/null || { echo "with-openbox: SKIPPED, $tool is missing (./build.sh test installs it)" >&2; exit 77; }
  done
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside "$@"
fi
shift
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null || true' EXIT
# The window manager is there once it owns the root's supporting-WM property.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
export QT_QPA_PLATFORM=xcb
"$@"
