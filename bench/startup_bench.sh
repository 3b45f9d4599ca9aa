#!/usr/bin/env bash
# Start-up time (wall and CPU) and peak memory: the usage line (the process alone) and a cut-out of a 1 x 1
# picture (the process, one model's session and one inference), each the median of ROUNDS runs,
# and the shared libraries each run loads. With a second binary (say, a copy of an earlier
# build), both are measured, their runs alternated, and the ratios printed.
#
#   bench/startup_bench.sh [BUILD_DIR] [BEFORE_BINARY] [ROUNDS]      default build, none, 9
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
before=${2:+$(realpath "$2")}
rounds=${3:-9}
after=$build/plumvane
# Both binaries use the same models, wherever the earlier one lies.
export PLUMVANE_MODELS=${PLUMVANE_MODELS:-$root/models}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 -c "
import struct, zlib
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
header = struct.pack('>IIBBBBB', 1, 1, 8, 2, 0, 0, 0)  # 1 x 1, 8-bit RGB
open('one.png', 'wb').write(b'\\x89PNG\\r\\n\\x1a\\n' + chunk(b'IHDR', header) +
                            chunk(b'IDAT', zlib.compress(bytes([0, 128, 96, 64]))) + chunk(b'IEND', b''))"

# One run's "seconds peak-KB CPU-seconds" (the exit status is not looked at: the usage line ends with 1, and
# time then says so on a line of its own before the figures).
measure() {
  /usr/bin/time -f "%e %M %U %S" -o run.txt "$@" >/dev/null 2>&1 || true
  tail -n 1 run.txt | awk '{ print $1, $2, $3 + $4 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
libraries() { LD_DEBUG=files "$@" 2>&1 >/dev/null | grep -c 'generating link map' || true; }

binaries=("$after")
[ -n "$before" ] && binaries=("$before" "$after")
for ((i = 1; i <= rounds; ++i)); do
  for n in "${!binaries[@]}"; do
    measure "${binaries[$n]}" >>"usage-$n.txt"
    measure "${binaries[$n]}" --cutout one.png "cut-$n.png" >>"cutout-$n.txt"
  done
done

declare -A result
for n in "${!binaries[@]}"; do
  for what in usage cutout; do
    result[$what-time-$n]=$(cut -d' ' -f1 "$what-$n.txt" | median)
    result[$what-mb-$n]=$(cut -d' ' -f2 "$what-$n.txt" | median | awk '{ printf "%.0f", $1 / 1024 }')
    result[$what-cpu-$n]=$(cut -d' ' -f3 "$what-$n.txt" | median)
  done
  result[usage-libs-$n]=$(libraries "${binaries[$n]}")
  result[cutout-libs-$n]=$(libraries "${binaries[$n]}" --cutout one.png "cut-$n.png")
  echo "== ${binaries[$n]} (median of $rounds runs)"
  for what in usage cutout; do
    printf '%-7s %6.2f s (CPU %5.2f s) %5d MB %4d libraries\n' "$what" "${result[$what-time-$n]}" \
      "${result[$what-cpu-$n]}" "${result[$what-mb-$n]}" "${result[$what-libs-$n]}"
  done
done
if [ -n "$before" ]; then
  echo "== after / before"
  for what in usage cutout; do
    awk -v w="$what" -v t0="${result[$what-time-0]}" -v t1="${result[$what-time-1]}" \
      -v c0="${result[$what-cpu-0]}" -v c1="${result[$what-cpu-1]}" \
      -v m0="${result[$what-mb-0]}" -v m1="${result[$what-mb-1]}" \
      -v l0="${result[$what-libs-0]}" -v l1="${result[$what-libs-1]}" \
      'BEGIN { printf "%-7s time %.2f, CPU time %.2f, memory %.2f, libraries %.2f\n", w,
                   (t0 > 0 ? t1 / t0 : 0), (c0 > 0 ? c1 / c0 : 0), m1 / m0, l1 / l0 }'
  done
fi
