# Shared by the shell tests (sourced): failures, the build's cache, blocks of the README.
#   fail MESSAGE                  print FAIL: MESSAGE and exit 1
#   cache_value BUILD_DIR NAME    a value from BUILD_DIR/CMakeCache.txt
#   readme_block README MARK      the fenced block after the line `<!-- MARK -->`

fail() { echo "FAIL: $*" >&2; exit 1; }

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

readme_block() {
  awk -v mark="<!-- $2 -->" '
    $0 == mark { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$1"
}
