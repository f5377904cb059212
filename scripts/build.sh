#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh            release build in build/
#   scripts/build.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/build.sh tsan       ThreadSanitizer in build-tsan/
#   scripts/build.sh fuzz       libFuzzer targets (clang) in build-fuzz/
# Names after the flavour build only those targets (scripts/build.sh fuzz fuzz_tiff).
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-release}"
shift || true
jobs="${JOBS:-$(nproc)}"
case "$flavour" in
  release) dir=build;      args=(-DCMAKE_BUILD_TYPE=Release) ;;
  debug)   dir=build-debug; args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  asan)    dir=build-asan; args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOSTAR_SANITIZE=address) ;;
  tsan)    dir=build-tsan; args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOSTAR_SANITIZE=thread) ;;
  fuzz)    dir=build-fuzz; args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOSTAR_FUZZ=ON
                                 -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVELOSTAR_BUILD_APP=OFF) ;;
  *) echo "usage: scripts/build.sh [release|debug|asan|tsan|fuzz]" >&2; exit 64 ;;
esac

cmake -S . -B "$dir" "${args[@]}" ${CMAKE_EXTRA_ARGS:-}
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" -j "$jobs" "${targets[@]}"
echo "build: $dir"
