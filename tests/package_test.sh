#!/usr/bin/env bash
# `cpack -G DEB` of the build, then the packages as apt and dpkg see them:
#   - tarvo_<version>_<arch>.deb and tarvo-dev_<version>_<arch>.deb, nothing else;
#   - tarvo's control fields: Version from project(), the build's architecture, Depends on the
#     C and C++ runtime and, with tarvo-tools, libpng16-16, libtiff6 and zlib1g;
#   - the files each package holds, and none twice;
#   - python3-tarvo (when built) Depends on numpy, the C++ runtime, python3, libtiff6 and zlib1g;
#   - the unpacked tarvo cuts the sample grain to the bytes of the built one;
#   - apt would install tarvo's package on this machine (a simulation; nothing is installed).
# Usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION CPACK [RUNNER...]
# Exits 77 (skipped) where Debian's packaging tools are missing.
set -euo pipefail
build=$1 src=$2 version=$3 cpack=$4
shift 4
runner=("$@")

for tool in dpkg-deb dpkg-shlibdeps file apt-get; do
  command -v "$tool" >/dev/null || { echo "no $tool: not a Debian machine with dpkg-dev and file"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$src/tests/script_support.sh"

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$arch" ] || arch=$(dpkg --print-architecture)
deb=$work/out/tarvo_${version}_${arch}.deb
dev=$work/out/tarvo-dev_${version}_${arch}.deb
python=$(cache_value "$build" TARVO_BUILD_PYTHON)
made="./tarvo-dev_${version}_${arch}.deb ./tarvo_${version}_${arch}.deb "
[ "$python" = ON ] && made="./python3-tarvo_${version}_${arch}.deb $made"
[ "$(cd "$work/out" && ls ./*.deb | sort | tr '\n' ' ')" = "$made" ] ||
  fail "cpack made $(cd "$work/out" && ls ./*.deb), not $made"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$deb" Package)" = tarvo ] || fail "package name $(field "$deb" Package)"
[ "$(field "$deb" Version)" = "$version" ] || fail "version $(field "$deb" Version), not $version"
[ "$(field "$deb" Architecture)" = "$arch" ] || fail "architecture $(field "$deb" Architecture), not $arch"
depends=$(field "$deb" Depends)
tools=$(cache_value "$build" TARVO_BUILD_TOOLS)
need=(libc6 libstdc++6 libgcc-s1)
[ "$tools" = ON ] && need+=(libpng16-16 libtiff6 zlib1g)
for p in "${need[@]}"; do
  [[ ", $depends," == *", $p "* ]] || fail "Depends '$depends' lacks $p"
done
[ "$tools" = ON ] || [[ "$depends" != *libpng* ]] || fail "Depends '$depends' names libpng without tarvo-tools"

# Contents: paths only (dpkg-deb -c prints permissions, owner, size, date, path).
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort >"$work/tarvo.files"
expect=(./usr/bin/tarvo ./usr/share/man/man1/tarvo.1)
[ "$tools" = ON ] && expect+=(./usr/bin/tarvo-tools ./usr/share/man/man1/tarvo-tools.1)
printf '%s\n' "${expect[@]}" | sort | diff - "$work/tarvo.files" || fail "tarvo's package holds other files"
dpkg-deb -c "$dev" | awk '{print $6}' | grep -v '/$' | sort >"$work/dev.files"
for f in ./usr/lib/libtarvo.a ./usr/lib/cmake/tarvo/tarvoConfig.cmake ./usr/lib/cmake/tarvo/tarvoConfigVersion.cmake; do
  grep -qx "$f" "$work/dev.files" || fail "tarvo-dev lacks $f"
done
# The public face alone: the library's internal headers stay in the source tree.
face=$(cd "$src/include" && ls tarvo/*.h tarvo/*.h.in | sed -e 's/\.in$//' -e 's#^#./usr/include/#' | sort)
grep '^./usr/include/' "$work/dev.files" | diff <(echo "$face") - || fail "tarvo-dev's headers are not the public face"
[ -z "$(comm -12 "$work/tarvo.files" "$work/dev.files")" ] || fail "both packages hold the same file"

dpkg-deb -x "$deb" "$work/root"
mkdir "$work/built" "$work/unpacked"
(cd "$work/built" && "${runner[@]}" "$build/tarvo" "$src/data/grain160.3d" cut.3d 1 1 99999 >log)
(cd "$work/unpacked" && "${runner[@]}" "$work/root/usr/bin/tarvo" "$src/data/grain160.3d" cut.3d 1 1 99999 >log)
cmp "$work/built/cut.3d" "$work/unpacked/cut.3d" || fail "the packaged tarvo writes other bytes"
cmp "$work/built/log" "$work/unpacked/log" || fail "the packaged tarvo prints another transcript"

# Whether apt finds every dependency; for the build machine's architecture only.
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  apt-get install --simulate --no-download "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt would not install $deb"; }
fi
# Packages made under a permissive umask (000) hold no folder or file that others may write.
(umask 000 && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out0" >"$work/cpack0.log" 2>&1) ||
  { cat "$work/cpack0.log"; fail "cpack -G DEB under umask 000 failed"; }
for package in "$work"/out0/*.deb; do
  writable=$(dpkg-deb -c "$package" | awk 'substr($1, 1, 1) != "l" && (substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w")')
  [ -z "$writable" ] || fail "$(basename "$package") made under umask 000 holds entries others may write: $writable"
done

# The Python package: Debian's python3 imports it from the unpacked tree alone (no compiler, no
# build tree) and cuts as the program does; apt would install it with its dependencies.
if [ "$python" = ON ]; then
  pydeb=$work/out/python3-tarvo_${version}_${arch}.deb
  pydepends=$(field "$pydeb" Depends)
  for p in python3-numpy libstdc++6 "python3 (>=" libtiff6 zlib1g; do  # libtiff, zlib: read_volume, write_volume
    [[ "$pydepends" == *"$p"* ]] || fail "python3-tarvo's Depends '$pydepends' lacks $p"
  done
  dpkg-deb -x "$pydeb" "$work/pyroot"
  site=$(ls -d "$work"/pyroot/usr/lib/python3/dist-packages)
  [ -f "$site/tarvo/__init__.py" ] && ls "$site"/tarvo/_tarvo*.so >/dev/null || fail "python3-tarvo lacks the package's files"
  (cd "$work/unpacked" && env -u PYTHONPATH PYTHONNOUSERSITE=1 /usr/bin/python3 -S -c "
import sys
sys.path[:0] = ['$site'] + [p for p in ('/usr/lib/python3/dist-packages',)]
import tarvo
assert tarvo.__file__.startswith('$site'), tarvo.__file__
v = tarvo.cut(tarvo.read('$src/data/grain160.3d').voxels, '1', '1', '99999')
tarvo.write('py-cut.3d', v)
") || fail "the unpacked python3-tarvo does not import or cut"
  cmp "$work/built/cut.3d" "$work/unpacked/py-cut.3d" || fail "python3-tarvo writes other bytes than tarvo"
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    apt-get install --simulate --no-download "$pydeb" >"$work/apt-py.log" 2>&1 || { cat "$work/apt-py.log"; fail "apt would not install $pydeb"; }
  fi
fi
echo "$(basename "$deb"): Depends: $depends; $(wc -l <"$work/tarvo.files") files; $(basename "$dev"): $(wc -l <"$work/dev.files") files"
