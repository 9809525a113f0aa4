# Shared by the shell tests (sourced): failures, the build's cache, marked blocks of the README and docs/.
#   fail MESSAGE                  print FAIL: MESSAGE and exit 1
#   cache_value BUILD_DIR NAME    a value from BUILD_DIR/CMakeCache.txt
#   marked_block FILE MARK        the fenced block after the line `<!-- MARK -->` in a Markdown FILE

fail() { echo "FAIL: $*" >&2; exit 1; }

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

marked_block() {
  awk -v mark="<!-- $2 -->" '
    $0 == mark { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$1"
}
