#!/usr/bin/env bash
# The text service's error rate and time per line, on real screenshots from Debian packages and
# on lines rendered in real fonts: first with PP-OCR alone (the models' description without its
# Latin-script model), then as installed. Then poster mode on a page of twenty lines of English
# UI text, timed both ways (the median of three runs each, alternated).
#   bench/text_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache="${XDG_CACHE_HOME:-$HOME/.cache}/plumvane"
models="${PLUMVANE_MODELS:-$root/models}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$cache"

# The packages that hold the screenshots, fetched once and unpacked here; "-" is this project.
mkdir -p "$work/root"
ln -s "$root/docs" "$work/root/docs"
for package in $(grep -v '^#' "$root/bench/text_lines.tsv" | cut -f1 | grep -v '^-$' | sort -u); do
  deb=$(ls "$cache/${package}"_*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$deb" ]; then
    (cd "$cache" && apt-get download -qq "$package")
    deb=$(ls "$cache/${package}"_*.deb | head -n 1)
  fi
  dpkg -x "$deb" "$work/root"
done
# PDF pages become pictures.
for page in $(grep -v '^#' "$root/bench/text_lines.tsv" | cut -f2 | grep '\.pdf#' | sort -u); do
  pdftoppm -r 150 -f "${page##*#}" -l "${page##*#}" -png -singlefile "$work/root/${page%#*}" \
    "$work/root/$page"
done

# The same models, their description without the Latin-script model.
mkdir "$work/ppocr"
for file in "$models"/*; do ln -s "$(realpath "$file")" "$work/ppocr/"; done
rm "$work/ppocr/text.json"
/usr/bin/python3 -c 'import json, sys
text = json.load(open(sys.argv[1]))
text.pop("latin", None)
json.dump(text, open(sys.argv[2], "w"), indent=2)' "$models/text.json" "$work/ppocr/text.json"

echo "PP-OCR alone:"
PLUMVANE_MODELS="$work/ppocr" "$build/plumvane_text_bench" "$root/bench/text_lines.tsv" "$work/root" |
  grep -v '^  "'
echo
echo "PP-OCR and the Latin-script model:"
PLUMVANE_MODELS="$models" "$build/plumvane_text_bench" "$root/bench/text_lines.tsv" "$work/root"

"$build/plumvane_text_bench" --page "$work/page.png"
seconds() {
  local start end
  start=$(date +%s.%N)
  PLUMVANE_MODELS=$1 "$build/plumvane" --image "$work/page.png" "$work/pieces" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
before=() after=()
for _ in 1 2 3; do
  before+=("$(seconds "$work/ppocr")")
  after+=("$(seconds "$models")")
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
b=$(median "${before[@]}") a=$(median "${after[@]}")
echo
echo "poster mode on twenty lines of English: PP-OCR alone ${b} s, with the Latin-script model ${a} s:" \
  "$(echo "scale=2; $a / $b" | bc)"
