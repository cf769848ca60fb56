#!/usr/bin/env bash
# The manual page made at build time renders without warnings (groff, else
# man), docs/dnm.1 is that same page, and its SYNOPSIS names every option
# that a command's usage in DNM's --help names. Exits 77 (skipped) with the
# reason when neither renderer is installed.
set -uo pipefail
page=$1 kept=$2 dnm=$3
if ! cmp -s "$page" "$kept"; then
  echo "docs/dnm.1 differs from the page made of docs/dnm.1.md; copy $page to docs/dnm.1"
  exit 1
fi
if command -v groff >/dev/null; then
  render=(groff -man -Tutf8 -ww -P-cbou)
elif command -v man >/dev/null; then
  render=(man -l)
else
  echo "skipped: neither groff nor man is installed to render $page"
  exit 77
fi
text=$("${render[@]}" "$page" 2>"$page.warnings") || { cat "$page.warnings"; exit 1; }
if [ -s "$page.warnings" ]; then
  echo "${render[*]} warns:"; cat "$page.warnings"; exit 1
fi
for heading in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS "JSON OUTPUT" "EXIT STATUS" EXAMPLES; do
  grep -q "^$heading" <<<"$text" || { echo "no section $heading in the rendered page"; exit 1; }
done
grep -q -- "--readdress" <<<"$text" || { echo "an option is missing from the rendered page"; exit 1; }
synopsis=$(sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' <<<"$text")
for command in scan get set io status faulted simulate monitor run; do
  usage=$("$dnm" "$command" --help | awk 'NF == 0 { exit } { print }')
  for option in $(grep -o -- '--[a-z-]*' <<<"$usage"); do
    grep -q -- "$option\b" <<<"$synopsis" ||
      { echo "the SYNOPSIS of dnm $command lacks $option"; exit 1; }
  done
done
