# Sourced by the scripts that run dnm's pytest suites with Debian's /usr/bin/python3: each check
# exits 77 (skipped) with the reason. They find pytest_support.py on PYTHONPATH.
python=/usr/bin/python3
export PYTHONPATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)${PYTHONPATH:+:$PYTHONPATH}"

# require_built VALUE WHAT: VALUE is a true CMake value, else dnm was built without WHAT.
require_built() {
  case "$1" in
    1|ON|TRUE|YES|Y|on|true|yes) ;;
    *) echo "SKIPPED: dnm was built without $2"
       exit 77 ;;
  esac
}

# require_modules GROUPS MODULE...: the interpreter has each module, which
# scripts/need-packages.sh GROUPS installs.
require_modules() {
  local groups=$1 module
  shift
  for module in "$@"; do
    if ! "$python" -c "import $module" 2>/dev/null; then
      echo "SKIPPED: $python has no $module (scripts/need-packages.sh $groups installs it)"
      exit 77
    fi
  done
}
