#!/bin/sh
# tarvo-pulse-ctl, the installed program, against a virtual pulse generator on the real Linux HID stack: what its
# commands print and exit with, and every report the generator received, byte for byte and in order.
#   ctl-e2e.sh CTL_PROGRAM VIRTUAL_PROGRAM WORK_DIR
# Prints one line per check and ends with "CTL_E2E PASS" (status 0) or "CTL_E2E FAIL" (status 1). Needs /dev/uhid
# and access to the hidraw nodes (root). Runs under busybox sh in the guest of run-kernel-e2e.sh.
ctl=$1 virtual=$2 work=$3
serial=TPG-CTL-E2E
tab=$(printf '\t')
failures=0

ok() { echo "ok   $1"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
# expect WHAT EXPECTED ACTUAL
expect() {
    if [ "$3" = "$2" ]; then ok "$1"; else fail "$1: got '$3', expected '$2'"; fi
}
# run_ctl ARGS...: runs the program; its output in $out, its errors in $err (both without carriage returns, so
# that CTL_PROGRAM may be a script running the Windows program under Wine), its exit status in $rc.
run_ctl() {
    rc=0
    "$ctl" "$@" >"$work/ctl.out" 2>"$work/ctl.err" || rc=$?
    out=$(tr -d '\r' <"$work/ctl.out")
    err=$(tr -d '\r' <"$work/ctl.err")
    echo "     \$ tarvo-pulse-ctl $* -> exit $rc"
}
# wait_for COMMAND...: true once the command succeeds, polled for 10 s.
wait_for() {
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 200 ] || return 1
        sleep 0.05
    done
}
listed() { "$ctl" list 2>/dev/null | grep -q "^$serial$tab"; }

"$virtual" --serial "$serial" --frequency 25000 --amplitude 7 >"$work/generator.log" 2>&1 &
generator=$!
wait_for grep -sqx START "$work/generator.log" && ok "the kernel starts the generator" ||
    fail "the kernel starts the generator"
wait_for listed && ok "tarvo-pulse-ctl lists it" || fail "tarvo-pulse-ctl lists it"

run_ctl list
expect "list: exit status" 0 "$rc"
line=$(echo "$out" | grep "^$serial$tab")
# A uhid device has no USB device above it: hidapi reads its maker's name as empty (read, so the version is
# shown) and its release number, which it takes from the USB device, as 0.
expect "list: serial, maker, product and version" "$serial$tab${tab}Tarvo Pulse Generator (virtual)${tab}0.00" "$line"

run_ctl set -s "$serial" --frequency 12345678.5 --amplitude 1161
expect "set: exit status" 0 "$rc"
expect "set: what it sent" "frequency 12345679 Hz sent (12345678.5 rounded to whole hertz)
amplitude 1161 mV (index 360) sent" "$out"

run_ctl status -s "$serial"
expect "status: exit status" 0 "$rc"
expect "status: the settings read back" "serial: $serial
frequency: 12345679 Hz
amplitude: 1161 mV (index 360)" "$out"

run_ctl restore -s "$serial" --verify
expect "restore --verify: exit status" 0 "$rc"
expect "restore --verify: what it sent and read back" "frequency 10000000 Hz sent
amplitude 1161 mV (index 360) sent
verified: the generator reports 10000000 Hz and 1161 mV (index 360)" "$out"

# Refused before anything is sent.
run_ctl set -s "$serial" --frequency 24999.5
expect "a frequency below the range: exit status" 2 "$rc"
expect "a frequency below the range: the window's message" \
    "tarvo-pulse-ctl: Bad data range: Pulse frequency is between 25kHz and 350MHz (\"24999.5\"; the nearest accepted value is 25000)
Try 'tarvo-pulse-ctl --help'." "$err"
run_ctl status -s TPG-NONE
expect "an unknown serial number: exit status" 3 "$rc"

kill -TERM $generator
wait $generator
expect "the generator unplugs itself and ends" 0 "$?"

# Every report the generator received, in order: the two frames of set (frequency first), the status request,
# restore's two frames and its verifying status request.
reports=$(grep -E '^(SET|GET)_REPORT|^OUTPUT' "$work/generator.log")
expect "the generator received exactly these reports" \
"SET_REPORT type=feature id=0 bytes=00 01 00 4F 61 BC 00 00 00 | frequency 12345679
SET_REPORT type=feature id=0 bytes=00 02 00 68 01 00 00 00 00 | amplitude 360
GET_REPORT type=feature id=0 reply=00 00 00 4F 61 BC 00 68 01 | frequency 12345679 amplitude 360
SET_REPORT type=feature id=0 bytes=00 01 00 80 96 98 00 00 00 | frequency 10000000
SET_REPORT type=feature id=0 bytes=00 02 00 68 01 00 00 00 00 | amplitude 360
GET_REPORT type=feature id=0 reply=00 00 00 80 96 98 00 68 01 | frequency 10000000 amplitude 360" "$reports"

if [ $failures -eq 0 ]; then
    echo "CTL_E2E PASS"
    exit 0
fi
echo "CTL_E2E FAIL ($failures checks failed)"
exit 1
