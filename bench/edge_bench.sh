#!/usr/bin/env bash
# The cut-out's edge on a fixed set of real photos, from two binaries (plumvane_edge_bench):
# small classic photos of python3-skimage, 2-4 MP wallpapers of mate-backgrounds and 1-12 MP
# phone and camera photos of forensics-samples-files (one stored upside down, as the phone took
# it). The packages are pinned by version and sha256 and fetched once into the cache.
#   bench/edge_bench.sh [BUILD_DIR] [BEFORE_BINARY]      the build's binary against itself if none
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
before=$(realpath "${2:-$build/plumvane}")
cache="${XDG_CACHE_HOME:-$HOME/.cache}/plumvane"
export PLUMVANE_MODELS="${PLUMVANE_MODELS:-$root/models}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$cache" "$work/photos"

while read -r package version sum; do
  deb="$cache/${package}_${version}_all.deb"
  if [ ! -f "$deb" ]; then
    (cd "$cache" && apt-get download -qq "$package=$version") ||
      { echo "apt-get download $package failed (run apt-get update?)" >&2; exit 1; }
  fi
  echo "$sum  $deb" | sha256sum --quiet -c - ||
    { echo "$deb does not match its pinned sha256" >&2; exit 1; }
  dpkg -x "$deb" "$work/root"
done <<'EOF'
python3-skimage 0.19.3-8 728d88c3e3440f1f3712de0805dc834d29248ff07e1eec8c0f3da07606f752f9
mate-backgrounds 1.26.0-1 7bf4c2209f34b4f61ba6d24c8b58c28b361e82e4b943aae6d42c030169af9e04
forensics-samples-files 1.1.4-5 8710c751be1a71a88e343540ea1a5cab1fd349c2bcdf07626a27cfe68689e7c4
EOF

# name in the report, path in the packages
while read -r name path; do
  cp "$work/root/$path" "$work/photos/$name"
done <<'EOF'
astronaut.png usr/lib/python3/dist-packages/skimage/data/astronaut.png
chelsea.png usr/lib/python3/dist-packages/skimage/data/chelsea.png
coffee.png usr/lib/python3/dist-packages/skimage/data/coffee.png
motorcycle.png usr/lib/python3/dist-packages/skimage/data/motorcycle_left.png
rocket.jpg usr/lib/python3/dist-packages/skimage/data/rocket.jpg
freshflower.jpg usr/share/backgrounds/mate/nature/FreshFlower.jpg
garden.jpg usr/share/backgrounds/mate/nature/Garden.jpg
ladybird.jpg usr/share/backgrounds/mate/nature/LadyBird.jpg
twowings.jpg usr/share/backgrounds/mate/nature/TwoWings.jpg
dogs-roots.jpg usr/share/forensics-samples/original-files/pic1/IMG-20191006-WA0002.jpg
dog-tiles.jpg usr/share/forensics-samples/original-files/pic2/IMG_20200124_231153.jpg
dogs-grass.jpg usr/share/forensics-samples/original-files/pic2/IMG_20200608_111614.jpg
EOF

"$build/plumvane_edge_bench" "$before" "$build/plumvane" "$work"/photos/*
