#!/usr/bin/env bash
# Whole-process figures of tarvo: the edge-1290 sphere against cp of the same file, the bulk
# engine against the per-voxel definitions on the edge-600 grain and the edge-256 noise (with the
# outputs compared byte for byte), and the peak memory against the bitmap.
#
#   bench/run.sh [BUILD_DIR [WORK_DIR]] [--full]
#
# BUILD_DIR defaults to build, WORK_DIR to a fresh temporary directory (the particles take about
# 90 MB there). --full also runs the per-voxel path on the sphere (about 80 seconds).
set -euo pipefail

full=0
args=()
for a in "$@"; do
  if [ "$a" = "--full" ]; then full=1; else args+=("$a"); fi
done
build=${args[0]:-build}
work=${args[1]:-$(mktemp -d)}
tarvo=$build/tarvo
bench=$build/bench/tarvo_bench
if [ ! -x "$tarvo" ] || [ ! -x "$bench" ]; then
  echo "build first: cmake -S . -B $build && cmake --build $build -j2" >&2
  exit 1
fi
[ -f "$work/sphere1290.3d" ] || "$bench" make "$work" >/dev/null

# elapsed seconds of one run of a command (output discarded), the file $target removed before
# (not timed), so that every command creates its output afresh
target=/dev/null
elapsed() {
  local t0 t1
  [ "$target" = /dev/null ] || rm -f "$target"
  t0=$(date +%s%N)
  "$@" >/dev/null
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }'
}

# best (smallest) elapsed time of n runs
best_of() {
  local n=$1 best="" t
  shift
  for ((k = 0; k < n; k++)); do
    t=$(elapsed "$@")
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }

peak_kb() {
  /usr/bin/time -f "%M" -o "$work/peak.txt" "$@" >/dev/null
  cat "$work/peak.txt"
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cut: 300 400 99999; times are the best of 5 runs unless noted"
echo

# The sphere: tarvo against cp of its input, and its peak memory against the bitmap.
s=$work/sphere1290.3d
target=$work/copy.3d
t_cp=$(best_of 5 cp "$s" "$target")
target=$work/s.out.3d
t_tarvo=$(best_of 5 "$tarvo" "$s" "$target" 300 400 99999)
peak=$(peak_kb "$tarvo" "$s" "$work/s.out.3d" 300 400 99999)
bitmap_kb=$(( (1290 * 1290 * 1290 / 8 + 1) / 1024 ))
echo "sphere1290 ($(stat -c %s "$s") bytes)"
echo "  cp                 ${t_cp} s"
echo "  tarvo              ${t_tarvo} s   = $(ratio "$t_tarvo" "$t_cp") x cp (target 8)"
echo "  peak memory        ${peak} kB   (bitmap ${bitmap_kb} kB; limit bitmap + 16 MiB = $(( bitmap_kb + 16384 )) kB)"
if [ "$full" = 1 ]; then
  target=$work/s.ref.3d
  t_ref=$(elapsed "$bench" run per-voxel "$s" "$work/s.ref.3d" 300 400 99999)
  same=$(cmp -s "$work/s.out.3d" "$work/s.ref.3d" && echo yes || echo NO)
  echo "  per voxel (1 run)  ${t_ref} s   = $(ratio "$t_ref" "$t_tarvo") x tarvo, identical output: $same"
fi

# The grain and the noise: tarvo against the per-voxel run, outputs compared.
for name in grain600 noise256; do
  f=$work/$name.3d
  target=$work/$name.out.3d
  t_tarvo=$(best_of 5 "$tarvo" "$f" "$target" 300 400 99999)
  target=$work/$name.ref.3d
  t_ref=$(elapsed "$bench" run per-voxel "$f" "$work/$name.ref.3d" 300 400 99999)
  same=$(cmp -s "$work/$name.out.3d" "$work/$name.ref.3d" && echo yes || echo NO)
  echo "$name ($(stat -c %s "$f") bytes)"
  echo "  tarvo              ${t_tarvo} s"
  echo "  per voxel (1 run)  ${t_ref} s   = $(ratio "$t_ref" "$t_tarvo") x tarvo, identical output: $same"
done
