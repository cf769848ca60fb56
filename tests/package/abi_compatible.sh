#!/usr/bin/env bash
# abi_compatible.sh LIB_DIR ROOT: libVELKCANDNM.so keeps the interface of its baseline, and the
# check tells an addition (passes, reported) from a removal or a changed argument (fail), on
# copies of the baseline with one export taken out or with one argument widened.
set -uo pipefail
lib_dir=$1 root=$2
check="$root/scripts/check-abi.sh" baseline="$root/src/api/libVELKCANDNM.abi"
command -v abidiff >/dev/null || { echo "SKIPPED: abidiff is missing (abigail-tools)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed -e "/<elf-symbol name='DNM_GetPollPeriodAchieved'/d" \
    -e "/<function-decl name='DNM_GetPollPeriodAchieved'/,/<\/function-decl>/d" \
    "$baseline" >"$work/without-one.abi"
type_id() { sed -n "s/.*<typedef-decl name='$1' .* id='\([^']*\)'.*/\1/p" "$baseline"; }
sed "/<function-decl name='DNM_Online'/,/<\/function-decl>/ s/'$(type_id uint8_t)' name='mac'/'$(type_id uint32_t)' name='mac'/" \
    "$baseline" >"$work/wider-mac.abi"
cmp -s "$baseline" "$work/wider-mac.abi" && { echo "the widened copy is the baseline"; exit 1; }

failed=0
expect() {  # OUTCOME(pass|fail) REPORT_TEXT OLD NEW
  local out status=0
  out=$(DNM_ABI_BASELINE="$3" bash "$check" "$4" 2>&1) || status=$?
  if [ "$1" = pass ] && [ "$status" != 0 ] || [ "$1" = fail ] && [ "$status" != 1 ] ||
     ! grep -q "$2" <<<"$out"; then
    echo "$(basename "$3") -> $(basename "$4"): expected to $1 with \"$2\", got status $status:"
    echo "$out"
    failed=1
  fi
}
expect pass "abi: the same as" "$baseline" "$lib_dir/libVELKCANDNM.so"
expect pass "1 Added function" "$work/without-one.abi" "$baseline"
expect fail "1 Removed function" "$baseline" "$work/without-one.abi"
expect fail "parameter 4 of type 'typedef uint8_t' changed" "$baseline" "$work/wider-mac.abi"
exit $failed
