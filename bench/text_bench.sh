#!/usr/bin/env bash
# The text service's error rate and time per line, on real screenshots from Debian packages and
# on lines rendered in real fonts.
#   bench/text_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache="${XDG_CACHE_HOME:-$HOME/.cache}/plumvane"
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
PLUMVANE_MODELS="${PLUMVANE_MODELS:-$root/models}" \
  "$build/plumvane_text_bench" "$root/bench/text_lines.tsv" "$work/root"
