#!/usr/bin/env bash
# The Windows programs under Wine inside Debian's kernel under qemu, against a virtual pulse generator made
# through uhid and reached through Wine's own HID stack (hid.dll, hidclass, winebus's udev bus, hidraw).
#   run-wine-guest.sh --virtual PATH --kernel DIR --work DIR [--probe EXE] [--ctl EXE] [--window EXE] [--scpi EXE]
# PATH is the Linux tarvo-pulse-generator-virtual, DIR the kernel as tests/kernel/fetch-kernel.sh leaves it, the
# EXEs 64-bit Windows programs. The guest (tests/guest) shares this machine's root read-only over virtio-9p under a
# tmpfs overlay and chroots into it, so Wine and the programs are used where they are; the Wine prefix is made
# here once (WORK/prefix, by tools/wine-prefix). One boot runs the scenarios the given programs allow
# (guest-scenarios.sh):
#   scpi           tarvo-pulse-scpi, reached by PyVISA here through a port of 127.0.0.1 that qemu forwards to
#                  the guest: sets and reads back both values; a VXI-11 INSTR client sets and reads back a
#                  frequency, a HiSLIP session reads it, the web page's identification names the generator;
#                  the generator is unplugged (-241) and plugged again; every report it received is checked
#                  byte for byte (tests/scpi/guest_client.py);
#   probe-send     wine_hid_probe finds the generator, reads its status, sends a frequency and an amplitude;
#   ctl-set        tarvo-pulse-ctl set --frequency 12345678.5 --amplitude 1161, then status;
#   probe-replug   wine_hid_probe watching: it opens the generator and reads its status, finds it again after an
#                  unplug and a replug, and sends nothing;
#   window-replug  the same for the window, under Xvfb.
# Their logs come back through a second, writable share (WORK/out) and are checked here, every report the
# generators received byte for byte. Ends with "wine_guest: PASS" (0) or "wine_guest: FAIL" (1); exits 77 with
# one line why where qemu, the kernel or its modules, wine64, udevd or the static busybox cannot be had.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../guest/host.sh"
guest_begin wine_guest
usage() { echo "usage: run-wine-guest.sh --virtual PATH --kernel DIR --work DIR [--probe EXE] [--ctl EXE] [--window EXE] [--scpi EXE]" >&2; exit 2; }

virtual= kernel_dir= work= probe= ctl= window= scpi=
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
        --virtual) virtual=$2 ;;
        --kernel) kernel_dir=$2 ;;
        --work) work=$2 ;;
        --probe) probe=$2 ;;
        --ctl) ctl=$2 ;;
        --window) window=$2 ;;
        --scpi) scpi=$2 ;;
        *) usage ;;
    esac
    shift 2
done
[ -n "$virtual" ] && [ -n "$kernel_dir" ] && [ -n "$work" ] || usage
python=${TARVO_CLIENTS_PYTHON:-/usr/bin/python3}
if [ -n "$scpi" ] && ! "$python" -c 'import pyvisa, pyvisa_py' 2>/dev/null; then
    echo "wine_guest: the scpi scenario is not run: PyVISA is not installed for $python (python3-pyvisa, python3-pyvisa-py)"
    scpi=
fi
scenarios=
[ -z "$scpi" ] || scenarios+=" scpi"
[ -z "$probe" ] || scenarios+=" probe-send"
[ -z "$ctl" ] || scenarios+=" ctl-set"
[ -z "$probe" ] || scenarios+=" probe-replug"
[ -z "$window" ] || scenarios+=" window-replug"
[ -n "$scenarios" ] || usage

# The HID stack, the host's root over virtio-9p under an overlay, and for the scpi scenario the network card.
modules=(hid uhid hid-generic 9p 9pnet_virtio virtio_pci overlay)
[ -z "$scpi" ] || modules+=(virtio_net)
WINE64=/usr/lib/wine/wine64

# What the run needs.
guest_need_qemu
guest_need_busybox
guest_need_kernel "$kernel_dir" "${modules[@]}"
[ -x "$WINE64" ] || skip "wine64 is not installed"
[ -x /lib/systemd/systemd-udevd ] || [ -x /usr/lib/systemd/systemd-udevd ] || skip "udevd is not installed (package udev)"
[ -z "$window" ] || command -v Xvfb >/dev/null || skip "Xvfb is not installed (package xvfb)"
[ -x "$virtual" ] || skip "no virtual generator at $virtual (build the default preset first)"
for exe in $probe $ctl $window $scpi; do [ -f "$exe" ] || { echo "wine_guest: FAIL: no program $exe"; exit 1; }; done
mkdir -p "$work"
work=$(cd "$work" && pwd)
# The guest has a /tmp of its own, which hides this machine's.
for path in "$here" "$work" "$virtual" $probe $ctl $window $scpi; do
    case $(realpath "$path") in /tmp/*) echo "wine_guest: FAIL: $path is under /tmp, which the guest does not see"; exit 1 ;; esac
done

# The Wine prefix: made here (in the guest it would take minutes, and be lost with the overlay), with winebus's
# udev bus switched on.
prefix=$work/prefix
t=$(date +%s.%N)
"$here/../../tools/wine-prefix" "$prefix" --udev-hid || { echo "wine_guest: FAIL: no Wine prefix"; exit 1; }
echo "wine_guest: Wine prefix ready in $(elapsed "$t") s"

# The initramfs: the rig's busybox guest, its body, what it is to run.
root=$work/initramfs
out=$work/out
rm -rf "$out"
mkdir -p "$out"
guest_root "$root"
guest_modules "$root" "${modules[@]}"
guest_body "$root" "$here/guest-body.sh"
# The scpi scenario: the server's ports on this machine's loopback, and the guest's control line for the client.
if [ -n "$scpi" ]; then
    guest_forward_scpi
    guest_control_line
fi
# The host timeout (600 s, the whole boot) comes after the guest's watchdog.
guest_config "$root" GUEST_TAG=WINE_GUEST GUEST_WATCHDOG=540 SCENARIO_SCRIPT="$here/guest-scenarios.sh" \
    SCENARIOS="${scenarios# }" OUT="$out" PREFIX="$prefix" SCPI_LISTEN="${scpi_listen:-}"
for var in virtual probe ctl window scpi; do
    path=${!var}
    [ -z "$path" ] || path=$(realpath "$path")
    guest_config "$root" "${var^^}=$path"
done
guest_pack "$root" "$work/initramfs.cpio"

# -cpu max without SMAP: qemu's emulated iretq reads the user stack as a kernel access, which SMAP forbids, and
# Wine returns from system calls with iretq.
GUEST_CPU=max,-smap GUEST_MEMORY=1024
guest_share host / ro
guest_share out "$out"
log=$work/console.log
echo "wine_guest: booting $(cat "$guest_kernel/PACKAGE" 2>/dev/null || echo "the kernel") under qemu (TCG):${scenarios}"
booted=$(date +%s.%N)
status=0
guest_start 600 "$log" -initrd "$work/initramfs.cpio"
if [ -n "$scpi" ]; then
    client_status=0
    timeout 520 "$python" "$here/../scpi/guest_client.py" $scpi_client \
        --control "$guest_control" --serial TPG-WINE-SCPI --replug --seconds 300 > "$work/scpi-client.log" 2>&1 ||
        client_status=$?
    echo "$client_status" > "$work/scpi-client.status"
fi
guest_wait || status=$?
guest_console "$log"
grep -a '^WINE_GUEST' "$log.txt" || true
echo "wine_guest: qemu ran $(elapsed "$booted") s"
[ $status -ne 124 ] || echo "wine_guest: qemu did not finish within 600 s"

# The checks, on the logs the guest left (each failing one is counted, none ends the run).
set +e
failures=0
check() {  # CONDITION_STATUS TEXT
    if [ "$1" -eq 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}
# The lines of FILE that start with PREFIX; Windows programs end theirs with CR LF.
lines() { tr -d '\r' < "$1" 2>/dev/null | grep -a "^${2:-}" || true; }

# The 9-byte feature frame the device receives: report ID 0, the command, 0, the little-endian payload, zeros.
frame() {  # COMMAND VALUE PAYLOAD_BYTES
    local bytes=(00 "$(printf %02X "$1")" 00) i
    for ((i = 0; i < 6; i++)); do
        if [ $i -lt "$3" ]; then bytes+=("$(printf %02X $(( ($2 >> (8 * i)) & 255 )))"); else bytes+=(00); fi
    done
    echo "${bytes[*]}"
}

# Exactly these SET_REPORT lines, in order.
check_commands() {  # LOG WHAT EXPECTED_LINE...
    local log=$1 what=$2 actual expected
    shift 2
    actual=$(lines "$log" SET_REPORT)
    expected=$(printf '%s\n' "$@")
    [ "$actual" = "$expected" ]; check $? "$what"
    [ "$actual" = "$expected" ] || printf '     received: %s\n' "${actual:-nothing}"
}

check_program() {  # DIR WHAT
    local status
    status=$(cat "$1/status" 2>/dev/null || echo none)
    [ "$status" = 0 ]; check $? "$2 ran and exited 0 (status $status)"
}

has_line() {  # FILE LINE WHAT
    lines "$1" | grep -qxF -- "$2"; check $? "$3"
}

check_probe_send() {
    local d=$out/probe-send
    check_program "$d" "probe-send: the probe"
    has_line "$d/program.log" "PROBE attributes 1209:0001" "probe-send: the generator is found through hid.dll, 1209:0001"
    has_line "$d/program.log" "PROBE caps input 65 output 0 feature 9" "probe-send: report lengths as Windows gives them"
    has_line "$d/program.log" "PROBE serial TPG-WINE-SEND" "probe-send: serial number string"
    has_line "$d/program.log" "PROBE product Tarvo Pulse Generator (virtual)" "probe-send: product string"
    [ "$(lines "$d/program.log" "PROBE status")" = "PROBE status frequency 1000000 amplitude 100
PROBE status frequency 2500000 amplitude 200" ]
    check $? "probe-send: status read before (1000000 Hz, index 100) and after the commands (2500000 Hz, index 200)"
    check_commands "$d/gen1.log" "probe-send: the generator received both frames byte for byte" \
        "SET_REPORT type=feature id=0 bytes=$(frame 1 2500000 4) | frequency 2500000" \
        "SET_REPORT type=feature id=0 bytes=$(frame 2 200 2) | amplitude 200"
    [ "$(lines "$d/gen1.log" GET_REPORT | wc -l)" -eq 2 ]; check $? "probe-send: the generator answered exactly the two status requests"
}

check_ctl_set() {
    local d=$out/ctl-set
    check_program "$d" "ctl-set: tarvo-pulse-ctl set"
    # 12345678.5 Hz rounds half up to 12345679; 1161 mV is amplitude code 360 (floor((360 + 16) * 0.247 * 12.5 + 0.5)).
    check_commands "$d/gen1.log" "ctl-set: the generator received the frequency, then the amplitude, byte for byte" \
        "SET_REPORT type=feature id=0 bytes=$(frame 1 12345679 4) | frequency 12345679" \
        "SET_REPORT type=feature id=0 bytes=$(frame 2 360 2) | amplitude 360"
    check_program "$d/status-read" "ctl-set: tarvo-pulse-ctl status"
    lines "$d/status-read/program.log" | grep -qw 12345679 && lines "$d/status-read/program.log" | grep -qw 1161
    check $? "ctl-set: status reads back 12345679 Hz and 1161 mV"
}

check_replug() {  # NAME
    local d=$out/$1
    [ -n "$(lines "$d/gen1.log" GET_REPORT)" ]; check $? "$1: the program asked the generator for its status"
    [ -n "$(lines "$d/gen2.log" GET_REPORT)" ]; check $? "$1: after an unplug and a replug it found the generator and asked again"
    check_commands "$d/gen1.log" "$1: no command was sent before the unplug"
    check_commands "$d/gen2.log" "$1: no command was sent after the replug"
}

check_probe_replug() {
    check_replug probe-replug
    [ "$(lines "$out/probe-replug/program.log" "PROBE lost" | wc -l)" -ge 1 ]
    check $? "probe-replug: the probe noticed the unplug"
}

check_window_replug() { check_replug window-replug; }

check_scpi() {
    sed 's/^/     /' "$work/scpi-client.log"
    [ "$(cat "$work/scpi-client.status" 2>/dev/null)" = 0 ]
    check $? "scpi: PyVISA here set and read back both values through Wine's HID stack, over the raw socket and the other protocols; -241 while unplugged, works again once plugged; the reports byte for byte"
}

for s in $scenarios; do "check_${s//-/_}"; done
grep -qa '^WINE_GUEST DONE' "$log.txt"; check $? "the guest ran every scenario and powered off"
! grep -qa '^WINE_GUEST FAIL' "$log.txt"; check $? "the guest reported no failure"

if [ $failures -eq 0 ]; then
    echo "wine_guest: PASS in $(elapsed) s"
    exit 0
fi
# What the guest left, for a run whose build directory is gone (the generators' streamed input is not logged).
for f in $(find "$out" -type f | sort); do
    echo "----- ${f#$out/}"
    tr -d '\r' < "$f" | uniq -c | head -n 40
done
echo "----- the guest's console, last lines"
grep -av '^WINE_GUEST' "$log.txt" | tail -n 30
echo "wine_guest: FAIL ($failures checks) in $(elapsed) s; the guest's console is in $log, the scenarios' logs in $out"
exit 1
