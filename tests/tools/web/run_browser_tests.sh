#!/usr/bin/env bash
# run_browser_tests.sh DNM HTTP OUTPUT: runs the browser tests of dnm run's web view with Debian's
# /usr/bin/python3, Selenium and headless Chromium, saving the screenshot into OUTPUT; exits 77
# (skipped) with the reason where dnm was built without the web view (HTTP is not a true CMake
# value) or a package is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../pytest_support.sh"
require_built "${2:-}" "cpp-httplib (scripts/need-packages.sh http installs it)"
require_modules "python browser" pytest selenium
for program in /usr/bin/chromium /usr/bin/chromedriver; do
  if [ ! -x "$program" ]; then
    echo "SKIPPED: no $program (scripts/need-packages.sh browser installs chromium and chromium-driver)"
    exit 77
  fi
done
mkdir -p "$3"
export DNM_TOOL="$1" DNM_WEB_SCREENSHOTS="$3"
exec "$python" -m pytest -q -p no:cacheprovider -rs "$here/test_browser.py"
