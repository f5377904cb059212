#!/usr/bin/env bash
# End-to-end stacking benchmark on generated data.
#   bash bench/end_to_end.sh [SET...]      (after a release build in build/; default: every set)
# Data sets, generated once and cached under bench/data/ (git-ignored), all 16-bit TIFF with what a
# real night brings: the camera's hot pixels, the default star density, sensor noise, a foreground
# and a satellite trail in one frame:
#   large:  10 frames of 6000×4000
#   medium: 20 frames of 3000×2000
#   noisy:  10 frames of 3000×2000 of a brighter, noisier high-ISO night
# For each set it runs velostar-cli in "Accumulation" mode with its default settings (hot-pixel
# removal included) and prints wall time, CPU time, peak memory and megapixels per second. With
# VELOSTAR_BASELINE_CLI pointing at another build's velostar-cli, that one runs on the same frames
# too. When siril-cli is installed, the same frames also go through its register + sum stack for a
# side-by-side ratio.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
bin="$root/build/bin"
data="$root/bench/data"

if [ ! -x "$bin/velostar-cli" ] || [ ! -x "$bin/velostar-skygen" ]; then
  echo "end_to_end: building velostar-cli and velostar-skygen"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null && \
    cmake --build build -j"$(nproc)" --target velostar-cli velostar-skygen >/dev/null || exit 1
fi

# name frames width height seed, then generator options beyond its defaults
all_sets=("large 10 6000 4000 101 --foreground --satellite 3"
          "medium 20 3000 2000 102 --foreground --satellite 7"
          "noisy 10 3000 2000 103 --foreground --satellite 3 --sky 4000 --read-noise 40")
sets=()
for entry in "${all_sets[@]}"; do
  read -r name _ <<<"$entry"
  if [ $# -eq 0 ] || [[ " $* " == *" $name "* ]]; then
    sets+=("$entry")
  fi
done
[ ${#sets[@]} -gt 0 ] || { echo "end_to_end: no such set: $*" >&2; exit 64; }

generate() {
  local name=$1 frames=$2 width=$3 height=$4 seed=$5
  shift 5
  local dir="$data/$name" recipe="frames=$frames ${width}x$height seed=$seed $*"
  if [ "$(cat "$dir/.recipe" 2>/dev/null)" = "$recipe" ]; then
    return 0
  fi
  rm -rf "$dir"
  echo "end_to_end: generating $name ($frames × ${width}x$height) into bench/data/$name"
  "$bin/velostar-skygen" -q -o "$dir" --frames "$frames" --width "$width" --height "$height" --seed "$seed" \
    --base $(( frames / 2 )) "$@" || exit 1
  echo "$recipe" > "$dir/.recipe"
}

# measure LABEL MEGAPIXELS COMMAND... : runs the command under /usr/bin/time and prints one row.
measure() {
  local label=$1 megapixels=$2
  shift 2
  local log status wall cpu rss
  log=$(mktemp)
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$log.err"
    status=$?
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}' "$log")
    cpu=$(awk -F': ' '/User time/ {u = $2} /System time/ {s = $2} END {printf "%.2f", u + s}' "$log")
    rss=$(awk -F': ' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$log")
  else
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>"$log.err"
    status=$?
    end=$(date +%s.%N)
    wall=$(echo "$end - $start" | bc)
    cpu="n/a"
    rss="n/a"
  fi
  local rate
  rate=$(awk -v mp="$megapixels" -v w="$wall" -v s="$status" 'BEGIN { if (s == 0 && w > 0) printf "%.1f", mp / w; else print "n/a" }')
  local note=""
  [ "$status" -ne 0 ] && note="exit $status: $(tail -n 1 "$log.err")"
  printf "%-34s %9.2f s %9s s %8s MiB %9s MP/s  %s\n" "$label" "$wall" "$cpu" "$rss" "$rate" "$note"
  LAST_WALL=$wall
  LAST_STATUS=$status
  rm -f "$log" "$log.err"
}

# Siril converts every image of a folder: give it one that holds only the frames. Its script does
# what ours does: read the frames, register, stack with the given method and save a TIFF.
siril_stack() {
  local dir=$1 work=$2 method=${3:-sum}
  mkdir -p "$work/in"
  ln -sf "$dir"/frame_*.tif "$work/in/"
  cat > "$work/stack.ssf" <<SSF
requires 1.0.0
cd $work/in
convert frame -out=$work
cd $work
register frame_
stack r_frame_ $method -out=$work/siril_result
load siril_result
savetif siril_result
SSF
  siril-cli -s "$work/stack.ssf"
}
export -f siril_stack

for entry in "${sets[@]}"; do
  # shellcheck disable=SC2086
  generate $entry
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf "\n%-34s %11s %11s %12s %14s\n" "run" "wall" "cpu" "peak RSS" "throughput"
for entry in "${sets[@]}"; do
  read -r name frames width height seed _ <<<"$entry"
  dir="$data/$name"
  megapixels=$(awk -v n="$frames" -v w="$width" -v h="$height" 'BEGIN { printf "%.1f", n * w * h / 1e6 }')
  printf -v basefile "%s/frame_%03d.tif" "$dir" $(( frames / 2 ))
  if [ -n "${VELOSTAR_BASELINE_CLI:-}" ]; then
    measure "$name baseline accumulate" "$megapixels" \
      "$VELOSTAR_BASELINE_CLI" --quiet -o "$out/$name-base.tif" "$basefile" "$dir"/frame_*.tif
    baseline=$LAST_WALL
  fi
  measure "$name accumulate (${frames}×${width}x$height)" "$megapixels" \
    "$bin/velostar-cli" --quiet -o "$out/$name-acc.tif" "$basefile" "$dir"/frame_*.tif
  ours=$LAST_WALL
  ours_status=$LAST_STATUS
  if [ -n "${VELOSTAR_BASELINE_CLI:-}" ] && [ "$ours_status" -eq 0 ]; then
    awk -v a="$baseline" -v b="$ours" 'BEGIN { if (b > 0) printf "%-34s %9.2f× (baseline wall / velostar accumulate wall)\n", "  ratio", a / b }'
  fi
  if command -v siril-cli >/dev/null 2>&1; then
    measure "$name siril register + sum" "$megapixels" bash -c 'siril_stack "$0" "$1"' "$dir" "$out/siril-$name"
    if [ "$ours_status" -eq 0 ]; then
      awk -v a="$LAST_WALL" -v b="$ours" 'BEGIN { if (b > 0) printf "%-34s %9.2f× (siril wall / velostar accumulate wall)\n", "  ratio", a / b }'
    fi
    rm -rf "$out/siril-$name"
  fi
  rm -f "$out"/*.tif
done
command -v siril-cli >/dev/null 2>&1 || echo "(siril-cli not installed: no side-by-side comparison)"

# --- "Select best pixels" next to siril's register + sigma-clipped stack ------------------------
# Same frames as above. Siril normalises each frame (additive with scale) and rejects at 3 sigma on
# both sides; velostar-cli runs its sigma-clipped mean at its default sigma. The throughput of the
# second pass alone is in bench_PerPixelBench.

printf "\n%-34s %11s %11s %12s %14s\n" "run (select best pixels)" "wall" "cpu" "peak RSS" "throughput"
for entry in "${sets[@]}"; do
  read -r name frames width height seed <<<"$entry"
  dir="$data/$name"
  megapixels=$(awk -v n="$frames" -v w="$width" -v h="$height" 'BEGIN { printf "%.1f", n * w * h / 1e6 }')
  printf -v basefile "%s/frame_%03d.tif" "$dir" $(( frames / 2 ))
  measure "$name select (${frames}×${width}x$height)" "$megapixels" \
    "$bin/velostar-cli" --quiet --mode select -o "$out/$name-select.tif" "$basefile" "$dir"/frame_*.tif
  ours=$LAST_WALL
  ours_status=$LAST_STATUS
  if command -v siril-cli >/dev/null 2>&1; then
    measure "$name siril register + clip" "$megapixels" bash -c 'siril_stack "$0" "$1" "$2"' "$dir" "$out/siril-clip-$name" "rej s 3 3 -norm=addscale"
    if [ "$ours_status" -eq 0 ]; then
      awk -v a="$LAST_WALL" -v b="$ours" 'BEGIN { if (b > 0) printf "%-34s %9.2f× (siril wall / velostar select wall)\n", "  ratio", a / b }'
    fi
    rm -rf "$out/siril-clip-$name"
  fi
  rm -f "$out"/*.tif
done
