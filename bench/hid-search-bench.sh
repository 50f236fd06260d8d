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
busybox=$(command -v busybox || true)
for need in qemu-system-x86_64 strace; do
    command -v "$need" >/dev/null || { echo "hid-search-bench: $need is not installed" >&2; exit 1; }
done
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 || { echo "hid-search-bench: needs busybox-static" >&2; exit 1; }
[ -e "$kernel/uhid.ko" ] || { echo "hid-search-bench: no kernel in $kernel_dir (tests/kernel/fetch-kernel.sh)" >&2; exit 1; }

root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,bench}
cp "$busybox" "$root/bin/busybox"
cp "$kernel"/{hid,uhid,hid-generic}.ko "$root/modules/"
cp "$bench" "$root/bench/tarvo_hid_search_bench"
cp "$foreign" "$root/bench/tarvo-foreign-hid-virtual"
cp "$(command -v strace)" "$root/bin/strace"
for program in "$bench" "$foreign" "$(command -v strace)"; do
    ldd "$program" | awk '/=> \// {print $3} /^\t\// {print $1}' | while read -r lib; do
        cp -L --parents "$lib" "$root/"
    done
done
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
(cd "$root" && find . | "$busybox" cpio -o -H newc -R 0:0 2>/dev/null) > "$work/initramfs.cpio"

image=$kernel/vmlinuz
[ -e "$kernel/vmlinux" ] && image=$kernel/vmlinux
timeout 1600 qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -nodefaults -serial stdio -no-reboot \
    -kernel "$image" -initrd "$work/initramfs.cpio" -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    < /dev/null > "$work/console.log" 2>&1 || true
tr -d '\r' < "$work/console.log" | grep -ao 'BENCH .*' | sed 's/^BENCH //'
