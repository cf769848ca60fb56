# Sourced by the run_tests.sh of dnm run's servers: the checks that skip (exit 77, the reason on
# stdout) a run whose tools are missing.
python=/usr/bin/python3

# built_with VALUE LIBRARY PACKAGES: unless VALUE is a true CMake value.
built_with() {
  case "$1" in
    1|ON|TRUE|YES|Y|on|true|yes) ;;
    *) echo "SKIPPED: dnm was built without $2 (scripts/need-packages.sh $3 installs it)"
       exit 77 ;;
  esac
}

# python_with PACKAGES MODULE...: unless $python has every module.
python_with() {
  local packages=$1 module
  shift
  for module in "$@"; do
    if ! "$python" -c "import $module" 2>/dev/null; then
      echo "SKIPPED: $python has no $module (scripts/need-packages.sh $packages installs it)"
      exit 77
    fi
  done
}
