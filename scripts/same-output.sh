#!/usr/bin/env bash
# Checks that two builds of corvanel-cli print the same bytes and exit with
# the same status: compare (text and JSON, --all) and sync (text and JSON),
# on a tree of hostile names and on generated trees of FILES files a side.
#   scripts/same-output.sh OLD_CLI NEW_CLI [FILES]
# Times and the Trash's places differ from run to run; both are masked.
set -euo pipefail
old="$1" new="$2" files="${3:-300000}"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME="$work/data"

hostile() { # DEST: two sides with names a terminal or a JSON reader could trip on
  local l="$1/left" r="$1/right" n
  mkdir -p "$l/sub" "$r/sub"
  for n in $'new\nline' $'tab\there' 'quote"back\slash' $'\xff\xfeinvalid' $'esc\e[31m' 'space ' \
           'ünïcödé' "$(printf 'x%.0s' {1..200})" '-dash' 'sub/inner'; do
    printf 'left %s' "$n" > "$l/$n"
    touch -d '2024-01-02 03:04:05.123456789' "$l/$n"
  done
  printf 'newer right, longer' > "$r/sub/inner"
  printf 'older' > "$r/-dash"; touch -d '2020-01-01' "$r/-dash"
  n=$'only\nright'; printf 'only right' > "$r/$n"
  printf 'same size' > "$l/same"; printf 'same size' > "$r/same"
  printf 'a' > "$l/tie"; printf 'bb' > "$r/tie"; touch -d '2024-05-05' "$l/tie" "$r/tie"
}

mask() { sed -E -e 's#"trashed": ?"[^"]*"#"trashed":"T"#g' -e 's#in the Trash: [^)]*\)#in the Trash: T)#g' \
                -e 's#[0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8}#DATE#g' -e "s#$work/[a-z]*#W#g"; }

run() { # CLI TREES TAG
  local cli="$1" trees="$2" tag="$3" status
  for args in "compare --all" "compare --json --all"; do
    status=0; "$cli" $args "$trees/left" "$trees/right" > "$work/$tag.out" 2> "$work/$tag.err" || status=$?
    { mask < "$work/$tag.out"; mask < "$work/$tag.err"; echo "exit $status"; } > "$work/$tag.${args// /_}"
  done
  for args in "sync" "sync --json"; do
    rm -rf "$work/copy-$tag"; cp -a "$trees" "$work/copy-$tag"
    status=0; "$cli" $args "$work/copy-$tag/left" "$work/copy-$tag/right" > "$work/$tag.out" 2> "$work/$tag.err" || status=$?
    { sed "s#copy-$tag#copy#g" "$work/$tag.out" | mask; mask < "$work/$tag.err"; echo "exit $status"; } > "$work/$tag.${args// /_}"
  done
}

check() { # TREES NAME
  run "$old" "$1" old; run "$new" "$1" new
  local args same=0
  for args in "compare_--all" "compare_--json_--all" "sync" "sync_--json"; do
    if cmp -s "$work/old.$args" "$work/new.$args"; then
      echo "same: $2 $args ($(wc -c < "$work/new.$args") bytes)"
    else
      echo "DIFFERENT: $2 $args"; diff "$work/old.$args" "$work/new.$args" | cut -c1-300 | head -20; same=1
    fi
  done
  return $same
}

status=0
hostile "$work/hostile"
check "$work/hostile" hostile || status=1
python3 "$here/../bench/gentrees.py" "$work/gen" "$files" >/dev/null
check "$work/gen" "$files files a side" || status=1
exit $status
