#!/usr/bin/env bash
# The man page of tarvo-tools is the reference of its command line; the --help texts must not
# drift from it:
#   - the subcommands of `tarvo-tools --help` are the man page's SUBCOMMANDS, in the same order;
#   - each subcommand's usage line is its man entry's synopsis (case and spacing aside);
#   - each subcommand's --help names exactly the options of its man entry;
#   - the shapes `make` accepts (its own refusal lists them) are those of its --help and man entry;
#   - the options of `tarvo-tools --help` are those of the man page's OPTIONS.
# The page is rendered by groff, as `man` shows it, one line a paragraph.
# Usage: help_man_test.sh BUILD_DIR SOURCE_DIR [RUNNER...]
set -euo pipefail
build=$1 src=$2
shift 2
runner=("$@")
source "$src/tests/script_support.sh"

command -v groff >/dev/null || { echo "groff is not installed: the man page cannot be rendered"; exit 77; }
page=$(groff -man -Tascii -P-cbou -rLL=5000n -rHY=0 "$src/man/tarvo-tools.1.in" 2>&1) ||
  fail "groff cannot render man/tarvo-tools.1.in"
tools() { "${runner[@]}" "$build/tarvo-tools" "$@"; }

# One section of the rendered page, without its heading.
section() { awk -v s="$1" '/^[A-Z]/ { inside = ($0 == s); next } inside' <<<"$page"; }
# The entry of one subcommand in SUBCOMMANDS: its synopsis line and its text.
entry() {
  section SUBCOMMANDS | awk -v name="$1" '/^       [^ ]/ { inside = ($1 == name) } inside'
}
options() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u || true; }
# Lower case, no white space: "FILE.3d... [--csv | --json]" and "file.3d ... [--csv|--json]" agree.
squeeze() { tr 'A-Z' 'a-z' | tr -d ' \n'; }
# Two lists that must be equal; both shown when they are not.
same() {
  [ "$2" = "$3" ] && return
  printf '%s (<) against the man page (>):\n' "$1" >&2
  diff <(echo "$2") <(echo "$3") >&2 || true
  fail "$1 and the man page disagree"
}

help_list=$(tools --help | awk '/^Subcommands:/ { on = 1; next } on && NF == 0 { exit } on { print $1 }')
man_list=$(section SUBCOMMANDS | awk '/^       [a-z]/ { print $1 }')
[ -n "$help_list" ] || fail "tarvo-tools --help lists no subcommand"
same "the subcommands of tarvo-tools --help" "$help_list" "$man_list"

for sub in $help_list; do
  text=$(tools "$sub" --help) || fail "tarvo-tools $sub --help failed"
  man=$(entry "$sub")
  usage=$(awk 'NR == 1 { sub(/^Usage: tarvo-tools /, "") } NF == 0 { exit } { print }' <<<"$text" | squeeze)
  same "the usage line of $sub" "$usage" "$(head -n 1 <<<"$man" | squeeze)"
  same "the options of $sub --help" "$(options <<<"$text")" "$(options <<<"$man")"
done

# The shapes: the refusal of an unknown one lists those the program makes, "(sphere, ellipsoid, ...)".
made=$({ tools make no-such-shape 4 /dev/null 2>&1 || true; } | sed -n "s/.*unknown shape 'no-such-shape' (\(.*\))$/\1/p" | tr -d ' ' | tr ',' '\n' | sort)
[ -n "$made" ] || fail "tarvo-tools make does not list its shapes when refusing an unknown one"
help_shapes=$(tools make --help | awk '/^Shapes/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && NF == 0 { exit }' | sort)
same "the shapes of make --help" "$made" "$help_shapes"
# In the man entry a shape is the word before its options: "Shapes: sphere --radius r; ellipsoid ...".
man_shapes=$(entry make | grep -oE '(: |; )[a-z]+ --' | awk '{ print $2 }' | sort)
same "the shapes tarvo-tools make accepts" "$made" "$man_shapes"

same "the options of tarvo-tools --help" "$(tools --help | options)" "$(section OPTIONS | options)"
echo "tarvo-tools --help and the man page agree: $(wc -w <<<"$help_list") subcommands, their usage, options and shapes"
