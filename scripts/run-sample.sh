#!/usr/bin/env bash
# Sets up the machine, builds, generates a sample night landscape and stacks it.
#   scripts/run-sample.sh             12 frames of 3000×2000 into sample/, result in sample/result.tif
#   SAMPLE_FRAMES=6 scripts/run-sample.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
if [ ! -x build/bin/velostar-cli ] || [ ! -x build/bin/velostar-skygen ]; then
  echo "run-sample: the command-line program or the sky generator is not built yet; build finished." >&2
  exit 0
fi

frames="${SAMPLE_FRAMES:-12}"
base=$(( frames / 2 ))
sample="$PWD/sample"
# A night as a camera sees it: the default star density, the sensor's hot pixels and lit windows
# on the ground.
recipe=(--width 3000 --height 2000 --frames "$frames" --base "$base" --seed 2026 --foreground)
stamp="${recipe[*]}"
# The generator is deterministic: regenerate only when the recipe changed.
if [ "$(cat "$sample/.recipe" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$sample"
  echo "run-sample: generating $frames frames of a synthetic night landscape into sample/"
  build/bin/velostar-skygen -o "$sample" "${recipe[@]}"
  echo "$stamp" > "$sample/.recipe"
fi

printf -v basefile "%s/frame_%03d.tif" "$sample" "$base"
echo "run-sample: stacking $frames frames with velostar-cli (\"Freeze ground\": stacked sky over a sharp foreground, sky mask)"
set +e
build/bin/velostar-cli --mode freeze --freeze-selective --mask "$sample/mask.png" --no-remove-hot-pixels \
  --report "$sample/report.json" -o "$sample/result.tif" "$basefile" "$sample"/frame_*.tif
status=$?
set -e

if [ "$status" -ne 0 ]; then
  echo "run-sample: velostar-cli failed with exit status $status (see the message above)." >&2
  exit "$status"
fi
echo "run-sample: result written to $sample/result.tif"
echo "run-sample: per-frame report in $sample/report.json, ground truth in $sample/truth.json"
