#!/usr/bin/env bash
# Video mode on a real street scene from a fixed camera: OpenCV's sample clip vtest.avi
# (768 x 576, 795 frames, people 60-90 pixels high), from Debian's opencv-doc package. Reports
# the person path's and the subject path's time against a floor of ffmpeg decoding the clip and
# writing grey PNGs, and for the person path the walkers covered, the matte's share on walkers and
# its steadiness (plumvane_people_bench).
#   bench/people_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache="${XDG_CACHE_HOME:-$HOME/.cache}/plumvane"
export PLUMVANE_MODELS="${PLUMVANE_MODELS:-$root/models}"
clip="$cache/vtest.avi"
clip_sha256=45cddc9490be69345cbdab64ca583be65987e864ca408038e648db99e10516cf

if [ ! -f "$clip" ] || [ "$(sha256sum "$clip" | cut -d' ' -f1)" != "$clip_sha256" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download -qq opencv-doc) ||
    { echo "apt-get download opencv-doc failed (run apt-get update?)" >&2; exit 1; }
  member=./usr/share/doc/opencv-doc/examples/data/vtest.avi
  dpkg-deb --fsys-tarfile "$tmp"/opencv-doc_*.deb | tar -x -C "$tmp" "$member"
  [ "$(sha256sum "$tmp/$member" | cut -d' ' -f1)" = "$clip_sha256" ] ||
    { echo "vtest.avi does not match its pinned sha256" >&2; exit 1; }
  mkdir -p "$cache" && mv "$tmp/$member" "$clip" && rm -rf "$tmp"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds() { /usr/bin/time -f %e -o "$work/time.txt" "$@" >/dev/null 2>&1; cat "$work/time.txt"; }
floor=$(seconds ffmpeg -nostdin -loglevel error -y -i "$clip" -vf format=gray "$work/floor_%05d.png")
rm -f "$work"/floor_*.png
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
person=$(seconds "$build/plumvane" "$clip" "$work/mattes" --person)
subject=$(seconds "$build/plumvane" "$clip" "$work/subject")
rm -rf "$work/subject"
echo "floor: $floor s; person path: $person s, ratio $(ratio "$person" "$floor"); subject path: $subject s, ratio $(ratio "$subject" "$floor")"
"$build/plumvane_people_bench" "$clip" "$work/mattes"
