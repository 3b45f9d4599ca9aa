#!/usr/bin/env bash
# Video mode on a real street scene from a fixed camera: OpenCV's sample clip vtest.avi
# (768 x 576, 795 frames, people 60-90 pixels high), from Debian's opencv-doc package. Reports
# the person path's and the subject path's time against a floor of ffmpeg decoding the clip and
# writing grey PNGs, and for the person path the walkers covered, the matte's share on walkers and
# its steadiness (plumvane_people_bench). With ROUNDS, the floor and the two paths are run in
# turn that many times, and the ratios' medians reported too: on a machine whose pace wanders,
# one round's ratio can be off by a tenth.
#   bench/people_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-1}
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
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
: >"$work/person.txt"
: >"$work/subject.txt"
for round in $(seq "$rounds"); do
  floor=$(seconds ffmpeg -nostdin -loglevel error -y -i "$clip" -vf format=gray "$work/floor_%05d.png")
  rm -rf "$work"/floor_*.png "$work/mattes"
  person=$(seconds "$build/plumvane" "$clip" "$work/mattes" --person)
  subject=$(seconds "$build/plumvane" "$clip" "$work/subject")
  rm -rf "$work/subject"
  echo "$(ratio "$person" "$floor")" >>"$work/person.txt"
  echo "$(ratio "$subject" "$floor")" >>"$work/subject.txt"
  echo "floor: $floor s; person path: $person s, ratio $(tail -n 1 "$work/person.txt");" \
    "subject path: $subject s, ratio $(tail -n 1 "$work/subject.txt")"
done
if [ "$rounds" -gt 1 ]; then
  echo "median ratios over $rounds rounds: person path $(median <"$work/person.txt"), subject path $(median <"$work/subject.txt")"
fi
"$build/plumvane_people_bench" "$clip" "$work/mattes"
