#!/usr/bin/env bash
# `cpack -G DEB` of the build, then the packages as apt and dpkg see them:
#   - tarvo_<version>_<arch>.deb and tarvo-dev_<version>_<arch>.deb, nothing else;
#   - tarvo's control fields: Version from project(), the build's architecture, Depends on the
#     C and C++ runtime and, with tarvo-tools, libpng16-16;
#   - the files each package holds, and none twice;
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
[ "$(cd "$work/out" && ls ./*.deb | sort | tr '\n' ' ')" = "./tarvo-dev_${version}_${arch}.deb ./tarvo_${version}_${arch}.deb " ] ||
  fail "cpack made $(cd "$work/out" && ls ./*.deb), not tarvo and tarvo-dev $version for $arch"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$deb" Package)" = tarvo ] || fail "package name $(field "$deb" Package)"
[ "$(field "$deb" Version)" = "$version" ] || fail "version $(field "$deb" Version), not $version"
[ "$(field "$deb" Architecture)" = "$arch" ] || fail "architecture $(field "$deb" Architecture), not $arch"
depends=$(field "$deb" Depends)
tools=$(cache_value "$build" TARVO_BUILD_TOOLS)
need=(libc6 libstdc++6 libgcc-s1)
[ "$tools" = ON ] && need+=(libpng16-16)
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
for f in ./usr/include/tarvo/teleso/teleso.h ./usr/include/tarvo/geometry/geometry.h \
         ./usr/include/tarvo/geometry/plane.h ./usr/lib/libteleso.a ./usr/lib/libgeometry.a \
         ./usr/lib/cmake/tarvo/tarvoConfig.cmake ./usr/lib/cmake/tarvo/tarvoConfigVersion.cmake; do
  grep -qx "$f" "$work/dev.files" || fail "tarvo-dev lacks $f"
done
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

echo "$(basename "$deb"): Depends: $depends; $(wc -l <"$work/tarvo.files") files; $(basename "$dev"): $(wc -l <"$work/dev.files") files"
