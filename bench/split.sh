#!/usr/bin/env bash
# split of a 512^3 uint16 labelled volume (256 MiB) with 4,913 touching grains (17 x 17 x 17 cells
# of random sizes, 5% of the voxels background) against `cp` of the same file, and merge back;
# medians of interleaved rounds of wall time, and the peak resident memory of each (GNU time).
#
#   bench/split.sh [BUILD_DIR [WORK_DIR]] [--rounds N]
set -euo pipefail

rounds=3 args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    *) args+=("$1") ;;
  esac
  shift
done
build=${args[0]:-build}
work=${args[1]:-$(mktemp -d)}
tools=$build/tarvo-tools
mkdir -p "$work"
[ -x /usr/bin/time ] || { echo "needs GNU time (Debian: time)" >&2; exit 1; }
if [ ! -f "$work/labels.raw" ]; then
  /usr/bin/python3 - "$work/labels.raw" <<'PY'
import sys
import numpy as np
rng = np.random.default_rng(1)
n, k = 512, 17
cells = [np.searchsorted(np.sort(rng.choice(np.arange(1, n), k - 1, replace=False)), np.arange(n), side="right")
         for _ in range(3)]
names = rng.permutation(np.arange(1, k ** 3 + 1)).astype(np.uint16)
with open(sys.argv[1], "wb") as f:
    for z in range(n):
        layer = names[(cells[0][z] * k + cells[1][:, None]) * k + cells[2][None, :]]
        layer[rng.random((n, n)) < 0.05] = 0
        f.write(layer.astype("<u2").tobytes())
PY
fi

names=(cp split merge)
run() {
  case "$1" in
    cp) cp "$work/labels.raw" "$work/copy.raw" ;;
    split) rm -rf "$work/out"; "$tools" split "$work/labels.raw" "$work/out" --size 512,512,512 --type uint16 2>/dev/null ;;
    merge) "$tools" merge "$work/out/index.csv" "$work/back.raw" 2>/dev/null ;;
  esac
}
declare -A times peaks
for r in $(seq 1 "$rounds"); do
  for n in "${names[@]}"; do
    out=$( { /usr/bin/time -f "%e %M" bash -c "$(declare -f run); tools=$tools work=$work; run $n" ; } 2>&1 | tail -1)
    times[$n]+="${out% *} "
    peaks[$n]=${out#* }
  done
done
cmp "$work/labels.raw" "$work/back.raw" && echo "merge gives the volume back byte for byte"
echo "grains: $(($(wc -l < "$work/out/index.csv") - 2)), volume: $(stat -c %s "$work/labels.raw") bytes"
for n in "${names[@]}"; do
  median=$(tr ' ' '\n' <<<"${times[$n]}" | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  printf '%-6s median %6.2f s   peak RSS %7d KiB\n' "$n" "$median" "${peaks[$n]}"
done
