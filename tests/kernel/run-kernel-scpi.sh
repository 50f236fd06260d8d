#!/usr/bin/env bash
# The SCPI server on the real Linux HID stack: tarvo-pulse-scpi and a virtual pulse generator (uhid) in Debian's
# kernel under qemu, PyVISA on this machine through qemu's forwarding of a free port of 127.0.0.1 to the guest's
# 5025; a VXI-11 INSTR client, a HiSLIP query and the web page's identification through forwarded ports too. The
# generator is unplugged and plugged again on the host's word (scpi-guest-body.sh, guest_client.py).
#   run-kernel-scpi.sh SERVER_PROGRAM VIRTUAL_PROGRAM KERNEL_DIR WORK_DIR
# Exits 0 on PASS, 1 on FAIL, 77 (skipped) where qemu, the kernel with its modules, the static busybox or PyVISA
# cannot be had.
set -euo pipefail
server_program=$1 virtual_program=$2 kernel_dir=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
client=$here/../scpi/guest_client.py
python=${TARVO_CLIENTS_PYTHON:-/usr/bin/python3}
. "$here/../guest/host.sh"
guest_begin kernel_scpi

modules=(hid uhid hid-generic virtio_pci virtio_net)
guest_need_qemu
guest_need_busybox
guest_need_kernel "$kernel_dir" "${modules[@]}"
"$python" -c 'import pyvisa, pyvisa_py' 2>/dev/null || skip "PyVISA is not installed for $python (python3-pyvisa, python3-pyvisa-py)"

# The initramfs: the HID stack, the network card, the programs and their libraries.
root=$work/scpi-initramfs
guest_root "$root" test
guest_modules "$root" "${modules[@]}"
guest_body "$root" "$here/scpi-guest-body.sh"
guest_config "$root" GUEST_TAG=SCPI_E2E GUEST_WATCHDOG=240
cp "$server_program" "$root/test/tarvo-pulse-scpi"
cp "$virtual_program" "$root/test/tarvo-pulse-generator-virtual"
cp "$here/../guest/control.sh" "$here/lsan.supp" "$root/test/"
guest_copy_libraries "$root" "$server_program" "$virtual_program"

# The server's ports on this machine's loopback, and the guest's control line.
guest_forward_scpi
guest_config "$root" SCPI_LISTEN="$scpi_listen"
guest_pack "$root" "$work/scpi-initramfs.cpio"
guest_control_line

log=$work/scpi-console.log
echo "kernel_scpi: booting $(cat "$guest_kernel/PACKAGE" 2>/dev/null || echo "the kernel") under qemu (TCG), the server on 127.0.0.1:${guest_port[5025]}"
guest_start 300 "$log" -initrd "$work/scpi-initramfs.cpio"
status=0
timeout 280 "$python" "$client" $scpi_client --control "$guest_control" --serial TPG-SCPI-E2E --replug || status=$?
guest=0
guest_wait || guest=$?
guest_console "$log"
grep -a '^SCPI_E2E\|^  ' "$log.txt" || true
[ $guest -ne 124 ] || echo "kernel_scpi: qemu did not finish within 300 s"
# The server must also have stopped cleanly on SIGTERM (a sanitizer fails it after its last line).
if [ $status -eq 0 ] && [ $guest -eq 0 ] && grep -qa '^SCPI_E2E server exit status 0;' "$log.txt" &&
   grep -qa '^SCPI_E2E DONE' "$log.txt" && ! grep -qa '^SCPI_E2E FAIL' "$log.txt"; then
    echo "kernel_scpi: PASS in $(elapsed) s (boot, test and power-off)"
    exit 0
fi
echo "kernel_scpi: FAIL in $(elapsed) s; the guest's console is in $log"
exit 1
