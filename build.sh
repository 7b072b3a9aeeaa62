#!/usr/bin/env bash
# ./build.sh run   installs what is missing, builds, starts the program
# ./build.sh test  installs what is missing, builds, runs every test
# ./build.sh cli ARGS...  builds and runs corvanel-cli
set -euo pipefail
cd "$(dirname "$0")"
what="${1:-run}"
[ $# -gt 0 ] && shift
# Running needs no test tools: those come with the tests.
if [ "$what" = test ]; then
  scripts/install-deps.sh test
  testing=ON
else
  scripts/install-deps.sh run
  testing=OFF
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=$testing >/dev/null
cmake --build build -j2
case "$what" in
  run)  exec build/bin/corvanel "$@" ;;
  cli)  exec build/bin/corvanel-cli "$@" ;;
  test)
    # The summary at the end says which file-system tests ran and which
    # were skipped, and why; the exit status stays ctest's.
    cd build
    status=0
    ctest --output-on-failure -j2 --timeout 900 --test-output-size-passed 65536 \
      --output-junit "$PWD/ctest-results.xml" "$@" || status=$?
    python3 ../scripts/test-summary.py ctest-results.xml || true
    exit "$status" ;;
  *)    echo "usage: ./build.sh run|test|cli ARGS..." >&2; exit 2 ;;
esac
