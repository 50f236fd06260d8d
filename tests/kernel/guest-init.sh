#!/bin/busybox sh
# /init of the real-kernel test's guest: the HID modules, the test against the virtual generators, power off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in hid uhid hid-generic; do
    insmod /modules/$m.ko || echo "KERNEL_E2E FAIL (cannot load $m)"
done
# The guest's own watchdog, in case the test's deadline does not fire.
(sleep 200; echo "KERNEL_E2E FAIL (guest watchdog)"; poweroff -f) &
# Read only by sanitizer builds.
export LSAN_OPTIONS=suppressions=/test/lsan.supp
/test/tarvo_kernel_e2e --virtual /test/tarvo-pulse-generator-virtual --foreign /test/tarvo-foreign-hid-virtual \
    --deadline 150
echo "KERNEL_E2E EXIT $?"
# tarvo-pulse-ctl, the real program, against a generator of its own.
/test/ctl-e2e.sh /test/tarvo-pulse-ctl /test/tarvo-pulse-generator-virtual /tmp
echo "CTL_E2E EXIT $?"
poweroff -f
