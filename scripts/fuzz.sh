#!/usr/bin/env bash
# Builds the file-reader fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each for a while.
#   scripts/fuzz.sh [SECONDS] [TARGET ...]      default: 60 seconds each for fuzz_jpeg fuzz_tiff fuzz_raw
#                                               fuzz_preview fuzz_rawreply fuzz_project
# Seeds come from velostar-fuzzseeds; the growing corpus stays in build-fuzz/fuzz-corpus/TARGET and
# crashing inputs land in build-fuzz/fuzz-artifacts/TARGET/. Keep each crasher, once fixed, as a
# small regression input under tests/engine/image/corpus/{jpeg,tiff,raw}/ or tests/app/project/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_jpeg fuzz_tiff fuzz_raw fuzz_preview fuzz_rawreply fuzz_project)

bash scripts/build.sh fuzz velostar-fuzzseeds "${targets[@]}"
build=build-fuzz
rm -rf "$build/fuzz-seeds"
"$build/bin/velostar-fuzzseeds" "$build/fuzz-seeds"

status=0
for target in "${targets[@]}"; do
  kind="${target#fuzz_}"
  [ "$kind" = preview ] && kind=raw  # the desktop program's RAW preview reads the same files
  corpus="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  seeds="$build/fuzz-seeds/$kind"
  [ -d "$seeds" ] || seeds=""
  regressions="tests/engine/image/corpus/$kind"
  [ "$kind" = project ] && regressions="tests/app/project/corpus"
  [ -d "$regressions" ] || regressions=""
  echo "fuzz: $target for ${seconds}s"
  # Half a minute per input is a hang; 4 GiB is far more than any accepted input may need.
  if ! "$build/bin/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -max_len=65536 \
       -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" $seeds $regressions; then
    echo "fuzz: $target found a problem, see $artifacts" >&2
    status=1
  fi
done
exit $status
