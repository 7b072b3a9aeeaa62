#!/usr/bin/env bash
# Smoke test of the real program on a virtual X display under the openbox
# window manager (as on a desktop: frames, focus, Alt+F4): types two folders
# into the combos, presses Compare, Sync Wizard and OK, takes screenshots on
# the way, checks the files were copied, presses Exit; then starts it with
# two folders on the command line and closes it with Alt+F4 during a
# Compare, and with a message box open.
#   scripts/smoke.sh [SHOT_DIR]        (default: build/smoke)
# CORVANEL names the program (default: build/bin/corvanel beside this script).
# Needs xvfb-run, openbox, xdotool, xprop and imagemagick's import and compare.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

if [ "${1:-}" != "--inside" ]; then
  shots="$(mkdir -p "${1:-$here/../build/smoke}" && cd "${1:-$here/../build/smoke}" && pwd)"
  program="$(realpath "${CORVANEL:-$here/../build/bin/corvanel}")"
  [ -x "$program" ] || { echo "smoke: no program at $program (build first)" >&2; exit 2; }
  for tool in xvfb-run openbox xdotool xprop xwininfo import compare; do
    command -v "$tool" >/dev/null || { echo "smoke: SKIPPED, $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 77; }
  done
  exec "$here/with-openbox.sh" "$0" --inside "$shots" "$program"
fi

shots="$2"
program="$3"
# X Y WIDTH HEIGHT of a window's inside. xdotool adds the frame's offset to
# the position under a window manager; xwininfo's absolute corner is right.
geometry() {
  local info
  info="$(xwininfo -id "$1")"
  X=$(awk '/Absolute upper-left X/ {print $NF}' <<<"$info")
  Y=$(awk '/Absolute upper-left Y/ {print $NF}' <<<"$info")
  WIDTH=$(awk '/^ *Width:/ {print $NF}' <<<"$info")
  HEIGHT=$(awk '/^ *Height:/ {print $NF}' <<<"$info")
}
work="$(mktemp -d)"
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "smoke: FAIL: $*" >&2; exit 1; }

# Two small trees: one file the same, one newer on the left, one on each
# side only.
mkdir -p "$work/config" "$work/left/sub" "$work/right"
echo same >"$work/left/same.txt";  echo same >"$work/right/same.txt"
echo "the newer and longer text" >"$work/left/changed.txt"
echo older >"$work/right/changed.txt"
touch -d 2020-01-01 "$work/right/changed.txt"
echo only >"$work/left/sub/left-only.txt"
echo only >"$work/right/right-only.txt"

export XDG_CONFIG_HOME="$work/config"
export QT_QPA_PLATFORM=xcb
"$program" >"$shots/program.log" 2>&1 &
pid=$!

window="$(timeout 20 xdotool search --sync --onlyvisible --name '^Corvanel$' | head -1)" \
  || fail "no window named Corvanel appeared"
sleep 0.5
geometry "$window"
echo "window $window at $X,$Y size ${WIDTH}x$HEIGHT"
# Twips to pixels at 96 DPI: 15 twips a pixel. Offsets are inside the window.
click_at() { xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1; }
type_into_combo() { # x y text
  click_at "$1" "$2"
  xdotool key --clearmodifiers ctrl+a BackSpace
  xdotool type --delay 15 "$3"
  sleep 0.3
}
type_into_combo 100 20 "$work/left"
type_into_combo $((WIDTH / 2 + 100)) 20 "$work/right"
import -window root "$shots/before-compare.png"

# The Compare button: 1455 x 1095 twips at (120, H - 1650).
click_at 56 $((HEIGHT - 110 + 36))
sleep 1
import -window root "$shots/after-compare.png"

kill -0 "$pid" 2>/dev/null || fail "the program ended after Compare"
title="$(xdotool getwindowname "$window")"
[ "$title" = "Corvanel" ] || fail "caption is '$title' after Compare"
# The left list (120, 480 twips) must have changed: its rows were drawn.
list="$((WIDTH / 2 - 40))x$((HEIGHT / 2))+$((X + 12))+$((Y + 55))"
changed="$(compare -metric AE -extract "$list" "$shots/before-compare.png" "$shots/after-compare.png" null: 2>&1 || true)"
[ "${changed%% *}" -gt 200 ] 2>/dev/null || fail "the left list did not change after Compare ($changed pixels)"
echo "left list: $changed pixels changed"

# Sync Wizard (1680 twips from the left) takes the window's place.
click_at $((1680 / 15 + 48)) $((HEIGHT - 110 + 36))
wizard="$(timeout 10 xdotool search --sync --onlyvisible --name '^Sync Wizard$' | head -1)" \
  || fail "the Sync Wizard did not open"
sleep 0.5
import -window root "$shots/wizard.png"
geometry "$wizard"
echo "wizard $wizard at $X,$Y size ${WIDTH}x$HEIGHT"
# OK: 1455 x 1095 twips at (120, H - 1670).
click_at 56 $((HEIGHT - 111 + 36))
message="$(timeout 20 xdotool search --sync --onlyvisible --name '^Congratulations$' | head -1)" \
  || { import -window root "$shots/after-ok.png"; fail "no Congratulations message after OK"; }
sleep 0.5
import -window root "$shots/congratulations.png"
xdotool key Return
sleep 0.5
cmp -s "$work/left/changed.txt" "$work/right/changed.txt" || fail "changed.txt was not copied"
[ -f "$work/right/sub/left-only.txt" ] || fail "sub/left-only.txt was not copied"
[ -f "$work/left/right-only.txt" ] || fail "right-only.txt was not copied"

# Back in the main window: Exit ends the program at once, with success.
window="$(timeout 10 xdotool search --sync --onlyvisible --name '^Corvanel$' | head -1)" \
  || fail "the main window did not come back"
geometry "$window"
click_at $((3240 / 15 + 48)) $((HEIGHT - 110 + 36))
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then fail "Exit did not end the program"; fi
wait "$pid" || fail "the program ended with status $?"
pid=""
grep -q "FormHeight=" "$XDG_CONFIG_HOME/Quillmark.conf" || fail "the window settings were not stored"

# Started with two folders: they stand in the combos as if typed. A tree of
# many folders keeps the Compare busy while Alt+F4 arrives; the close is
# Exit and ends the program with success.
for i in $(seq 400); do mkdir -p "$work/left/many/$i"; echo x >"$work/left/many/$i/f"; done
"$program" "$work/left/many" "$work/right" >>"$shots/program.log" 2>&1 &
pid=$!
window="$(timeout 20 xdotool search --sync --onlyvisible --name '^Corvanel$' | head -1)" \
  || fail "no window after a start with two folders"
sleep 0.5
icon="$(xprop -id "$window" _NET_WM_ICON)"
[[ "$icon" == *"Icon (32 x 32)"* ]] || fail "the window has no icon"
grep "^LeftCombo=" "$XDG_CONFIG_HOME/Quillmark.conf" | grep -q "$work/left/many," \
  || fail "the left folder given was not recorded"
geometry "$window"
import -window root "$shots/started-with-folders.png"
click_at 56 $((HEIGHT - 110 + 36))
xdotool key alt+F4
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then fail "Alt+F4 during a Compare did not end the program"; fi
wait "$pid" || fail "the program ended with status $? after Alt+F4"
pid=""

# With a message box up, the window's close is refused or closes the box;
# either way the program runs on and the window still compares.
"$program" >>"$shots/program.log" 2>&1 &
pid=$!
window="$(timeout 20 xdotool search --sync --onlyvisible --name '^Corvanel$' | head -1)" || fail "no window"
sleep 0.5
geometry "$window"
click_at $((1680 / 15 + 48)) $((HEIGHT - 110 + 36))
timeout 10 xdotool search --sync --onlyvisible --name '^Error$' >/dev/null || fail "no message after Sync Wizard"
xdotool windowactivate "$window" 2>/dev/null || true
sleep 0.3
xdotool key alt+F4
sleep 1
import -window root "$shots/close-with-message.png"
kill -0 "$pid" 2>/dev/null || fail "a close while a message was up ended the program"
if xdotool search --onlyvisible --name '^Error$' >/dev/null; then xdotool key Return; sleep 0.5; fi
xdotool search --onlyvisible --name '^Corvanel$' >/dev/null || fail "the main window is gone"
click_at $((3240 / 15 + 48)) $((HEIGHT - 110 + 36))
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then fail "Exit did not end the program after the message"; fi
wait "$pid" || fail "the program ended with status $?"
pid=""
echo "smoke: OK, screenshots in $shots"
