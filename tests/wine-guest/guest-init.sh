#!/bin/busybox sh
# /init of the Wine guest: the modules, this machine's root (shared read-only over virtio-9p) under a tmpfs
# overlay as the new root, the scenarios inside it, power off. /config (written by run-wine-guest.sh) names the
# scenario script and what it runs.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
. /config
say() { echo "WINE_GUEST $*"; }

for m in $(cat /modules/modules.order); do
    insmod /modules/$m.ko || say "FAIL cannot load $m"
done
# The network card, when the host forwards a port of its loopback to 10.0.2.15 (qemu's user network).
ip link set lo up
if [ -e /sys/class/net/eth0 ]; then
    ip addr add 10.0.2.15/24 dev eth0 && ip link set eth0 up || say "FAIL the network card is not up"
fi
# The guest's own watchdog, in case a scenario hangs.
(sleep "$GUEST_WATCHDOG"; say "FAIL guest watchdog after $GUEST_WATCHDOG s"; poweroff -f) &

mkdir -p /host /rw /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /host || say "FAIL cannot mount the host's root"
mount -t tmpfs -o size=1g rw /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /newroot ||
    say "FAIL cannot put the overlay on the host's root"
r=/newroot
mount -t proc proc $r/proc
mount -t sysfs sysfs $r/sys
mount -t devtmpfs devtmpfs $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts devpts $r/dev/pts
mount -t tmpfs tmpfs $r/dev/shm
mount -t tmpfs tmpfs $r/tmp
mount -t tmpfs tmpfs $r/run
# Where the host reads the scenarios' logs: the same path as on the host, writable.
mkdir -p "$r$OUT"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out "$r$OUT" || say "FAIL cannot mount the output share"

echo
say "TIME boot $(cut -d' ' -f1 /proc/uptime)"
chroot $r /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root OUT="$OUT" VIRTUAL="$VIRTUAL" \
    PROBE="$PROBE" WINDOW="$WINDOW" CTL="$CTL" SCPI="$SCPI" WINEPREFIX="$PREFIX" SCENARIOS="$SCENARIOS" \
    /bin/bash "$SCENARIO_SCRIPT"
say "EXIT $?"
poweroff -f
