#!/usr/bin/env bash
# Many particles in one run: 1,000 grains of edge 64 (tarvo-tools make grain, seeds 1..1000)
# read by `table` (the reference), copied into a folder by `cp` (what writing the files costs the
# file system: the floor under any cut into a folder), cut into a folder by `cut --out-dir`,
# measured by `measure` (in voxels, and in the units of a voxel size of 0.5 x 1.5 x 2 um) and
# `table --measure`, and given 4 random sections each; medians of
# interleaved rounds, wall time of the whole process, and each one's ratio to `table`. `cp` and
# `cut` run twice: into a new, empty folder (a first run; made outside the timing, a new one each
# round, never one just emptied: this file system looks past every inode freed in the last
# minutes when it makes a file, so a folder emptied just before is slow to fill) and
# replacing the files of the round before (a second run).
#
# With --before OLD_BUILD_DIR the same runs of an older build are interleaved with them, and both
# columns printed side by side (each build's ratios to its own `table`).
#
#   bench/batch.sh [BUILD_DIR [WORK_DIR]] [--rounds N] [--before OLD_BUILD_DIR]
set -euo pipefail

rounds=5 args=() before=
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --before) before=$2; shift ;;
    *) args+=("$1") ;;
  esac
  shift
done
build=${args[0]:-build}
work=${args[1]:-$(mktemp -d)}
tools=$build/tarvo-tools
rm -rf "$work/fresh"
mkdir -p "$work/in" "$work/out" "$work/copy" "$work/fresh"
if [ ! -f "$work/in/g1000.3d" ]; then
  for k in $(seq 1 1000); do "$tools" make grain 64 "$work/in/g$k.3d" --seed "$k"; done
fi
ls "$work"/in/*.3d > "$work/list.txt"

names=(table cp-new cut-new cp cut measure measure-sized table-measure section)
builds=(new)
[ -n "$before" ] && builds+=(old)
run() {
  local tools=$tools
  [ "$2" = old ] && tools=$before/tarvo-tools
  case "$1" in
    table) "$tools" table --files "$work/list.txt" --csv ;;
    cp-new) xargs -a "$work/list.txt" cp -f -t "$3" ;;
    cut-new) "$tools" cut --out-dir "$3" --csv 1 1 99999 --files "$work/list.txt" ;;
    cp) xargs -a "$work/list.txt" cp -f -t "$work/copy" ;;
    cut) "$tools" cut --out-dir "$work/out" --csv 1 1 99999 --files "$work/list.txt" ;;
    measure) "$tools" measure --files "$work/list.txt" --csv ;;
    measure-sized) "$tools" measure --spacing 0.5,1.5,2 --unit um --files "$work/list.txt" --csv ;;
    table-measure) "$tools" table --measure --files "$work/list.txt" --csv ;;
    section) "$tools" section --random 4 --seed 1 --files "$work/list.txt" --csv ;;
  esac >/dev/null
}
declare -A times
for r in $(seq 1 "$rounds"); do
  for n in "${names[@]}"; do
    for b in "${builds[@]}"; do
      folder=$work/fresh/$n.$b.$r
      mkdir "$folder"
      start=$(date +%s.%N)
      run "$n" "$b" "$folder"
      end=$(date +%s.%N)
      times[$n.$b]+="$(echo "$end - $start" | bc) "
    done
  done
done
rm -rf "$work/fresh"
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
header="$(printf '%-14s %9s %8s' run seconds "/ table")"
[ -n "$before" ] && header+="$(printf ' %12s %8s' "before (s)" "/ table")"
echo "$header"
for n in "${names[@]}"; do
  line=""
  for b in "${builds[@]}"; do
    ref=$(echo "${times[table.$b]}" | median)
    m=$(echo "${times[$n.$b]}" | median)
    line+="$(printf ' %9.3f %8.2f' "$m" "$(echo "$m / $ref" | bc -l)")"
  done
  printf '%-14s%s\n' "$n" "$line"
done
echo "($(nproc) cores, $rounds rounds, particles in $work)"
