#!/usr/bin/env bash
# run_pytest.sh DNM BUILT WHAT TESTS [MODULE...]: runs the pytest file or folder TESTS against dnm
# with Debian's /usr/bin/python3 (whose packages are clients nobody here wrote); exits 77
# (skipped) with the reason where dnm was built without WHAT (BUILT is not a true CMake value) or
# the interpreter lacks pytest or a MODULE. WHAT names the library and its need-packages.sh group,
# as "libmodbus:modbus".
set -euo pipefail
python=/usr/bin/python3
library=${3%%:*}
group=${3##*:}
case "${2:-}" in
  1|ON|TRUE|YES|Y|on|true|yes) ;;
  *) echo "SKIPPED: dnm was built without $library (scripts/need-packages.sh $group installs it)"
     exit 77 ;;
esac
for module in pytest "${@:5}"; do
  if ! "$python" -c "import $module" 2>/dev/null; then
    echo "SKIPPED: $python has no $module (scripts/need-packages.sh python $group installs it)"
    exit 77
  fi
done
export DNM_TOOL="$1"
exec "$python" -m pytest -q -p no:cacheprovider -rs "$4"
