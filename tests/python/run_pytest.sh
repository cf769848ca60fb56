#!/usr/bin/env bash
# run_pytest.sh [SANITIZER [PYTHON]]: runs the Python package's tests with PYTHON (the interpreter
# the build found) when it has pytest and python-can, else with the first of PYTHON, python3 and
# /usr/bin/python3 that has both, else with the first that has pytest (the python-can tests then
# skip), and says which one it took and why; exits 77 (skipped) with the reason where none has
# pytest, or for a sanitizer build, whose instrumented libraries a Python interpreter cannot load.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${1:-}" ]; then
  echo "SKIPPED: a Python interpreter cannot load the libraries built with the $1 sanitizer"
  exit 77
fi
found="${2:-}"
candidates=()
for python in "$found" python3 /usr/bin/python3; do
  path=$(command -v "$python" 2>/dev/null) || continue
  [[ " ${candidates[*]} " == *" $path "* ]] || candidates+=("$path")
done
for modules in 'pytest, can' pytest; do
  for python in "${candidates[@]}"; do
    if "$python" -c "import $modules" 2>/dev/null; then
      version=$("$python" -c 'import sys; print(sys.version.split()[0])')
      if [ "$python" = "$(command -v "$found" 2>/dev/null)" ]; then
        why="the interpreter the build found"
      elif [ -z "$found" ]; then
        why="the build found no interpreter"
      else
        why="the build found $found, which lacks pytest or python-can"
      fi
      [ "$modules" = pytest ] && why="$why; without python-can, whose tests skip"
      echo "python: $python (Python $version; $why)"
      exec "$python" -m pytest -q -p no:cacheprovider -rs "$here"
    fi
  done
done
echo "SKIPPED: no Python here has pytest (${candidates[*]} tried; scripts/need-packages.sh python" \
  "installs python3-pytest and python3-can for /usr/bin/python3; another interpreter needs" \
  "pip install pytest python-can)"
exit 77
