#!/usr/bin/env bash
# Installs the packages, builds, and runs every test: the sanitizer build of the
# unit and UI tests, the fuzzers for a bounded time, then the whole suite
# (unit, UI and end-to-end against a private sound server and X server).
#   scripts/test.sh --deps   only installs what the tests need (what CI checks on a desktop)
# A test package the machine's own packages conflict with is not installed (scripts/deps.sh): the cases
# that need it are skipped and named at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh build test
[ "${1:-}" != --deps ] || exit 0
export CCACHE_BASEDIR=$PWD

echo "== Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
./scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON -DZQ_BUILD_TESTS=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --no-tests=error -L 'unit|ui' --output-on-failure -j2

echo "== Fuzzers (libFuzzer, bounded time)"
CXX=clang++ ./scripts/build.sh build-fuzz -DZQ_FUZZ=ON -DZQ_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build-fuzz --no-tests=error -L fuzz --output-on-failure

echo "== Full suite"
./scripts/build.sh build -DZQ_BUILD_TESTS=ON
status=0
ctest --test-dir build --no-tests=error --output-on-failure -j2 2>&1 | tee build/full-suite.log || status=$?
if [ -f .deps-left-out ]; then
  skipped=$(sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) \(Skipped\)$/\1/p' build/full-suite.log | tr '\n' ' ')
  while IFS=$'\t' read -r package gone; do
    echo "test.sh: $package not installed (it would remove $gone); skipped: ${skipped:-none}"
  done <.deps-left-out
fi
exit "$status"
