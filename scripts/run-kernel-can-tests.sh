#!/usr/bin/env bash
# The SocketCAN backend against a real Linux CAN stack. This machine's kernel may have no CAN
# support, so the lane boots Debian's own kernel under QEMU (software emulation, no KVM needed)
# from an initramfs that holds busybox, iproute2, can-utils, the CAN modules and the project's
# test binaries, twice:
#   vcan         vcan0; the SocketCAN tests, stand-in and kernel cases, on it
#   controllers  two emulated SJA1000 controllers (kvaser_pci) on one emulated bus, can0 and
#                can1, so that bit-rate changes meet a real controller driver
# Each boot also runs the master (dnm scan: online, scan, offline) on the interface, with a
# simulated slave answering through raw sockets and candump recording. Every step prints one
# "PASS name" or "FAIL name" line; the lane fails on any FAIL or on a boot that does not end
# within its limit. Without QEMU or the kernel image (and no way to install them) it is skipped.
#   scripts/run-kernel-can-tests.sh [BUILD_DIR]     (default: build, configured if missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
limit=${DNM_KERNEL_CAN_LIMIT:-300}  # seconds for one boot
skip() { echo "kernel CAN lane: skipped: $*"; exit 0; }

bash "$root/scripts/need-packages.sh" --optional kernelcan
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (package qemu-system-x86)"
command -v busybox >/dev/null || skip "no busybox (package busybox-static)"
command -v candump >/dev/null || skip "no candump (package can-utils)"
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$kernel" ] && [ -r "$kernel" ] || skip "no readable kernel image in /boot (package linux-image-amd64)"
release=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$release" ] || skip "no modules for kernel $release"

[ -f "$build/build.ninja" ] ||
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDNM_WERROR="${DNM_WERROR:-OFF}" >/dev/null
nice -n 15 cmake --build "$build" -j2 --target socketcan_tests dnm velkcan >/dev/null

work="$build/kernel-can"
tree="$work/root"
rm -rf "$work"
mkdir -p "$tree"/{bin,sbin,usr/bin,usr/sbin,opt/bin,opt/dnm,proc,sys,dev,tmp,modules}

# Programs with every library ldd names, at the same paths as here.
copy_with_libraries() {  # FILE... : copied, and their libraries too
  local file lib
  for file; do
    for lib in $(ldd "$file" 2>/dev/null | grep -o '/[^ ]*'); do
      [ -e "$tree$lib" ] || { mkdir -p "$tree$(dirname "$lib")"; cp -L "$lib" "$tree$lib"; }
    done
  done
}
# busybox for the commands, dash for the shell: busybox's shell runs its own applets in place of
# iproute2's ip and tc, which alone set a bit rate or a qdisc.
cp "$(command -v busybox)" "$tree/bin/busybox"
copy_with_libraries "$(command -v busybox)"
cp "$(command -v dash)" "$tree/bin/sh"
copy_with_libraries "$(command -v dash)"
tools=(ip tc candump cansend)
for tool in "${tools[@]}"; do
  cp "$(command -v "$tool")" "$tree/opt/bin/"
  copy_with_libraries "$(command -v "$tool")"
done
mkdir -p "$tree/opt/dnm/bin"
cp "$build/bin/socketcan_tests" "$build/bin/dnm" "$tree/opt/dnm/bin/"
cp -a "$build/lib" "$tree/opt/dnm/"
copy_with_libraries "$tree"/opt/dnm/bin/* "$tree"/opt/dnm/lib/*.so

# The modules and what they need, in the order to load them.
modules_listed=" "
add_module() {  # NAME
  local name=$1 dependency path
  case "$modules_listed" in *" $name "*) return ;; esac
  for dependency in $(modinfo -k "$release" -F depends "$name" | tr ',' ' '); do
    add_module "$dependency"
  done
  path=$(modinfo -k "$release" -n "$name")
  case "$path" in *.xz) xz -dc "$path" >"$tree/modules/$name.ko" ;; *) cp "$path" "$tree/modules/$name.ko" ;; esac
  echo "$name" >>"$tree/modules/order"
  modules_listed="$modules_listed$name "
}
for module in can can-raw can-dev vcan sch_tbf kvaser_pci; do add_module "$module"; done

cp "$root/scripts/kernel-can-init.sh" "$tree/init"
chmod +x "$tree/init"
(cd "$tree" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
echo "kernel CAN lane: kernel $release, initramfs $(du -m "$work/initramfs.cpio" | cut -f1) MB"

boot() {  # MODE [QEMU ARGUMENTS...]: boots, prints the steps' lines; fails on a FAIL or no end
  local mode=$1 log="$work/$1.log" started=$SECONDS
  shift
  timeout "$limit" nice -n 15 qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nodefaults \
    -display none -serial stdio -no-reboot -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet panic=-1 kcan=$mode" "$@" </dev/null >"$log" 2>&1 || true
  tr -d '\r' <"$log" | sed -n 's/^KCAN //p'
  if ! grep -q '^KCAN END' "$log"; then
    echo "FAIL $mode: the virtual machine did not finish within $limit s (console: $log)"
    return 1
  fi
  echo "kernel CAN lane: $mode boot took $((SECONDS - started)) s (console: $log)"
  ! grep -q '^KCAN FAIL' "$log"
}

result=0
boot vcan || result=1
boot controllers -object can-bus,id=bus0 \
  -device kvaser_pci,canbus=bus0 -device kvaser_pci,canbus=bus0 || result=1
[ "$result" = 0 ] && echo "kernel CAN lane: passed" || echo "kernel CAN lane: FAILED"
exit "$result"
