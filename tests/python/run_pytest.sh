#!/usr/bin/env bash
# run_pytest.sh [SANITIZER]: runs the Python package's tests with the first
# Python that has pytest and python-can, else the first that has pytest (the
# python-can tests then skip); exits 77 (skipped) with the reason where none has,
# or for a sanitizer build, whose instrumented libraries a Python interpreter
# cannot load.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${1:-}" ]; then
  echo "SKIPPED: a Python interpreter cannot load the libraries built with the $1 sanitizer"
  exit 77
fi
for modules in 'pytest, can' pytest; do
  for python in python3 /usr/bin/python3; do
    if "$python" -c "import $modules" 2>/dev/null; then
      exec "$python" -m pytest -q -p no:cacheprovider -rs "$here"
    fi
  done
done
echo "SKIPPED: no Python here has pytest (scripts/need-packages.sh python installs python3-pytest and python3-can)"
exit 77
