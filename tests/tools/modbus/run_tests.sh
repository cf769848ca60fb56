#!/usr/bin/env bash
# run_tests.sh DNM MODBUS: runs the Modbus TCP tests of dnm run with Debian's /usr/bin/python3 and
# its pymodbus (a client nobody here wrote); exits 77 (skipped) with the reason where dnm was built
# without libmodbus (MODBUS is not a true CMake value) or the interpreter lacks pytest or pymodbus.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../pytest_support.sh"
require_built "${2:-}" "libmodbus (scripts/need-packages.sh modbus installs it)"
require_modules "python modbus" pytest pymodbus
export DNM_TOOL="$1"
exec "$python" -m pytest -q -p no:cacheprovider -rs "$here"
