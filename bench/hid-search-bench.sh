#!/usr/bin/env bash
# The search tick on the hidapi layer against a real kernel's HID stack, with 0 and with 16 HID interfaces of
# other devices (uhid, in Debian's kernel under qemu, as the real-kernel test boots it): CPU time per tick, and
# system calls per tick counted by strace (the difference of a 220-tick and a 20-tick run, over 200).
#   bench/hid-search-bench.sh BENCH_PROGRAM FOREIGN_PROGRAM KERNEL_DIR WORK_DIR
# qemu runs with software emulation (TCG), which makes every instruction many times slower than on the host:
# compare the figures with each other, and with the host's own run at 0 interfaces, not with the host's clock.
set -euo pipefail
bench=$1 foreign=$2 kernel_dir=$3 work=$4
kernel=$kernel_dir/current
. "$(dirname "$0")/../tests/kernel/guest-lib.sh"
busybox=$(guest_busybox)
for need in qemu-system-x86_64 strace; do
    command -v "$need" >/dev/null || { echo "hid-search-bench: $need is not installed" >&2; exit 1; }
done
[ -n "$busybox" ] || { echo "hid-search-bench: needs busybox-static" >&2; exit 1; }
[ -e "$kernel/uhid.ko" ] || { echo "hid-search-bench: no kernel in $kernel_dir (tests/kernel/fetch-kernel.sh)" >&2; exit 1; }

root=$work/initramfs
guest_root "$root" "$kernel" "$busybox" bench
cp "$bench" "$root/bench/tarvo_hid_search_bench"
cp "$foreign" "$root/bench/tarvo-foreign-hid-virtual"
cp "$(command -v strace)" "$root/bin/strace"
guest_copy_libraries "$root" "$bench" "$foreign" "$(command -v strace)"
cat > "$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in hid uhid hid-generic; do insmod /modules/$m.ko; done
(sleep 1500; echo "BENCH watchdog"; poweroff -f) &
calls() { awk '$1 ~ /^[0-9]+$/ && NF == 2 {print $2, $1}' "$1"; }
for n in 0 16; do
    fpid=
    if [ $n -gt 0 ]; then
        /bench/tarvo-foreign-hid-virtual --count $n > /tmp/foreign.out &
        fpid=$!
        i=0
        while ! grep -q READY /tmp/foreign.out && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
    fi
    for run in 1 2 3; do echo "BENCH $(/bench/tarvo_hid_search_bench --seconds 15)"; done
    strace -c -U calls,name -o /tmp/short /bench/tarvo_hid_search_bench --ticks 20 > /dev/null
    strace -c -U calls,name -o /tmp/long /bench/tarvo_hid_search_bench --ticks 220 > /dev/null
    calls /tmp/short > /tmp/short.calls
    calls /tmp/long > /tmp/long.calls
    awk -v n=$n 'NR == FNR {short[$1] = $2; next}
                 {d = ($2 - short[$1]) / 200; if (d >= 0.005) printf "BENCH %d foreign: %.2f %s per tick\n", n, d, $1}' \
        /tmp/short.calls /tmp/long.calls
    [ -n "$fpid" ] && kill $fpid && wait $fpid
done
echo "BENCH done"
poweroff -f
EOF
chmod 755 "$root/init"
guest_pack "$root" "$busybox" "$work/initramfs.cpio"
guest_boot 1600 "$kernel" "$work/initramfs.cpio" > "$work/console.log" 2>&1 || true
tr -d '\r' < "$work/console.log" | grep -ao 'BENCH .*' | sed 's/^BENCH //'
