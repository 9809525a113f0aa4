#!/usr/bin/env bash
# `cmake --install` into a fresh prefix, then the installed things as a user meets them:
#   - the installed tarvo cuts the sample grain to the bytes and transcript of the built one;
#   - tarvo-tools --version and `version` print the project's version;
#   - every man page renders with `man -l` without a warning and names that version;
#   - a project outside the tree finds the library with find_package(tarvo), and its program
#     cuts the grain to the same bytes as tarvo.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION CMAKE [RUNNER...]
# RUNNER runs target programs in a cross build (qemu-aarch64).
set -euo pipefail
build=$1 src=$2 version=$3 cmake=$4
shift 4
runner=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$src/tests/script_support.sh"

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"
tools=$(cache_value "$build" TARVO_BUILD_TOOLS)

# The same cut from the built and the installed program, each in a folder of its own so that the
# transcripts name the same output.
mkdir "$work/built" "$work/installed" "$work/library"
(cd "$work/built" && "${runner[@]}" "$build/tarvo" "$src/data/grain160.3d" cut.3d 1 1 99999 >log)
(cd "$work/installed" && "${runner[@]}" "$prefix/bin/tarvo" "$src/data/grain160.3d" cut.3d 1 1 99999 >log)
cmp "$work/built/cut.3d" "$work/installed/cut.3d" || fail "installed tarvo writes other bytes"
cmp "$work/built/log" "$work/installed/log" || fail "installed tarvo prints another transcript"

pages=(tarvo)
if [ "$tools" = ON ]; then
  pages+=(tarvo-tools)
  for word in --version version; do
    got=$("${runner[@]}" "$prefix/bin/tarvo-tools" "$word" | head -n 1)
    [ "$got" = "tarvo-tools $version" ] || fail "tarvo-tools $word printed '$got', not 'tarvo-tools $version'"
  done
fi

for page in "${pages[@]}"; do
  file=$prefix/share/man/man1/$page.1
  [ -f "$file" ] || fail "no man page $file"
  MANWIDTH=80 man --warnings -l "$file" >"$work/$page.txt" 2>"$work/$page.warnings"
  [ ! -s "$work/$page.warnings" ] || fail "man $page warns: $(cat "$work/$page.warnings")"
  grep -q "^NAME" "$work/$page.txt" || fail "man $page renders no NAME section"
  grep -q "tarvo $version" "$work/$page.txt" || fail "man $page does not name version $version"
done

# A consumer project, configured as the build was (same compiler, or the same toolchain file).
consumer_args=(-S "$src/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix")
toolchain=$(cache_value "$build" CMAKE_TOOLCHAIN_FILE)
if [ -n "$toolchain" ]; then
  consumer_args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
else
  consumer_args+=(-DCMAKE_CXX_COMPILER="$(cache_value "$build" CMAKE_CXX_COMPILER)")
fi
"$cmake" "${consumer_args[@]}" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "consumer does not configure"; }
"$cmake" --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "consumer does not build"; }
(cd "$work/library" && "${runner[@]}" "$work/consumer/cut_with_library" "$src/data/grain160.3d" cut.3d 1 1 99999)
cmp "$work/built/cut.3d" "$work/library/cut.3d" || fail "the installed library cuts to other bytes than tarvo"

# Under a permissive umask (000) no installed folder or file may be written by others.
prefix0=$work/prefix-umask000
(umask 000 && "$cmake" --install "$build" --prefix "$prefix0" >"$work/install0.log")
writable=$(find "$prefix0" ! -type l -perm /022)
[ -z "$writable" ] || fail "an install under umask 000 leaves these writable by others: $writable"

echo "installed into $prefix: $(cd "$prefix" && find . -type f | wc -l) files; programs, man pages and library agree"
