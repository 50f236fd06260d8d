#!/usr/bin/env bash
# The real-kernel test: tarvo_kernel_e2e against virtual pulse generators on a real HID stack, then the real
# tarvo-pulse-ctl against one of its own (ctl-e2e.sh).
#   run-kernel-e2e.sh TEST_PROGRAM VIRTUAL_PROGRAM FOREIGN_PROGRAM KERNEL_DIR WORK_DIR CTL_PROGRAM
# Where /dev/uhid can be used here, the test runs directly. Otherwise it boots Debian's kernel (fetched into
# KERNEL_DIR by tests/kernel/fetch-kernel.sh) under qemu with software emulation, in an initramfs holding busybox,
# the three HID modules, the programs and their libraries (tests/guest). Exits 0 on PASS, 1 on FAIL, 77 (skipped)
# where neither /dev/uhid nor qemu with the kernel and busybox can be had.
set -euo pipefail
test_program=$1 virtual_program=$2 foreign_program=$3 kernel_dir=$4 work=$5 ctl_program=$6
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../guest/host.sh"
guest_begin kernel_e2e

if [ -c /dev/uhid ] && (exec 3<>/dev/uhid) 2>/dev/null; then
    echo "kernel_e2e: /dev/uhid is usable here; running on this machine's kernel $(uname -r)"
    status=0
    LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan.supp timeout 180 "$test_program" --virtual "$virtual_program" --foreign "$foreign_program" --deadline 150 || status=$?
    mkdir -p "$work"
    LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan.supp timeout 60 "$here/ctl-e2e.sh" "$ctl_program" "$virtual_program" "$work" || status=1
    echo "kernel_e2e: $( [ $status -eq 0 ] && echo PASS || echo FAIL ) in $(elapsed) s"
    exit $(( status == 0 ? 0 : 1 ))
fi

echo "kernel_e2e: /dev/uhid cannot be used here: the test needs Debian's kernel under qemu"
guest_need_qemu
guest_need_busybox
guest_need_kernel "$kernel_dir" hid uhid hid-generic

root=$work/initramfs
guest_root "$root" test
guest_modules "$root" hid uhid hid-generic
guest_body "$root" "$here/guest-body.sh"
guest_config "$root" GUEST_TAG=KERNEL_E2E GUEST_WATCHDOG=200
cp "$test_program" "$root/test/tarvo_kernel_e2e"
cp "$virtual_program" "$root/test/tarvo-pulse-generator-virtual"
cp "$foreign_program" "$root/test/tarvo-foreign-hid-virtual"
cp "$ctl_program" "$root/test/tarvo-pulse-ctl"
cp "$here/ctl-e2e.sh" "$here/lsan.supp" "$root/test/"
guest_copy_libraries "$root" "$test_program" "$virtual_program" "$foreign_program" "$ctl_program"
guest_pack "$root" "$work/initramfs.cpio"

log=$work/console.log
echo "kernel_e2e: booting $(cat "$guest_kernel/PACKAGE" 2>/dev/null || echo "the kernel") under qemu (TCG)"
guest_start 300 "$log" -initrd "$work/initramfs.cpio"
status=0
guest_wait || status=$?
guest_console "$log"
cat "$log.txt"
# PASS counts only with the program's own exit status 0 (a sanitizer may fail it after its last line).
if grep -qa '^KERNEL_E2E PASS' "$log.txt" && grep -qa '^KERNEL_E2E EXIT 0$' "$log.txt" &&
   grep -qa '^CTL_E2E PASS' "$log.txt" && grep -qa '^CTL_E2E EXIT 0$' "$log.txt"; then
    echo "kernel_e2e: PASS in $(elapsed) s (boot, test and power-off)"
    exit 0
fi
[ $status -eq 124 ] && echo "kernel_e2e: qemu did not finish within 300 s"
echo "kernel_e2e: FAIL in $(elapsed) s; the guest's console is in $log"
exit 1
