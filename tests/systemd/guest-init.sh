#!/bin/busybox sh
# /init of the systemd guest, in the rig's busybox tree: the modules for the shared root (/modules/order), that
# root (read-only over virtio-9p) under a tmpfs overlay, then systemd as PID 1 in it. The HID modules are the
# root's own, left to its modprobe.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() { echo "SYSTEMD_GUEST FAIL $*"; poweroff -f; }

for m in $(cat /modules/order); do
    insmod "/modules/$m.ko" || fail "cannot load $m"
done
mkdir -p /lower /rw
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 root /lower || fail "cannot mount the root"
mount -t tmpfs -o size=512m rw /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot || fail "cannot put the overlay on the root"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results /newroot/mnt/results || fail "cannot mount the results directory"
umount /proc /sys
mount --move /dev /newroot/dev
exec switch_root /newroot /lib/systemd/systemd
