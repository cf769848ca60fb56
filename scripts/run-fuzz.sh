#!/usr/bin/env bash
# Installs clang where it is missing (scripts/need-packages.sh), builds the fuzz targets with it
# and runs each for a bounded time (default 30 s; first argument in seconds), starting from the
# seed corpus in fuzz/corpus. A finding stops the run with the input that caused it saved in the
# build folder. For a long run:
#   scripts/run-fuzz.sh 3600
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-30}"
build="$root/build-fuzz"
bash "$root/scripts/need-packages.sh" build fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDNM_FUZZ=ON -DDNM_BUILD_TESTS=OFF -DDNM_BUILD_BENCH=OFF >/dev/null
targets=(fuzz_io_reassembly fuzz_poll_answer fuzz_msg_buffer fuzz_can_text fuzz_network_line fuzz_explicit_reassembly
  fuzz_receive_routing fuzz_netmgmt_frames fuzz_shared_records fuzz_scan_list fuzz_web_request)
cmake --build "$build" -j2 --target "${targets[@]}"
export ASAN_OPTIONS="detect_leaks=0 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
# Two targets at a time, one a core; each writes its figures or its finding to its own file.
fuzz() {
  local target=$1 corpus="$build/corpus/$1" log="$build/$1.log"
  mkdir -p "$corpus"
  local dirs=("$corpus")
  [ -d "$root/fuzz/corpus/$target" ] && dirs+=("$root/fuzz/corpus/$target")
  if (cd "$build" && "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 \
      "${dirs[@]}" >"$log" 2>&1); then
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "$log" >"$log.result"
  else
    { tail -40 "$log"; echo "$target: the finding above; its input is saved in $build"; } \
      >"$log.finding"
  fi
}
rm -f "$build"/*.log.result "$build"/*.log.finding
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  fuzz "$target" &
done
wait
status=0
for target in "${targets[@]}"; do
  echo "== $target ($seconds s)"
  if [ -f "$build/$target.log.result" ]; then
    cat "$build/$target.log.result"
  else
    cat "$build/$target.log.finding" 2>/dev/null || echo "$target: ended without its figures"
    status=1
  fi
done
exit "$status"
