#!/bin/busybox sh
# /init of the SCPI server's real-kernel guest: the modules, the network card (qemu's user network forwards the
# host's port to 10.0.2.15:5025), a virtual generator, the server listening on every address, then the host's
# commands (scpi-control.sh), power off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
say() { echo "SCPI_E2E $*"; }
for m in $(cat /modules/modules.order); do
    insmod /modules/$m.ko || say "FAIL cannot load $m"
done
ip link set lo up
ip addr add 10.0.2.15/24 dev eth0 && ip link set eth0 up || say "FAIL the network card is not up"
# The guest's own watchdog, in case the host never says done.
(sleep 240; say "FAIL guest watchdog"; poweroff -f) &

plugs=0
# A generator with the same serial number each time; done once the kernel made its hidraw node.
plug_generator() {
    plugs=$((plugs + 1))
    /test/tarvo-pulse-generator-virtual --serial TPG-SCPI-E2E --no-stream > /tmp/gen$plugs.log 2>&1 &
    generator=$!
    timeout 20 sh -c "until grep -qx START /tmp/gen$plugs.log; do sleep 0.05; done" || say "FAIL the generator did not start"
    timeout 20 sh -c 'until ls /dev/hidraw* > /dev/null 2>&1; do sleep 0.05; done' || say "FAIL no hidraw node"
}
unplug_generator() {
    kill -TERM $generator
    wait $generator
}
generator_reports() {
    for n in $(seq 1 $plugs); do grep '^SET_REPORT' /tmp/gen$n.log | sed "s/^/gen$n /"; done
}
. /test/scpi-control.sh

plug_generator
# Read only by sanitizer builds.
export LSAN_OPTIONS=suppressions=/test/lsan.supp
/test/tarvo-pulse-scpi --listen 0.0.0.0:5025 -v > /tmp/server.log 2>&1 &
server=$!
scpi_control
kill -TERM $server
wait $server
say "server exit status $?; its log:"
sed 's/^/  /' /tmp/server.log
unplug_generator
say DONE
poweroff -f
