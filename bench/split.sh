#!/usr/bin/env bash
# split of a 512^3 uint16 labelled volume (256 MiB) with 4,913 touching grains (17 x 17 x 17 cells
# of random sizes, 5% of the voxels background) against `cp` of the same file, and merge back;
# medians of interleaved rounds of wall time and of processor time (user + system, which another
# job on the machine does not stretch), and the peak resident memory of each (GNU time);
# with --base, the split and merge of a second build (another version) in the same rounds.
#
#   bench/split.sh [BUILD_DIR [WORK_DIR]] [--rounds N] [--base BASE_BUILD_DIR]
#
# Each split writes into a fresh OUTDIR (as a user's first split does); the rounds' folders are
# removed at the end. On ext4 without a journal (this machine's disk), a split within minutes of
# removing thousands of files pays for it: creating each file steps over the inodes freed
# recently (recently_deleted, find_inode_bit in a profile), 0.8 s of system time for 4,913
# files after removing as many, and more after the 50,000 of an earlier run of this script: wait
# a few minutes between runs there, or give a WORK_DIR on tmpfs (/dev/shm) for the program's
# own cost.
set -euo pipefail

rounds=3 base="" args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --base) base=$2; shift ;;
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

rm -rf "$work"/out.*

names=(cp split merge)
[ -n "$base" ] && names+=(base-split base-merge)
run() {
  case "$1" in
    cp) cp "$work/labels.raw" "$work/copy.raw" ;;
    split) "$tools" split "$work/labels.raw" "$work/out.$r" --size 512,512,512 --type uint16 2>/dev/null ;;
    merge) "$tools" merge "$work/out.$r/index.csv" "$work/back.raw" 2>/dev/null ;;
    base-split) "$base/tarvo-tools" split "$work/labels.raw" "$work/out.base.$r" --size 512,512,512 --type uint16 2>/dev/null ;;
    base-merge) "$base/tarvo-tools" merge "$work/out.base.$r/index.csv" "$work/back.base.raw" 2>/dev/null ;;
  esac
}
declare -A times cpus peaks
for r in $(seq 1 "$rounds"); do
  for n in "${names[@]}"; do
    out=$( { /usr/bin/time -f "%e %M %U %S" bash -c "$(declare -f run); tools=$tools base=$base work=$work r=$r; run $n" ; } 2>&1 | tail -1)
    read -r wall peak user sys <<<"$out"
    times[$n]+="$wall "
    cpus[$n]+="$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') "
    peaks[$n]=$peak
  done
done
cmp "$work/labels.raw" "$work/back.raw" && echo "merge gives the volume back byte for byte"
if [ -n "$base" ]; then
  if diff -r "$work/out.1" "$work/out.base.1" >/dev/null; then
    echo "split writes the same files as the base's, byte for byte"
  else
    echo "split's files DIFFER from the base's"
  fi
fi
echo "grains: $(($(wc -l < "$work/out.1/index.csv") - 2)), volume: $(stat -c %s "$work/labels.raw") bytes"
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
echo "load $(cut -d' ' -f1-3 /proc/loadavg); medians of $rounds rounds"
for n in "${names[@]}"; do
  printf '%-10s %6.2f s   processor %6.2f s   peak RSS %7d KiB\n' "$n" "$(median "${times[$n]}")" \
    "$(median "${cpus[$n]}")" "${peaks[$n]}"
done
rm -rf "$work"/out.*
