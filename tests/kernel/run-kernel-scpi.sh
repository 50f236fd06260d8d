#!/usr/bin/env bash
# The SCPI server on the real Linux HID stack: tarvo-pulse-scpi and a virtual pulse generator (uhid) in Debian's
# kernel under qemu, PyVISA on this machine through qemu's forwarding of a free port of 127.0.0.1 to the guest's
# 5025. The generator is unplugged and plugged again on the host's word (scpi-guest-init.sh, guest_client.py).
#   run-kernel-scpi.sh SERVER_PROGRAM VIRTUAL_PROGRAM KERNEL_DIR WORK_DIR
# Exits 0 on PASS, 1 on FAIL, 77 (skipped) where qemu, the kernel with its modules, the static busybox or PyVISA
# cannot be had.
set -euo pipefail
server_program=$1 virtual_program=$2 kernel_dir=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
client=$here/../scpi/guest_client.py
python=${TARVO_CLIENTS_PYTHON:-/usr/bin/python3}
started=$(date +%s.%N)
elapsed() { echo "$(date +%s.%N) $started" | awk '{printf "%.1f", $1 - $2}'; }
skip() { echo "kernel_scpi: SKIPPED: $*"; exit 77; }

. "$here/guest-lib.sh"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
busybox=$(guest_busybox)
[ -n "$busybox" ] || skip "the static busybox (busybox-static) is not installed"
kernel=$kernel_dir/current
[ -e "$kernel/vmlinuz" ] && [ -e "$kernel/modules.order" ] || skip "no Debian kernel in $kernel_dir (tools/dev test fetches it)"
for m in uhid virtio_pci virtio_net; do
    grep -qx "$m" "$kernel/modules.order" || skip "the kernel in $kernel_dir lacks $m.ko (run tests/kernel/fetch-kernel.sh $kernel_dir)"
done
"$python" -c 'import pyvisa, pyvisa_py' 2>/dev/null || skip "PyVISA is not installed for $python (python3-pyvisa, python3-pyvisa-py)"

# The initramfs: busybox, every module the kernel directory holds (the HID stack and the network card's, each
# after those it needs), the programs and their libraries.
mkdir -p "$work"
root=$work/scpi-initramfs
guest_root "$root" "$kernel" "$busybox" test
cp "$kernel/modules.order" "$root/modules/"
while read -r m; do cp "$kernel/$m.ko" "$root/modules/"; done < "$kernel/modules.order"
cp "$server_program" "$root/test/tarvo-pulse-scpi"
cp "$virtual_program" "$root/test/tarvo-pulse-generator-virtual"
cp "$here/scpi-control.sh" "$here/lsan.supp" "$root/test/"
cp "$here/scpi-guest-init.sh" "$root/init"
chmod 755 "$root/init"
guest_copy_libraries "$root" "$server_program" "$virtual_program"
guest_pack "$root" "$busybox" "$work/scpi-initramfs.cpio"

# A free port of this machine's loopback for the server, and a socket for the guest's control line.
port=$("$python" -c "import sys; sys.path.insert(0, '$here/../scpi'); import scpi_support; print(scpi_support.free_port())")
control_dir=$(mktemp -d /tmp/kernel-scpi.XXXXXX)
trap 'rm -rf "$control_dir"' EXIT
control=$control_dir/control

log=$work/scpi-console.log
echo "kernel_scpi: booting $(cat "$kernel/PACKAGE" 2>/dev/null || echo "the kernel") under qemu (TCG), the server on 127.0.0.1:$port"
guest_boot 300 "$kernel" "$work/scpi-initramfs.cpio" \
    -netdev "user,id=net,hostfwd=tcp:127.0.0.1:$port-:5025" -device virtio-net-pci,netdev=net \
    -chardev "socket,id=control,path=$control,server=on,wait=off" -serial chardev:control > "$log" 2>&1 &
qemu=$!
status=0
timeout 280 "$python" "$client" --port "$port" --control "$control" --serial TPG-SCPI-E2E --replug || status=$?
guest=0
wait $qemu || guest=$?
tr -d '\r' < "$log" | grep -av $'\e' > "$log.txt" || true
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
