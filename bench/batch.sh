#!/usr/bin/env bash
# Many particles in one run: 1,000 grains of edge 64 (tarvo-tools make grain, seeds 1..1000)
# read by `table` (the reference), cut into a folder by `cut --out-dir`, measured by `measure` and
# `table --measure`, and given 4 random sections each; medians of interleaved rounds, wall time of
# the whole process, and each one's ratio to `table`.
#
#   bench/batch.sh [BUILD_DIR [WORK_DIR]] [--rounds N]
set -euo pipefail

rounds=5 args=()
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
mkdir -p "$work/in" "$work/out"
if [ ! -f "$work/in/g1000.3d" ]; then
  for k in $(seq 1 1000); do "$tools" make grain 64 "$work/in/g$k.3d" --seed "$k"; done
fi
ls "$work"/in/*.3d > "$work/list.txt"

names=(table cut measure table-measure section)
run() {
  case "$1" in
    table) "$tools" table --files "$work/list.txt" --csv ;;
    cut) "$tools" cut --out-dir "$work/out" --csv 1 1 99999 --files "$work/list.txt" ;;
    measure) "$tools" measure --files "$work/list.txt" --csv ;;
    table-measure) "$tools" table --measure --files "$work/list.txt" --csv ;;
    section) "$tools" section --random 4 --seed 1 --files "$work/list.txt" --csv ;;
  esac >/dev/null
}
declare -A times
for r in $(seq 1 "$rounds"); do
  for n in "${names[@]}"; do
    start=$(date +%s.%N)
    run "$n"
    end=$(date +%s.%N)
    times[$n]+="$(echo "$end - $start" | bc) "
  done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ref=$(echo "${times[table]}" | median)
printf '%-14s %9s %8s\n' run seconds "/ table"
for n in "${names[@]}"; do
  m=$(echo "${times[$n]}" | median)
  printf '%-14s %9.3f %8.2f\n' "$n" "$m" "$(echo "$m / $ref" | bc -l)"
done
echo "($(nproc) cores, $rounds rounds, particles in $work)"
