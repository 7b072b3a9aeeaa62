#!/usr/bin/env bash
# ./build.sh run   installs what is missing, builds, starts the program
# ./build.sh test  installs what is missing, builds, runs every test: the plain
#                  build's, then again in build-asan under the address and
#                  undefined-behaviour sanitizers, with the fuzz corpus replayed
# ./build.sh test-plain  the plain build's tests only, for a quick round
# ./build.sh cli ARGS...  builds and runs corvanel-cli
# CI (CI=true) makes every compiler warning an error; a developer's build
# only shows them, so a newer compiler's new warning stops nobody.
set -euo pipefail
cd "$(dirname "$0")"
what="${1:-run}"
[ $# -gt 0 ] && shift
werror=OFF
case "${CI:-}" in ''|false|0) ;; *) werror=ON ;; esac
# Running needs no test tools: those come with the tests.
if [ "$what" = test ] || [ "$what" = test-plain ]; then
  scripts/install-deps.sh test
  testing=ON
else
  scripts/install-deps.sh run
  testing=OFF
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=$testing -DCORVANEL_WERROR=$werror >/dev/null
cmake --build build -j2

# Runs the tests of one build folder; its JUnit file feeds the summary.
suite() {
  (cd "$1" && shift && ctest --output-on-failure -j2 --timeout 900 --test-output-size-passed 65536 \
     --output-junit "$PWD/ctest-results.xml" "$@")
}

case "$what" in
  run)  exec build/bin/corvanel "$@" ;;
  cli)  exec build/bin/corvanel-cli "$@" ;;
  test|test-plain)
    # The summary at the end says which file-system tests ran and which
    # were skipped, and why, per build; the exit status fails if any did.
    status=0
    suite build "$@" || status=$?
    results=(build/ctest-results.xml)
    if [ "$what" = test ]; then
      # clang++ for libFuzzer: the fuzzing build is the sanitizer build, and
      # its suite includes the replay of the fuzz corpus.
      rm -f build-asan/ctest-results.xml
      if cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
           -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCORVANEL_FUZZ=ON \
           -DCORVANEL_WERROR=$werror >/dev/null && cmake --build build-asan -j2; then
        suite build-asan "$@" || status=$?
      else
        echo "build-asan: the sanitizer build failed" >&2
        status=1
      fi
      results+=(build-asan/ctest-results.xml)
    fi
    python3 scripts/test-summary.py "${results[@]}" || true
    exit "$status" ;;
  *)    echo "usage: ./build.sh run|test|test-plain|cli ARGS..." >&2; exit 2 ;;
esac
