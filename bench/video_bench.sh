#!/usr/bin/env bash
# Video mode's speed and memory on a 1080p clip made from a photo.
#   bench/video_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
plumvane=$build/plumvane
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

seconds() { /usr/bin/time -f %e -o time.txt "$@" >/dev/null 2>&1; cat time.txt; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
peak_mb() { /usr/bin/time -f %M -o mem.txt "$@" >/dev/null 2>&1; echo $(($(cat mem.txt) / 1024)); }

# 300 frames of 1080p at 30 a second: the astronaut photo, slowly zooming.
ffmpeg -nostdin -loglevel error -y -loop 1 -i "$root/testdata/astronaut.png" -frames:v 300 \
  -vf "scale=1920:1080,zoompan=z='1+0.0005*on':d=1:s=1920x1080:fps=30" -c:v libx264 \
  -pix_fmt yuv420p clip.mp4

echo "== person path against the floor (decode and write grey PNGs of the same size)"
floor=$(seconds ffmpeg -nostdin -loglevel error -y -i clip.mp4 -vf scale=1920:1080,format=gray floor_%05d.png)
person=$(seconds "$plumvane" clip.mp4 person --person)
echo "floor: $floor s; person path: $person s; ratio $(ratio "$person" "$floor")"
echo "person path: $(ratio 300 "$person") frames per second"

echo "== subject path against its model alone (first 30 frames)"
ffmpeg -nostdin -loglevel error -y -i clip.mp4 -frames:v 30 -c copy clip30.mp4
subject=$(seconds "$plumvane" clip30.mp4 subject)
"$build/plumvane_segment_bench" clip30.mp4 subject | tee model.txt
model=$(sed -E 's/.*alone ([0-9.]+) s.*/\1/' model.txt)
echo "whole run: $subject s; model alone: $model s; ratio $(ratio "$subject" "$model")"

echo "== subject path against the floor on a real 1080p clip (a phone's, from forensics-samples-files)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/plumvane"
phone="$cache/VID_20191220_170832.mp4"
phone_sha256=9b0710a436413f75cc3cd1c1048aa3c4d7c28f76f51ef6a25413d0018d22ec99
if [ ! -f "$phone" ] || [ "$(sha256sum "$phone" | cut -d' ' -f1)" != "$phone_sha256" ]; then
  (apt-get download -qq forensics-samples-files) ||
    { echo "apt-get download forensics-samples-files failed (run apt-get update?)" >&2; exit 1; }
  member=./usr/share/forensics-samples/original-files/movie1/VID_20191220_170832.mp4
  dpkg-deb --fsys-tarfile forensics-samples-files_*.deb | tar -x "$member"
  [ "$(sha256sum "$member" | cut -d' ' -f1)" = "$phone_sha256" ] ||
    { echo "the phone clip does not match its pinned sha256" >&2; exit 1; }
  mkdir -p "$cache" && mv "$member" "$phone"
fi
floor=$(seconds ffmpeg -nostdin -loglevel error -y -i "$phone" -vf format=gray phone_%05d.png)
subject=$(seconds "$plumvane" "$phone" phone)
echo "floor: $floor s; subject path: $subject s; ratio $(ratio "$subject" "$floor")"

echo "== peak memory after 300 and 3000 frames (person path)"
ffmpeg -nostdin -loglevel error -y -stream_loop 9 -i clip.mp4 -c copy clip3000.mp4
echo "300 frames: $(peak_mb "$plumvane" clip.mp4 m300 --person) MB"
echo "3000 frames: $(peak_mb "$plumvane" clip3000.mp4 m3000 --person) MB"
