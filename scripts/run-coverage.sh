#!/usr/bin/env bash
# Builds everything with gcov's instrumentation into build-coverage, runs the whole test suite and
# prints gcovr's line and branch coverage of the library (src/), the virtual card (candriver/) and
# the simulator (sim/), each and together.
#   scripts/run-coverage.sh [--html]
# With --html it also writes a browsable report to build-coverage/coverage/index.html.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-coverage"
html=0
[ "${1:-}" != --html ] || html=1
bash "$root/scripts/need-packages.sh" build coverage --optional socketcan abi python
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDNM_COVERAGE=ON \
  -DDNM_BUILD_BENCH=OFF -DDNM_WERROR="${DNM_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j2
# Counters of an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
unset HYPERTRACE_FILE VELKCAN_NETWORK
(cd "$build" && ctest --output-on-failure -j"${DNM_TEST_JOBS:-4}" --timeout 300)

# gcov runs once, into a tracefile; the summaries per directory are read from it. The tools
# build a few of the card's files again; their counters are left out, as two gcov runs on one
# source file would write the same report file at once.
trace="$build/coverage.json"
filters=(--filter "$root/src/" --filter "$root/candriver/" --filter "$root/sim/")
gcovr --root "$root" --object-directory "$build" "${filters[@]}" --exclude-throw-branches \
  --exclude-directories "$build/tools/" --gcov-ignore-parse-errors -j2 --json "$trace" >/dev/null
for dir in src candriver sim; do
  echo "coverage of $dir/:"
  gcovr --root "$root" --add-tracefile "$trace" --filter "$root/$dir/" --print-summary --txt /dev/null
done
echo "coverage of src/, candriver/ and sim/ together:"
if [ "$html" = 1 ]; then
  mkdir -p "$build/coverage"
  gcovr --root "$root" --add-tracefile "$trace" --print-summary \
    --html-details "$build/coverage/index.html" --html-title "VELKCANDNM test coverage"
  echo "HTML report: $build/coverage/index.html"
else
  gcovr --root "$root" --add-tracefile "$trace" --print-summary --txt /dev/null
fi
