#!/usr/bin/env bash
# run_api_tests.sh DNM HTTP: runs the web view's API tests (no browser) with Debian's
# /usr/bin/python3; exits 77 (skipped) with the reason where dnm was built without cpp-httplib
# (HTTP is not a true CMake value) or the interpreter lacks pytest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
case "${2:-}" in
  1|ON|TRUE|YES|Y|on|true|yes) ;;
  *) echo "SKIPPED: dnm was built without cpp-httplib (scripts/need-packages.sh http installs it)"
     exit 77 ;;
esac
if ! "$python" -c "import pytest" 2>/dev/null; then
  echo "SKIPPED: $python has no pytest (scripts/need-packages.sh python installs python3-pytest)"
  exit 77
fi
export DNM_TOOL="$1"
exec "$python" -m pytest -q -p no:cacheprovider -rs "$here/test_api.py"
