#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a desktop needs:
# both programs (answering --version), the pointer files where the installed
# window looks for them, the desktop entry and the metainfo (both validated),
# the icon in every size and the manual pages.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: check-install.sh BUILD_DIR}" && pwd)"
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "check-install: SKIPPED, $tool is missing (./build.sh test installs it)" >&2; exit 77; }
done
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
fail() { echo "check-install: FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/corvanel bin/corvanel-cli \
            share/corvanel/HAND-M.CUR share/corvanel/dragfolder.cur \
            share/applications/com.quillmark.Corvanel.desktop \
            share/metainfo/com.quillmark.Corvanel.metainfo.xml \
            share/man/man1/corvanel.1 share/man/man1/corvanel-cli.1; do
  [ -f "$prefix/$file" ] || fail "$file was not installed"
done
for size in 16 24 32 48 64 128 256; do
  icon="$prefix/share/icons/hicolor/${size}x${size}/apps/corvanel.png"
  [ -f "$icon" ] || fail "no ${size}x${size} icon"
  # The PNG header's width field.
  width=$(od -An -tu1 -j16 -N4 "$icon" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
  [ "$width" -eq "$size" ] || fail "the ${size}x${size} icon is $width pixels wide"
done
# Nothing of the build's test programs goes along.
[ "$(ls "$prefix/bin")" = "$(printf 'corvanel\ncorvanel-cli')" ] || fail "bin holds $(ls "$prefix/bin" | tr '\n' ' ')"

desktop-file-validate "$prefix/share/applications/com.quillmark.Corvanel.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$prefix/share/metainfo/com.quillmark.Corvanel.metainfo.xml" >/dev/null \
  || fail "metainfo: $(appstreamcli validate --no-net "$prefix/share/metainfo/com.quillmark.Corvanel.metainfo.xml")"
grep -q '^Icon=corvanel$' "$prefix/share/applications/com.quillmark.Corvanel.desktop" || fail "desktop entry names another icon"
grep -q '^Exec=corvanel' "$prefix/share/applications/com.quillmark.Corvanel.desktop" || fail "desktop entry runs another program"

version="$(grep -o 'CMAKE_PROJECT_VERSION:STATIC=.*' "$build/CMakeCache.txt" | cut -d= -f2)"
[ "$("$prefix/bin/corvanel-cli" --version)" = "corvanel-cli $version" ] || fail "corvanel-cli --version"
# Both answer without a display.
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/corvanel" --version)" = "corvanel $version" ] || fail "corvanel --version"
env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/corvanel" --help | grep -q '^Usage: corvanel \[LEFT RIGHT\]' || fail "corvanel --help"
# Every option a program's --help names is in its manual page.
for program in corvanel corvanel-cli; do
  page="$prefix/share/man/man1/$program.1"
  for option in $(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -qF -- "$(printf '%s' "$option" | sed 's/-/\\-/g')" "$page" || fail "$program.1 lacks $option"
  done
done
echo "check-install: OK ($prefix)"
