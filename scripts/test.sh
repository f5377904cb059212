#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite.
#   scripts/test.sh          release build, every test (GUI tests under xvfb-run)
#   scripts/test.sh asan     the same under AddressSanitizer + UBSan
#   scripts/test.sh tsan     the same under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
flavour="${1:-release}"
bash scripts/setup.sh
bash scripts/build.sh "$flavour"
case "$flavour" in release) dir=build ;; *) dir="build-$flavour" ;; esac
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
cd "$dir"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" ${CTEST_EXTRA_ARGS:-}
