#!/usr/bin/env bash
# The search tick on the hidapi layer against a real kernel's HID stack, with 0 and with 16 HID interfaces of
# other devices (uhid, in Debian's kernel under qemu, as the real-kernel test boots it): CPU time per tick, and
# system calls per tick counted by strace (the difference of a 220-tick and a 20-tick run, over 200).
#   bench/hid-search-bench.sh BENCH_PROGRAM FOREIGN_PROGRAM KERNEL_DIR WORK_DIR
# qemu runs with software emulation (TCG), which makes every instruction many times slower than on the host:
# compare the figures with each other, and with the host's own run at 0 interfaces, not with the host's clock.
set -euo pipefail
bench=$1 foreign=$2 kernel_dir=$3 work=$4
. "$(dirname "$0")/../tests/guest/host.sh"
guest_begin hid-search-bench
# A benchmark that cannot run fails: tools/dev bench installs what it needs.
skip() { echo "hid-search-bench: $*" >&2; exit 1; }
guest_need_qemu
guest_need_busybox
guest_need_kernel "$kernel_dir" hid uhid hid-generic
command -v strace >/dev/null || skip "strace is not installed"

root=$work/initramfs
guest_root "$root" bench
guest_modules "$root" hid uhid hid-generic
guest_config "$root" GUEST_TAG=BENCH GUEST_WATCHDOG=1500
cp "$bench" "$root/bench/tarvo_hid_search_bench"
cp "$foreign" "$root/bench/tarvo-foreign-hid-virtual"
cp "$(command -v strace)" "$root/bin/strace"
guest_copy_libraries "$root" "$bench" "$foreign" "$(command -v strace)"
cat > "$work/body.sh" <<'EOF'
calls() { awk '$1 ~ /^[0-9]+$/ && NF == 2 {print $2, $1}' "$1"; }
for n in 0 16; do
    fpid=
    if [ $n -gt 0 ]; then
        /bench/tarvo-foreign-hid-virtual --count $n > /tmp/foreign.out &
        fpid=$!
        i=0
        while ! grep -q READY /tmp/foreign.out && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
    fi
    for run in 1 2 3; do say "$(/bench/tarvo_hid_search_bench --seconds 15)"; done
    strace -c -U calls,name -o /tmp/short /bench/tarvo_hid_search_bench --ticks 20 > /dev/null
    strace -c -U calls,name -o /tmp/long /bench/tarvo_hid_search_bench --ticks 220 > /dev/null
    calls /tmp/short > /tmp/short.calls
    calls /tmp/long > /tmp/long.calls
    awk -v n=$n 'NR == FNR {short[$1] = $2; next}
                 {d = ($2 - short[$1]) / 200; if (d >= 0.005) printf "BENCH %d foreign: %.2f %s per tick\n", n, d, $1}' \
        /tmp/short.calls /tmp/long.calls
    [ -n "$fpid" ] && kill $fpid && wait $fpid
done
say done
EOF
guest_body "$root" "$work/body.sh"
guest_pack "$root" "$work/initramfs.cpio"
guest_start 1600 "$work/console.log" -initrd "$work/initramfs.cpio"
guest_wait || true
tr -d '\r' < "$work/console.log" | grep -ao 'BENCH .*' | sed 's/^BENCH //'
