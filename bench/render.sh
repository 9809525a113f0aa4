#!/usr/bin/env bash
# Whole runs of `tarvo-tools render` (800 x 800) by two builds side by side, alternated run by
# run, on noise of edge 600, the sphere of edge 1290 and a porous grain of edge 400; best and
# median elapsed seconds of each.
#
#   bench/render.sh BUILD_A BUILD_B [WORK_DIR [ROUNDS]]
#
# WORK_DIR defaults to a fresh temporary directory (the particles take about 230 MB there),
# ROUNDS to 5. Extra render options (e.g. --cut 1 1 99999) go in RENDER_OPTIONS; both builds
# must know them.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: bench/render.sh BUILD_A BUILD_B [WORK_DIR [ROUNDS]]" >&2
  exit 2
fi
a=$1
b=$2
work=${3:-$(mktemp -d)}
rounds=${4:-5}
read -r -a options <<<"${RENDER_OPTIONS:-}"
for build in "$a" "$b"; do
  if [ ! -x "$build/tarvo-tools" ]; then
    echo "no $build/tarvo-tools: build it first" >&2
    exit 1
  fi
done

make_particle() {
  [ -f "$work/$1.3d" ] || "$b/tarvo-tools" make "${@:2}" "$work/$1.3d"
}
make_particle noise600 noise 600
make_particle sphere1290 sphere 1290
make_particle grain400 grain 400 --seed 3 --pores 300

elapsed() {
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}

summary() {  # best and median of the numbers given
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { printf "best %.3f  median %.3f", v[1], v[int((NR + 1) / 2)] }'
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)  rounds: $rounds  options: ${options[*]:-none}"
for p in noise600 sphere1290 grain400; do
  ta=()
  tb=()
  for ((k = 0; k < rounds; ++k)); do
    ta+=("$(elapsed "$a/tarvo-tools" render "$work/$p.3d" "$work/$p-a.png" "${options[@]}")")
    tb+=("$(elapsed "$b/tarvo-tools" render "$work/$p.3d" "$work/$p-b.png" "${options[@]}")")
  done
  printf '%-11s %-14s %s\n' "$p" "$a" "$(summary "${ta[@]}")"
  printf '%-11s %-14s %s\n' "" "$b" "$(summary "${tb[@]}")"
done
