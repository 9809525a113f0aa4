#!/usr/bin/env bash
# The README and .ci/run agree:
#   - .ci/run runs the README's test command and its arm64 command as they stand;
#   - the README's set-up line names exactly the packages that the quick start, the test command
#     and .ci/run install: none missing, none that nothing installs.
# Usage: readme_ci_test.sh SOURCE_DIR
set -euo pipefail
src=$1
readme=$src/README.md ci=$src/.ci/run
source "$src/tests/script_support.sh"
block() { readme_block "$readme" "$1"; }
# The packages of every `apt-get install` in the text: the words after `install` up to the end
# of that command, options left out.
packages() {
  grep -o 'apt-get install[^&;)|]*' | sed 's/^apt-get install//' | tr ' ' '\n' | grep -v '^-' | grep -v '^$' | sort -u
}

for mark in "ci: test command" "ci: arm64"; do
  command=$(block "$mark")
  [ -n "$command" ] || fail "README has no block marked '$mark'"
  [ "$(printf '%s\n' "$command" | wc -l)" = 1 ] || fail "the block '$mark' is not one line"
  grep -qF -- "$command" "$ci" || fail ".ci/run does not run the README's '$mark' as it stands: $command"
done

setup=$(block "set-up: every package" | packages)
[ -n "$setup" ] || fail "README's set-up line names no package"
used=$({ block "quick start"; block "ci: test command"; cat "$ci"; } | packages)
diff <(echo "$setup") <(echo "$used") >/dev/null || {
  echo "set-up line (<) against what the commands and .ci/run install (>):"
  diff <(echo "$setup") <(echo "$used") || true
  fail "README's set-up line and the installs disagree"
}
echo "README and .ci/run agree: test and arm64 commands, $(echo "$setup" | wc -l) packages"
