#!/usr/bin/env bash
# need_packages_dry_run.sh SCRIPT: a dry run of the package check names a package that is not
# installed as one it would install, and installs nothing: apt-get and sudo here only leave a mark.
set -euo pipefail
command -v dpkg >/dev/null || { echo "SKIPPED: no dpkg here"; exit 77; }
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
for tool in apt-get sudo; do
  printf '#!/bin/sh\ntouch "%s/called"\n' "$fake" >"$fake/$tool"
  chmod +x "$fake/$tool"
done
out=$(PATH="$fake:$PATH" DNM_DRY_RUN=1 bash "$1" dnm-surely-missing-package)
echo "$out"
grep -q "would install dnm-surely-missing-package" <<<"$out"
[ ! -e "$fake/called" ] || { echo "the dry run called apt-get or sudo"; exit 1; }
