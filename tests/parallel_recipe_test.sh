#!/usr/bin/env bash
# The recipes for many particles, taken from docs/batch.md as they stand there, against single
# runs one after another: every output and transcript the same, the failed input reported.
#   tools      tarvo-tools cut --out-dir: one process, a row per file
#   xargs      xargs -P
#   parallel   GNU parallel on this machine
#   sshlogin   GNU parallel over ssh, through a stand-in ssh that runs the command here (a machine
#              sharing the folder)
#   slurm      the job-array script, four tasks at once with the SLURM_* variables set
# Usage: parallel_recipe_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
export PATH="$build:$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$src/tests/script_support.sh"
recipe() { marked_block "$src/docs/batch.md" "recipe: $1"; }

# A few dozen particles of several sizes, names a shell would split or quote, an edge of 130
# (2.2 million voxels: tarvo reads, measures, cuts and writes on two threads), a damaged file and
# a file that is no particle.
mkdir "$work/particles"
for k in $(seq 1 30); do
  tarvo-tools make grain $((16 + 8 * (k % 5))) "$work/particles/grain$k.3d" --seed "$k" --pores 20
done
tarvo-tools make grain 130 "$work/particles/big grain.3d" --seed 31 --pores 40
tarvo-tools make noise 20 "$work/particles/it's noise.3d" --seed 32 --density 0.3
tarvo-tools make sphere 33 "$work/particles/-sphere.3d"
printf 'abc' >"$work/particles/damaged.3d"
echo 'not a particle' >"$work/particles/notes.txt"
count=$(find "$work/particles" -name '*.3d' | wc -l)

# Every run in a folder of its own that sees the particles as `particles`, so that the
# transcripts name the same paths.
place() {
  mkdir "$work/$1"
  ln -s "$work/particles" "$work/$1/particles"
}
place single
(cd "$work/single" && mkdir cut && for f in particles/*.3d; do
  n=$(basename "$f" .3d)
  tarvo "$f" "cut/$n.3d" 1 1 99999 >"cut/$n.log" || true
done)
[ "$(find "$work/single/cut" -name '*.log' | wc -l)" = "$count" ] || fail "single runs missed files"
[ ! -e "$work/single/cut/damaged.3d" ] || fail "the damaged input gave an output"

# Compares a recipe's cut/ with the single runs' (bookkeeping files aside).
same_as_single() {
  local name=$1
  (cd "$work/$name/cut" && find . -type f ! -name jobs.tsv ! -name failed.txt | sort) >"$work/$name.files"
  (cd "$work/single/cut" && find . -type f | sort) | diff - "$work/$name.files" ||
    fail "$name: other files than the single runs"
  while IFS= read -r f; do
    cmp -s "$work/single/cut/$f" "$work/$name/cut/$f" || fail "$name: $f differs from the single run"
  done <"$work/$name.files"
}

run_recipe() {
  local name=$1
  local text
  text=$(recipe "$name")
  [ -n "$text" ] || fail "docs/batch.md has no recipe '$name'"
  place "$name"
  set +e
  (cd "$work/$name" && sh -c "$text")
  status=$?
  set -e
}

run_recipe xargs
[ "$status" = 0 ] || fail "xargs recipe ended with $status"
[ "$(cat "$work/xargs/cut/failed.txt")" = "particles/damaged.3d" ] || fail "xargs recipe reported $(cat "$work/xargs/cut/failed.txt")"
same_as_single xargs
echo "xargs -P: $count particles as the single runs"

# One process: the same outputs (no transcripts: a row per file), the damaged file's row with
# its error and the exit status 1, every other row with the voxels kept.
run_recipe tools
[ "$status" = 1 ] || fail "tools recipe ended with $status, not 1 (one failed file)"
(cd "$work/single/cut" && find . -name '*.3d' | sort) >"$work/tools.expected"
(cd "$work/tools/cut" && find . -name '*.3d' | sort) | diff "$work/tools.expected" - ||
  fail "tools: other outputs than the single runs"
while IFS= read -r f; do
  cmp -s "$work/single/cut/$f" "$work/tools/cut/$f" || fail "tools: $f differs from the single run"
done <"$work/tools.expected"
[ "$(($(wc -l <"$work/tools/cut/cut.csv") - 1))" = "$count" ] || fail "tools: not a row per particle"
failed=$(awk -F, 'NR > 1 && $NF != "" { print $1 }' "$work/tools/cut/cut.csv")
[ "$failed" = "particles/damaged.3d" ] || fail "tools rows name failed files '$failed'"
[ "$(awk -F, 'NR > 1 && $NF == "" && $3 > 0' "$work/tools/cut/cut.csv" | wc -l)" = "$((count - 1))" ] ||
  fail "tools: rows without the voxels kept"
echo "tarvo-tools cut --out-dir: $count particles as the single runs"

# The job array: four tasks at once, each given its number as Slurm does.
text=$(recipe slurm)
[ -n "$text" ] || fail "docs/batch.md has no recipe 'slurm'"
place slurm
printf '%s\n' "$text" >"$work/cut-array.sh"
pids=()
for k in 0 1 2 3; do
  (cd "$work/slurm" && SLURM_ARRAY_TASK_ID=$k SLURM_ARRAY_TASK_COUNT=4 SLURM_CPUS_PER_TASK=2 sh "$work/cut-array.sh") &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a Slurm task failed"; done
[ "$(cat "$work/slurm/cut/failed.txt")" = "particles/damaged.3d" ] || fail "Slurm tasks reported $(cat "$work/slurm/cut/failed.txt")"
same_as_single slurm
echo "Slurm job array of 4 tasks: $count particles as the single runs"

if ! command -v parallel >/dev/null; then
  echo "GNU parallel is not installed: its recipes not tried"
  exit 0
fi
# parallel's status is the number of failed runs; the job log names the failed one.
check_job_log() {
  local name=$1
  [ "$status" = 1 ] || fail "$name recipe ended with $status, not 1 (one failed run)"
  failed=$(awk -F'\t' 'NR > 1 && $7 != 0 { print $9 }' "$work/$name/cut/jobs.tsv")
  [[ "$failed" == "tarvo particles/damaged.3d "* ]] || fail "$name job log names failed runs '$failed'"
  [ "$(($(wc -l <"$work/$name/cut/jobs.tsv") - 1))" = "$count" ] || fail "$name job log lacks runs"
}
run_recipe parallel
check_job_log parallel
same_as_single parallel
echo "GNU parallel: $count particles as the single runs"

printf '%s\n' '#!/bin/sh' \
  '# Stands in for ssh: skips the options and the host name, runs the command here.' \
  'while [ $# -gt 0 ]; do case "$1" in -l|-p|-o) shift 2;; -*) shift;; *) break;; esac; done' \
  'shift; [ "$1" = "--" ] && shift' \
  '# sshd gives the command the login shell in SHELL; parallel'"'"'s remote wrapper runs it with that.' \
  'SHELL=$(getent passwd "$(id -u)" | cut -d: -f7); export SHELL=${SHELL:-/bin/sh}' \
  'exec sh -c "$*"' >"$work/ssh"
chmod +x "$work/ssh"
export PARALLEL_SSH=$work/ssh
# parallel places `--workdir .` relative to HOME, which a login always has.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
run_recipe sshlogin
check_job_log sshlogin
hosts=$(awk -F'\t' 'NR > 1 { print $2 }' "$work/sshlogin/cut/jobs.tsv" | sort -u | tr '\n' ' ')
[ "$hosts" = ": node1 node2 " ] || fail "runs went to '$hosts', not to both machines and this one"
same_as_single sshlogin
echo "GNU parallel --sshlogin (stand-in ssh): $count particles as the single runs, on hosts $hosts"
