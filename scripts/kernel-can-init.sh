#!/bin/sh
# The init of the virtual machine that scripts/run-kernel-can-tests.sh boots: loads the CAN
# modules, sets up the interfaces of the mode named on the kernel command line (kcan=vcan or
# kcan=controllers), runs each step, prints "KCAN PASS name" or "KCAN FAIL name" (with the
# step's output) for it, then "KCAN END", and powers off.
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s  # needs /proc
export PATH=/opt/bin:/opt/dnm/bin:/bin:/sbin:/usr/bin:/usr/sbin LD_LIBRARY_PATH=/opt/dnm/lib
export HOME=/tmp
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for module in $(cat /modules/order); do insmod "/modules/$module.ko"; done
mode=$(sed -n 's/.*kcan=\([a-z]*\).*/\1/p' /proc/cmdline)

step() {  # NAME COMMAND...: runs the command, says whether it passed
  name=$1
  shift
  if "$@" >"/tmp/$name.log" 2>&1; then
    echo "KCAN PASS $name: $(tail -n 1 "/tmp/$name.log")"
  else
    echo "KCAN FAIL $name"
    tail -n 60 "/tmp/$name.log" | sed 's/^/KCAN   | /'
  fi
}

# The SocketCAN tests on the interface, each kernel case run, none skipped but those that only
# the stand-in can play.
kernel_tests() {  # IFACE PEER CASES
  VCAN_KERNEL_IFACE=$1 VCAN_KERNEL_PEER=$2 socketcan_tests --gtest_filter='*/Kernel' || return 1
  ran=$(grep -c '^\[       OK \] .*/Kernel' "/tmp/kernel-tests-$1.log")
  echo "kernel cases passed: $ran of $3 expected"
  [ "$ran" = "$3" ]
}

# A node of a simulated segment played onto a kernel CAN interface through raw sockets: what the
# segment carries is sent with cansend, what candump hears comes back, but for the node's own
# frames, which the kernel shows other sockets too.
cat >/tmp/node.sh <<'NODE'
iface=$1 sent=/tmp/node-sent
: >"$sent"
candump -L "$iface" | while read -r stamp dev frame; do
  grep -qxF "$frame" "$sent" || echo "$frame"
done &
while read -r frame; do
  echo "$frame" >>"$sent"
  cansend "$iface" "$frame"
done
NODE

# The master online, scanning and offline on IFACE at 500 kbit/s, a simulated slave (MAC ID 5)
# answering from NODE_IFACE, candump recording.
master_scan() {  # IFACE NODE_IFACE
  cat >/tmp/net.txt <<NET
port 0/1 socketcan=$1 capture=/tmp/capture-$1.log
segment bridge
slave segment=bridge mac=5
process segment=bridge exec="sh /tmp/node.sh $2"
NET
  candump -L "$2" >"/tmp/candump-$2.log" &
  recorder=$!
  dnm scan --network /tmp/net.txt --baud 500 --json >/tmp/scan.json 2>/tmp/scan.err
  status=$?
  sleep 1
  kill "$recorder"
  cat /tmp/scan.json /tmp/scan.err
  echo "dnm scan: exit $status"
  [ "$status" = 0 ] || return 1
  grep -q '"mac":5,"connected":true' /tmp/scan.json || { echo "slave 5 not found"; return 1; }
  ! grep -q 'no link data found\|is gone\|is back' /tmp/scan.err || { echo "unexpected messages"; return 1; }
  # candump, beside the node (the master's interface goes down for a rate change), saw the
  # master's duplicate MAC ID check (MAC ID 0) and the slave's answers.
  grep -q " $2 407#" "/tmp/candump-$2.log" && grep -q " $2 42B#" "/tmp/candump-$2.log" ||
    { echo "candump did not record the exchange"; cat "/tmp/candump-$2.log"; return 1; }
  # The capture holds the same frames, in time order.
  sed 's/^(\([0-9.]*\)).*/\1/' "/tmp/capture-$1.log" | sort -c -n ||
    { echo "capture out of time order"; cat "/tmp/capture-$1.log"; return 1; }
  echo "capture: $(wc -l <"/tmp/capture-$1.log") frames, candump: $(wc -l <"/tmp/candump-$2.log")"
}

case $mode in
  vcan)
    ip link add dev vcan0 type vcan && ip link set up vcan0
    step stand-in-tests socketcan_tests --gtest_filter='*/StandIn'
    step kernel-tests-vcan0 kernel_tests vcan0 vcan0 6
    step master-scan-vcan0 master_scan vcan0 vcan0
    ;;
  controllers)
    ip link set can0 type can bitrate 500000 && ip link set can0 up
    ip link set can1 type can bitrate 500000 && ip link set can1 up
    step kernel-tests-can0 kernel_tests can0 can1 5
    # The master finds can0 at 250 kbit/s and changes it to 500 kbit/s going online.
    ip link set can0 down && ip link set can0 type can bitrate 250000 && ip link set can0 up
    step master-scan-can0 master_scan can0 can1
    step bitrate-can0 sh -c 'ip -d link show can0 | grep -o "bitrate [0-9]*" | grep -x "bitrate 500000"'
    ;;
  *) echo "KCAN FAIL mode: no kcan=vcan or kcan=controllers on the command line" ;;
esac
echo "KCAN END"
poweroff -f
