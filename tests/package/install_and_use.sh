#!/usr/bin/env bash
# install_and_use.sh BUILD_DIR APP_DIR C_COMPILER SANITIZER PYTHON_DIR
# Installs BUILD_DIR into a temporary prefix, then builds APP_DIR's program
# against that copy with CMake (find_package) and with pkg-config, and runs
# both. The program checks the library's version against the package's and
# that the master found the card driver beside it. Then builds the installed
# examples with their own build file (C11, warnings as errors) and runs one, and
# checks that `man` finds dnm's page under the prefix. Then Python imports the
# installed package, which must load the installed library and declare
# python-can's interface, and pip installs PYTHON_DIR offline, the same
# checked (the Python part is left out under a sanitizer, whose
# libraries Python cannot load, and where python3 or pip is missing). Exits
# 77 (skipped) after the other parts when pkg-config is missing.
set -euo pipefail
build=$1 app=$2 cc=$3 sanitizer=${4:-} python_dir=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# An instrumented library needs an instrumented program.
flags=()
case $sanitizer in
  address) flags=(-fsanitize=address,undefined) ;;
  thread) flags=(-fsanitize=thread) ;;
esac

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for file in libVELKCANDNM.so libVELKCAN.so libHYPERTRACE.so; do
  found=$(find "$prefix" -name "$file")
  [ -n "$found" ] || { echo "not installed: $file"; exit 1; }
done
test -f "$prefix/include/VELKCANDNM.h" -a -f "$prefix/include/VELKCAN.h"
soname=$(find "$prefix" -name 'libVELKCANDNM.so.*.*')
libdir=$(dirname "$soname")
[ -n "$soname" ] || { echo "no versioned libVELKCANDNM.so"; exit 1; }

echo "== CMake: find_package(VELKCANDNM)"
cmake -S "$app" -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="${flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" >"$work/cmake.log"
cmake --build "$work/with-cmake" >"$work/cmake-build.log"
"$work/with-cmake/velkcandnm_app"

echo "== the installed examples, built with their CMakeLists.txt"
examples=$(dirname "$(find "$prefix" -path '*/examples/polled_io.c')")
cmake -S "$examples" -B "$work/examples" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror ${flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" \
  >"$work/examples.log"
cmake --build "$work/examples" >"$work/examples-build.log" || { cat "$work/examples-build.log"; exit 1; }
VELKCAN_NETWORK=$examples/polled_io-network.txt "$work/examples/example_polled_io" >/dev/null
test -f "$prefix/share/man/man1/dnm.1" || { echo "dnm.1 is not in share/man/man1"; exit 1; }

# PYTHONPATH=DIR python_uses LIBRARY: the package in DIR loads LIBRARY, has its version and
# declares python-can's interface.
python_uses() {
  python3 - "$1" <<'PYTHON'
import sys, velkcandnm
path = velkcandnm.raw.library_path()
assert path == sys.argv[1], f"loaded {path}"
assert velkcandnm.version() == float(velkcandnm.__version__), velkcandnm.version()
from importlib.metadata import entry_points
plugins = [e.value for e in entry_points().select(group="can.interface", name="velkcan")]
assert plugins == ["velkcandnm.can_plugin:VelkcanBus"], plugins  # python-can's interface
print("the Python package loads", path)
PYTHON
}
echo "== Python: the installed package, and pip install of the source"
if [ -n "$sanitizer" ] || ! command -v python3 >/dev/null; then
  echo "SKIPPED the Python part: ${sanitizer:+a $sanitizer sanitizer build}${sanitizer:-no python3}"
else
  site=$(dirname "$(dirname "$(find "$prefix" -path '*site-packages/velkcandnm/__init__.py')")")
  (unset VELKCANDNM_LIBRARY; PYTHONPATH=$site python_uses "$libdir/libVELKCANDNM.so.1")
  if python3 -m pip --version >/dev/null 2>&1; then
    python3 -m pip install -q --no-index --disable-pip-version-check --root-user-action=ignore \
      --target "$work/pip" "$python_dir"
    PYTHONPATH=$work/pip VELKCANDNM_LIBRARY=$libdir python_uses "$libdir/libVELKCANDNM.so.1"
  else
    echo "SKIPPED pip install: python3 has no pip"
  fi
fi

echo "== pkg-config velkcandnm"
if ! command -v pkg-config >/dev/null; then
  echo "SKIPPED: pkg-config is not installed; the pkg-config part was not run"
  exit 77
fi
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name velkcandnm.pc)")
version=$(pkg-config --modversion velkcandnm)
libdir=$(pkg-config --variable=libdir velkcandnm)
# shellcheck disable=SC2046  # the flags are words
"$cc" "${flags[@]}" -DEXPECTED_VERSION="\"$version\"" "$app/app.c" -o "$work/with-pkg-config" \
  $(pkg-config --cflags --libs velkcandnm) -Wl,-rpath,"$libdir"
"$work/with-pkg-config"
