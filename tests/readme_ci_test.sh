#!/usr/bin/env bash
# The README, docs/ and .ci/run agree:
#   - .ci/run runs the README's test command and the arm64 command of docs/building.md as they
#     stand;
#   - the README's set-up line names exactly the packages that the quick start, the test command
#     and .ci/run install: none missing, none that nothing installs;
#   - every relative link of the README and docs/ leads to a file that exists, and to a heading
#     of it where it names one.
# Usage: readme_ci_test.sh SOURCE_DIR
set -euo pipefail
src=$1
readme=$src/README.md ci=$src/.ci/run
source "$src/tests/script_support.sh"
# The packages of every `apt-get install` in the text: the words after `install` up to the end
# of that command, options left out.
packages() {
  grep -o 'apt-get install[^&;)|]*' | sed 's/^apt-get install//' | tr ' ' '\n' | grep -v '^-' | grep -v '^$' | sort -u
}

for place in "README.md:ci: test command" "docs/building.md:ci: arm64"; do
  file=${place%%:*} mark=${place#*:}
  command=$(marked_block "$src/$file" "$mark")
  [ -n "$command" ] || fail "$file has no block marked '$mark'"
  [ "$(printf '%s\n' "$command" | wc -l)" = 1 ] || fail "the block '$mark' is not one line"
  grep -qF -- "$command" "$ci" || fail ".ci/run does not run the '$mark' of $file as it stands: $command"
done

setup=$(marked_block "$readme" "set-up: every package" | packages)
[ -n "$setup" ] || fail "README's set-up line names no package"
used=$({ marked_block "$readme" "quick start"; marked_block "$readme" "ci: test command"; cat "$ci"; } | packages)
diff <(echo "$setup") <(echo "$used") >/dev/null || {
  echo "set-up line (<) against what the commands and .ci/run install (>):"
  diff <(echo "$setup") <(echo "$used") || true
  fail "README's set-up line and the installs disagree"
}

# A heading's anchor as GitHub makes it: lower case, punctuation dropped, spaces as hyphens.
anchors() {
  awk '/^```/ { code = !code; next } !code && /^#+ / { sub(/^#+ /, ""); print }' "$1" |
    tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}
links=0
for page in "$readme" "$src"/docs/*.md; do
  while IFS= read -r link; do
    target=${link%%#*} anchor=
    [[ "$link" == *"#"* ]] && anchor=${link#*#}
    file=$page
    [ -n "$target" ] && file=$(dirname "$page")/$target
    [ -e "$file" ] || fail "${page#"$src"/} links to $link, which does not exist"
    [ -z "$anchor" ] || anchors "$file" | grep -qxF -- "$anchor" ||
      fail "${page#"$src"/} links to $link, but ${file#"$src"/} has no such heading"
    links=$((links + 1))
  done < <(awk '/^```/ { code = !code; next } !code' "$page" | grep -o '\]([^)]*)' |
             sed 's/^](//; s/)$//' | grep -v '^[a-z]*:' || true)
done
echo "README, docs and .ci/run agree: test and arm64 commands, $(echo "$setup" | wc -l) packages, $links links"
