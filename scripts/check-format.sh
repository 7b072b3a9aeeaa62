#!/usr/bin/env bash
# Holds the lines a change touched to .clang-format; the rest of the tree
# keeps its hand formatting, so no commit reformats what it did not change.
#   scripts/check-format.sh [BASE]     BASE defaults to the parent of HEAD
# Compares the working tree with BASE, renames followed, so a moved file is
# checked only where its lines changed. Exits 77 (skipped) without
# clang-format, outside a git checkout or without BASE (a shallow clone).
set -euo pipefail
cd "$(dirname "$0")/.."
skip() { echo "check-format: SKIPPED, $*"; exit 77; }
tool="$(command -v clang-format-diff || command -v clang-format-diff-14 || true)"
[ -n "$tool" ] || skip "clang-format is missing (./build.sh test installs it)"
git rev-parse --git-dir >/dev/null 2>&1 || skip "not a git checkout"
base="${1:-HEAD~1}"
git rev-parse --verify -q "$base^{commit}" >/dev/null || skip "there is no commit $base to compare with"
changes="$(git diff -M -U0 --no-color "$base" -- '*.cpp' '*.h' '*.c' | "$tool" -p1 -style=file)"
if [ -n "$changes" ]; then
  echo "check-format: lines changed since $base differ from .clang-format:"
  printf '%s\n' "$changes"
  echo "To format them: git diff -M -U0 $base | $(basename "$tool") -p1 -i"
  exit 1
fi
echo "check-format: OK, the lines changed since $(git rev-parse --short "$base")"
