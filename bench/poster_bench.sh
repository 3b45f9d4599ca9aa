#!/usr/bin/env bash
# Poster mode on a 3000 x 2000 poster made from the test set: its phases in one process, then
# whole runs of `plumvane --image` against `plumvane --cutout` of the same picture, alternated.
#   bench/poster_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PLUMVANE_MODELS="${PLUMVANE_MODELS:-$root/models}"

"$build/plumvane_poster_bench" --make "$work/poster.png"
"$build/plumvane_poster_bench" "$work/poster.png"

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
ratios=()
for _ in $(seq "$rounds"); do
  poster=$(seconds "$build/plumvane" --image "$work/poster.png" "$work/pieces")
  cutout=$(seconds "$build/plumvane" --cutout "$work/poster.png" "$work/cutout.png")
  ratio=$(echo "scale=2; $poster / $cutout" | bc)
  echo "poster run ${poster} s, cutout ${cutout} s: ${ratio}"
  ratios+=("$ratio")
done
echo "median poster run / cutout: $(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")"
