#!/usr/bin/env bash
# Whole-process figures of tarvo on the particles of tarvo_bench (sphere of edge 1290, grain and
# dense porous ball of edge 600, noise of edge 256, a speck, a thin shell and a porous ball of
# literals in grids of edge 1290), cut 300 400 99999: medians of interleaved runs
# against cp of the same file, both replacing an existing output as users do when they run again;
# against the tarvo of a second build (another version) when one is given; against the per-voxel
# path (one run, outputs compared byte for byte); peak memory against the bitmap + 16 MiB.
#
#   bench/run.sh [BUILD_DIR [WORK_DIR]] [--base BASE_BUILD_DIR] [--rounds N] [--pause SECONDS]
#                [--only NAME] [--full]
#
# BUILD_DIR defaults to build, WORK_DIR to a fresh temporary directory (the particles take about
# 400 MB there). --pause sleeps before every round, so that each run starts after an idle pause
# (as a user's run does). --full also runs the per-voxel path on the sphere (80 seconds and more).
set -euo pipefail

full=0 rounds=11 pause=0 base="" only="" args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --full) full=1 ;;
    --base) base=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --pause) pause=$2; shift ;;
    --only) only=$2; shift ;;
    *) args+=("$1") ;;
  esac
  shift
done
build=${args[0]:-build}
work=${args[1]:-$(mktemp -d)}
bench=$build/bench/tarvo_bench
for b in "$build" ${base:+"$base"}; do
  if [ ! -x "$b/tarvo" ]; then
    echo "build first: cmake -S . -B $b && cmake --build $b -j2" >&2
    exit 1
  fi
done
[ -x "$bench" ] || { echo "no $bench (configured with -DTARVO_BUILD_BENCH=OFF?)" >&2; exit 1; }
[ -f "$work/speck1290.3d" ] && [ -f "$work/ball600.3d" ] && [ -f "$work/shell1290.3d" ] && [ -f "$work/porous1290.3d" ] ||
  "$bench" make "$work" >/dev/null

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
field() { awk -v n="$1" -v k="$2" 'NR == n { print $k }'; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cut 300 400 99999; seconds, medians of $rounds interleaved rounds${base:+ (tarvo of $base as base)}$( [ "$pause" != 0 ] && echo ", $pause s idle before each round")"
printf '%-11s %7s %8s %8s %6s' particle MB cp tarvo "x cp"
[ -n "$base" ] && printf ' %8s %9s' base "base/new"
printf ' %10s %8s %5s %9s %9s\n' "per voxel" "x tarvo" same "peak kB" "limit kB"

for p in sphere1290 grain600 ball600 noise256 speck1290 shell1290 porous1290; do
  [ -n "$only" ] && [ "$only" != "$p" ] && continue
  in=$work/$p.3d
  dim=${p//[a-z]/}
  cmds=("cp $in $work/$p.cp.3d" "$build/tarvo $in $work/$p.out.3d 300 400 99999")
  [ -n "$base" ] && cmds+=("$base/tarvo $in $work/$p.base.3d 300 400 99999")
  "$bench" time 1 0 "${cmds[@]}" >/dev/null  # the outputs exist from here on
  t=$("$bench" time "$rounds" "$pause" "${cmds[@]}")
  cp_s=$(echo "$t" | field 1 1) tarvo_s=$(echo "$t" | field 2 1) peak=$(echo "$t" | field 2 4)
  printf '%-11s %7.1f %8.4f %8.4f %6s' "$p" "$(awk -v b="$(stat -c %s "$in")" 'BEGIN { print b / 1e6 }')" \
    "$cp_s" "$tarvo_s" "$(ratio "$tarvo_s" "$cp_s")"
  if [ -n "$base" ]; then
    base_s=$(echo "$t" | field 3 1)
    printf ' %8.4f %9s' "$base_s" "$(ratio "$base_s" "$tarvo_s")"
  fi
  if [ "$dim" -lt 1000 ] || [ "$full" = 1 ]; then
    ref_s=$("$bench" time 1 0 "$bench run per-voxel $in $work/$p.ref.3d 300 400 99999" | field 1 1)
    same=$(cmp -s "$work/$p.out.3d" "$work/$p.ref.3d" && echo yes || echo NO)
    printf ' %10.3f %8s %5s' "$ref_s" "$(ratio "$ref_s" "$tarvo_s")" "$same"
  else
    printf ' %10s %8s %5s' - - -
  fi
  bitmap_kb=$(( (dim * dim * dim / 8 + 1) / 1024 ))
  printf ' %9s %9s\n' "$peak" $(( bitmap_kb + 16384 ))
done
echo "load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"
