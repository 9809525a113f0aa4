#!/usr/bin/env bash
# Builds the shape form fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it on the committed corpus.
#
#   fuzz/run-fuzzer.sh [seconds] [extra libFuzzer options...]
#
# New inputs go to build-fuzz/new-corpus (merge the small interesting ones into fuzz/corpus with
# -merge=1); a crash is written as build-fuzz/crash-* and can be replayed with
# build/fuzz/shape_form_replay <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true

need=()
for pkg in clang-14 libclang-rt-14-dev cmake; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVO_FUZZER=ON -DTARVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target shape_form_fuzz

mkdir -p build-fuzz/new-corpus
# Headers up to 52 bytes and streams of a few hundred bytes reach every branch; the harness
# refuses dims above 64 before reading.
cd build-fuzz
exec ./fuzz/shape_form_fuzz -max_len=512 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "$@" new-corpus ../fuzz/corpus
