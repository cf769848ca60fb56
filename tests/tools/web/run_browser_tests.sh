#!/usr/bin/env bash
# run_browser_tests.sh DNM HTTP OUTPUT: the browser tests of dnm run's web view (run_pytest.sh with
# Selenium), in headless Chromium, saving the screenshot into OUTPUT; exits 77 (skipped) with the
# reason where Chromium or its driver is missing too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for program in /usr/bin/chromium /usr/bin/chromedriver; do
  if [ ! -x "$program" ]; then
    echo "SKIPPED: no $program (scripts/need-packages.sh browser installs chromium and chromium-driver)"
    exit 77
  fi
done
mkdir -p "$3"
export DNM_WEB_SCREENSHOTS="$3"
exec bash "$here/../run_pytest.sh" "$1" "$2" cpp-httplib:http "$here/test_browser.py" selenium
