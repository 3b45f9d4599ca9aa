#!/usr/bin/env bash
# Poster mode on real type-specimen posters and pictures from Debian's font packages: the share of
# the hand-transcribed lines (bench/real_posters.tsv) that some text piece reads, the time per
# poster, how many of the lines stay readable on the plate (poster mode run again on the plate),
# how much of the letters' edge strength the plate keeps under each text piece, and over textured
# ground whether the plate where the letters were is as grainy as around them.
#   bench/real_posters.sh [BUILD_DIR]
# With PLUMVANE_REAL_KEEP set to a folder, each picture's pieces and the plate's are kept there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache="${XDG_CACHE_HOME:-$HOME/.cache}/plumvane"
models="${PLUMVANE_MODELS:-$root/models}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$cache"

# The packages, pinned: name, version, sha256 of the .deb. Fetched once into the cache.
while read -r package version sum; do
  deb="$cache/${package}_${version}_all.deb"
  if [ ! -f "$deb" ]; then
    (cd "$cache" && apt-get download -qq "$package=$version")
  fi
  echo "$sum  $deb" | sha256sum --quiet -c -
  dpkg -x "$deb" "$work/root"
done <<'EOF'
fonts-compagnon 0.2-3 539edb6c8a91a1be026e2c91f33e291d5ccab826e61f7ddbc2d15cfaef3b509c
fonts-le-murmure 0.2-2 34d33b9e778b57032d1d1a7be6207277a04f5112148a2e8da6ec43cacb737615
fonts-millimetre 0.2-2 741135d051a8cfba81bb4514d71b83b0c321f574779645fc3e9f5bb036074d0d
fonts-solide-mirage 0.2-2 9cb6399e6d0eebb7140d64822f179b83ef94ad1f3f7fbf928834db3f5a20e423
EOF

# Each picture once through poster mode (timed), then its plate once more (not timed).
n=0
grep -v '^#' "$root/bench/real_posters.tsv" | cut -f2 | awk '!seen[$0]++' >"$work/pictures"
while read -r member; do
  n=$((n + 1))
  out="$work/out/$n"
  start=$(date +%s.%N)
  PLUMVANE_MODELS=$models "$build/plumvane" --image "$work/root/$member" "$out" >"$work/$n.pieces" </dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc >"$work/$n.seconds"
  PLUMVANE_MODELS=$models "$build/plumvane" --image "$out/plate.png" "$work/plate/$n" >"$work/$n.plate" </dev/null
  # The edge strength (Sobel, grey) of the picture at the working size and of the plate.
  size=$(awk '/^size/ { print $2 ":" $3 }' "$work/$n.pieces")
  for source in "$work/root/$member" "$out/plate.png"; do
    # (-v fatal: some of the PNGs carry bytes after their end, which the decoder reports.)
    ffmpeg -v fatal -i "$source" -frames:v 1 -vf "scale=$size,format=gray,sobel" -f rawvideo -
  done >"$work/$n.edges" </dev/null
  # The plate's grey and each text piece's alpha, for the grain where the letters were.
  ffmpeg -v fatal -i "$out/plate.png" -vf format=gray -f rawvideo - >"$work/$n.grey" </dev/null
  awk '$1 == "piece" && $2 == "text" { print $7 }' "$work/$n.pieces" | while read -r file; do
    ffmpeg -v fatal -i "$out/$file" -vf alphaextract,format=gray -f rawvideo - </dev/null
  done >"$work/$n.alphas"
done <"$work/pictures"

/usr/bin/python3 - "$root/bench/real_posters.tsv" "$work" <<'EOF'
import statistics, sys

import numpy as np

tsv, work = sys.argv[1], sys.argv[2]
# Typographic quotes and dashes count as their plain forms: a transcription can't tell them apart.
fold = str.maketrans({"\u2019": "'", "\u2018": "'", "\u201c": '"', "\u201d": '"', "\u2013": "-",
                      "\u2014": "-"})

def distance(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]

def cer(read, line):
    if abs(len(read) - len(line)) > 0.1 * len(line):  # the distance is at least the difference
        return abs(len(read) - len(line)) / max(1, len(line))
    return distance(read.translate(fold), line.translate(fold)) / max(1, len(line))

def texts(path):
    found = []
    for row in open(path, encoding="utf-8"):
        parts = row.rstrip("\n").split(" ", 7)
        if parts[0] == "piece" and parts[1] == "text":
            found.append(parts[7] if len(parts) > 7 else "")
    return found

def ghosts(n):
    """For each text piece, the plate's edge strength over its rectangle against the picture's."""
    rows = open(f"{work}/{n}.pieces", encoding="utf-8").read().splitlines()
    w, h = (int(v) for v in rows[0].split()[1:3])
    edges = open(f"{work}/{n}.edges", "rb").read()
    picture, plate = edges[:w * h], edges[w * h:]
    kept = []
    for row in rows:
        parts = row.split(" ", 7)
        if parts[0] != "piece" or parts[1] != "text":
            continue
        x, y, pw, ph = (int(v) for v in parts[2:6])
        x0, x1 = max(0, x), min(w, x + pw)
        rect = [(r * w + x0, r * w + x1) for r in range(max(0, y), min(h, y + ph))]
        before = sum(sum(picture[a:b]) for a, b in rect)
        after = sum(sum(plate[a:b]) for a, b in rect)
        kept.append(after / before if before else 0.0)
    return kept

def smoothed(a, sigma=1.5):
    """A Gaussian blur of a 2-D float array, the border repeated."""
    r = int(3 * sigma)
    k = np.exp(-0.5 * (np.arange(-r, r + 1) / sigma) ** 2)
    k /= k.sum()
    for axis in (0, 1):
        p = np.pad(a, [(r, r) if d == axis else (0, 0) for d in (0, 1)], mode="edge")
        n = a.shape[axis]
        a = sum(w * np.take(p, range(i, i + n), axis=axis) for i, w in enumerate(k))
    return a

def spread(m, r, grow):
    """A boolean mask grown (or, with grow False, shrunk) by r pixels in a square."""
    p = np.pad(m, r, constant_values=not grow)
    h, w = m.shape
    parts = [p[dy:dy + h, dx:dx + w] for dy in range(2 * r + 1) for dx in range(2 * r + 1)]
    return np.logical_or.reduce(parts) if grow else np.logical_and.reduce(parts)

def grain(n):
    """For each text piece over textured ground, the plate's fine detail where its letters were
    against the plate's around them (medians of the grey's distance from its local mean): about 1
    where the ground runs on through them, near 0 where a smooth patch shows their shape. Ground
    whose median detail is under 1.5 levels counts as flat, and its pieces are left out."""
    rows = open(f"{work}/{n}.pieces", encoding="utf-8").read().splitlines()
    w, h = (int(v) for v in rows[0].split()[1:3])
    grey = np.fromfile(f"{work}/{n}.grey", np.uint8).astype(np.float32).reshape(h, w)
    detail = np.abs(grey - smoothed(grey))
    alphas = np.fromfile(f"{work}/{n}.alphas", np.uint8)
    ratios, at = [], 0
    for row in rows:
        parts = row.split(" ", 7)
        if parts[0] != "piece" or parts[1] != "text":
            continue
        x, y, pw, ph = (int(v) for v in parts[2:6])
        letters = alphas[at:at + pw * ph].reshape(ph, pw) >= 128
        at += pw * ph
        x0, y0, x1, y1 = max(0, x), max(0, y), min(w, x + pw), min(h, y + ph)
        letters = letters[y0 - y:y1 - y, x0 - x:x1 - x]
        inside, around = spread(letters, 1, False), ~spread(letters, 3, True)
        if inside.sum() < 50 or around.sum() < 50:
            continue
        part = detail[y0:y1, x0:x1]
        ground = np.median(part[around])
        if ground >= 1.5:
            ratios.append(float(np.median(part[inside]) / ground))
    return ratios

def match(lines, pieces, last=()):
    """Each line to its best piece, each piece to at most one line, best pairs first; among lines
    printed alike, those in `last` are matched last."""
    pairs = sorted((cer(p, l[1]), i in last, i, j) for i, l in enumerate(lines)
                   for j, p in enumerate(pieces))
    line_to, used = {}, set()
    for c, _, i, j in pairs:
        if c <= 0.1 and i not in line_to and j not in used:
            line_to[i] = j
            used.add(j)
    return line_to

pictures, lines = [], {}
for row in open(tsv, encoding="utf-8"):
    if row.startswith("#") or not row.strip():
        continue
    package, member, kind, text = row.rstrip("\n").split("\t")
    if member not in lines:
        pictures.append(member)
        lines[member] = []
    if kind != "glyphs":
        lines[member].append((kind, text))

total = {"line": [0, 0, 0, 0], "small": [0, 0, 0, 0]}  # lines, read, on the plate, read and on it
seconds, fragments, kept_all, grain_all = [], 0, [], []
print(f"{'picture':42} {'lines read':>11} {'small read':>11} {'on plate':>9} {'edges kept':>11}"
      f" {'seconds':>8}")
for n, member in enumerate(pictures, 1):
    ls = lines[member]
    pieces, plate = texts(f"{work}/{n}.pieces"), texts(f"{work}/{n}.plate")
    read = match(ls, pieces)
    left = match(ls, plate, read)
    s = float(open(f"{work}/{n}.seconds").read())
    seconds.append(s)
    cells = {}
    for kind in total:
        idx = [i for i, l in enumerate(ls) if l[0] == kind]
        counts = [len(idx), sum(i in read for i in idx), sum(i in left for i in idx),
                  sum(i in read and i in left for i in idx)]
        total[kind] = [a + b for a, b in zip(total[kind], counts)]
        cells[kind] = f"{counts[1]}/{counts[0]}" if idx else "-"
    on_plate = sum(i in left for i, l in enumerate(ls) if l[0] == "line")
    # Plate pieces that read a line or a run of its words: what a partial piece left behind.
    runs = {" ".join(w[a:b]) for _, t in ls for w in [t.split()] for a in range(len(w))
            for b in range(a + 1, len(w) + 1)}
    bits = [p for p in plate if len(p.strip()) >= 3 and any(cer(p, r) <= 0.1 for r in runs)]
    fragments += len(bits)
    kept = ghosts(n)
    kept_all += kept
    grain_all += grain(n)
    median = f"{statistics.median(kept):.2f}" if kept else "-"
    print(f"{member.rsplit('/', 1)[1]:42} {cells['line']:>11} {cells['small']:>11} {on_plate:>9}"
          f" {median:>11} {s:8.2f}")
    free = [p for j, p in enumerate(pieces) if j not in read.values()]
    for i, (kind, text) in enumerate(ls):
        if kind == "line" and i not in read:
            exact = {p: distance(p.translate(fold), text.translate(fold)) / len(text) for p in free}
            best = min(exact, key=exact.get, default="")
            print(f"    missed {text!r}: nearest piece {best!r} (CER {exact.get(best, 1.0):.2f})")
        elif kind == "line" and i in left:
            print(f"    still on the plate {text!r}: read there as {plate[left[i]]!r}")
    for p in bits:
        print(f"    the plate reads {p!r}")

print()
for kind, name in (("line", "display lines"), ("small", "small print")):
    n_, r, p, rp = total[kind]
    print(f"{name}: {r}/{n_} read ({r / n_:.2f}); {p} readable on the plate, {rp} of them also read")
print(f"plate pieces that read a transcribed line or a run of its words: {fragments}")
print(f"edge strength the plate keeps over a text piece's rectangle: median"
      f" {statistics.median(kept_all):.2f}, over 0.25 in {sum(k > 0.25 for k in kept_all)} of"
      f" {len(kept_all)} pieces")
if grain_all:
    print(f"grain where the letters were over textured ground, against around them: median"
          f" {statistics.median(grain_all):.2f}, under 0.5 in {sum(g < 0.5 for g in grain_all)}"
          f" of {len(grain_all)} pieces")
print(f"time per poster: median {statistics.median(seconds):.2f} s, max {max(seconds):.2f} s,"
      f" total {sum(seconds):.1f} s for {len(seconds)}")
EOF

if [ -n "${PLUMVANE_REAL_KEEP:-}" ]; then
  mkdir -p "$PLUMVANE_REAL_KEEP"
  cp -r "$work/out" "$work/plate" "$work/pictures" "$PLUMVANE_REAL_KEEP/"
  cp "$work"/*.pieces "$work"/*.plate "$work"/*.seconds "$work"/*.edges "$work"/*.grey \
    "$work"/*.alphas "$PLUMVANE_REAL_KEEP/"
fi
