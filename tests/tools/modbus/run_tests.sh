#!/usr/bin/env bash
# run_tests.sh DNM MODBUS: runs the Modbus TCP tests of dnm run with Debian's /usr/bin/python3 and
# its pymodbus (a client nobody here wrote); exits 77 (skipped) with the reason where dnm was built
# without libmodbus (MODBUS is not a true CMake value) or the interpreter lacks pytest or pymodbus.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
case "${2:-}" in
  1|ON|TRUE|YES|Y|on|true|yes) ;;
  *) echo "SKIPPED: dnm was built without libmodbus (scripts/need-packages.sh modbus installs it)"
     exit 77 ;;
esac
for module in pytest pymodbus; do
  if ! "$python" -c "import $module" 2>/dev/null; then
    echo "SKIPPED: $python has no $module (scripts/need-packages.sh python modbus installs" \
      "python3-pytest and python3-pymodbus)"
    exit 77
  fi
done
export DNM_TOOL="$1"
exec "$python" -m pytest -q -p no:cacheprovider -rs "$here"
