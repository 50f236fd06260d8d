#!/usr/bin/env bash
# The guest rig's own check, without booting anything: the modules a guest gets (with their dependencies, in an
# order the kernel accepts), /config read back by busybox sh as written, the skip of each guest test where the
# kernel is missing, and qemu (a stand-in here) ended on exit and stopped at its deadline.
#   rig_check.sh WORK_DIR
# Prints one line per check; exits 0 when all pass, 1 otherwise.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
rm -rf "$work"
mkdir -p "$work"
failures=0
check() {  # STATUS WHAT
    if [ "$1" -eq 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}
expect() {  # WHAT EXPECTED ACTUAL
    [ "$3" = "$2" ]; check $? "$1"
    [ "$3" = "$2" ] || printf '     got:      %s\n     expected: %s\n' "$3" "$2"
}

# A kernel directory as fetch-kernel.sh leaves it, with modules that name their dependencies as the kernel's do
# (a "depends=" field among NUL-separated strings; '_' for '-').
kernel_dir=$work/kernel
k=$kernel_dir/k1
mkdir -p "$k"
ln -s k1 "$kernel_dir/current"
touch "$k/vmlinuz"
module() {  # FILE_NAME DEPENDS
    printf 'license=GPL\0depends=%s\0name=%s\0' "$2" "${1//-/_}" > "$k/$1.ko"
    echo "$1" >> "$k/modules.order"
}
module hid ""
module uhid hid
module hid-generic hid
module netfs ""
module fscache netfs
module 9p-net ""
module 9p 9p_net,fscache,netfs
module overlay ""

# guest_modules ROOT MODULE... in a subshell, which prints /modules/order on one line.
modules_for() {
    (
        . "$here/host.sh"
        guest_need_kernel "$kernel_dir"
        rm -rf "$work/root"
        mkdir -p "$work/root/modules"
        : > "$work/root/modules/order"
        guest_modules "$work/root" "$@"
        tr '\n' ' ' < "$work/root/modules/order"
        ls "$work/root/modules" | grep -c '\.ko$'
    ) | tr '\n' ' '
}
expect "one module with no dependency: itself alone" "hid 1 " "$(modules_for hid)"
expect "a module's dependency comes first, and other modules stay out" "hid uhid 2 " "$(modules_for uhid)"
expect "dependencies of dependencies, each once, in the kernel's order" "netfs fscache 9p-net 9p 4 " "$(modules_for 9p)"
expect "names with '_' or '-' alike" "hid hid-generic 9p-net 3 " "$(modules_for hid_generic 9p-net)"
(
    . "$here/host.sh"
    guest_need_kernel "$kernel_dir" hid_generic 9p_net uhid > /dev/null
)
check $? "the kernel's check finds modules named with '_' or '-' alike"

# What guest_config writes, busybox sh reads back unchanged.
sh=$(command -v busybox >/dev/null && echo "busybox sh" || echo sh)
(
    . "$here/host.sh"
    mkdir -p "$work/config-root"
    : > "$work/config-root/config"
    guest_config "$work/config-root" GUEST_TAG=T 'PATHS=/a b/c' "QUOTED=it's \"x\" \$HOME \`id\`" EMPTY= 'EQ=a=b'
)
read_back=$($sh -c '. "$1"; printf "%s|" "$GUEST_TAG" "$PATHS" "$QUOTED" "$EMPTY" "$EQ"' sh "$work/config-root/config")
expect "the guest's /config reads back what the host wrote (spaces, quotes, \$, =)" \
    "T|/a b/c|it's \"x\" \$HOME \`id\`||a=b|" "$read_back"

# Forwarded ports: a free one of the loopback for each guest port, TCP and UDP apart, or the one asked for.
ports=$(
    . "$here/host.sh"
    guest_forward 5025 4880 udp:111 9010=9010
    echo "${guest_port[5025]} ${guest_port[4880]} ${guest_port[udp:111]} ${guest_port[9010]}"
)
read -r p1 p2 p3 p4 <<< "$ports"
[ "$p1" -gt 0 ] && [ "$p2" -gt 0 ] && [ "$p3" -gt 0 ] && [ "$p1" != "$p2" ] && [ "$p4" = 9010 ] 2>/dev/null
check $? "forwarded ports: a free port of the host for each guest port, or the one given (got: $ports)"

# Each guest test skips, saying why, where the kernel has not been fetched (on a machine whose /dev/uhid can be
# used the real-kernel test runs there instead, and is left out).
missing=$work/no-kernel
skips() {  # NAME COMMAND...
    local name=$1 out status=0
    shift
    out=$("$@" 2>&1) || status=$?
    [ $status -eq 77 ] && grep -q "^$name: SKIPPED: no Debian kernel in $missing" <<< "$out"
    check $? "$name skips (77) with the reason where there is no kernel"
    [ $status -eq 77 ] || printf '     exit %s: %s\n' "$status" "$out"
}
if command -v qemu-system-x86_64 >/dev/null && command -v busybox >/dev/null && ! ldd "$(command -v busybox)" >/dev/null 2>&1; then
    if ! { [ -c /dev/uhid ] && (exec 3<>/dev/uhid) 2>/dev/null; }; then
        skips kernel_e2e "$here/../kernel/run-kernel-e2e.sh" /bin/true /bin/true /bin/true "$missing" "$work/e2e" /bin/true
    fi
    skips kernel_scpi "$here/../kernel/run-kernel-scpi.sh" /bin/true /bin/true "$missing" "$work/scpi"
    skips udev_rule_guest "$here/../packaging/udev_rule_guest.sh" /dev/null /bin/true "$missing" "$work/udev"
    skips wine_guest "$here/../wine-guest/run-wine-guest.sh" --virtual /bin/true --kernel "$missing" \
        --work "$work/wine" --probe /bin/true
    if [ "$(id -u)" -eq 0 ] && command -v mmdebstrap >/dev/null && command -v unshare >/dev/null &&
        command -v cpack >/dev/null; then
        skips systemd_guest "$here/../systemd/run-systemd-guest.sh" "$work/no-build" /bin/true "$missing" \
            "$work/systemd-cache" "$work/systemd"
    fi
else
    echo "ok   (the guest tests' skips are not checked: qemu or the static busybox is missing here)"
fi

# qemu, stood in for by a program that records its id and sleeps: ended when the test exits early, and stopped
# by the deadline given to guest_start.
fake_bin=$work/bin
mkdir -p "$fake_bin"
cat > "$fake_bin/qemu-system-x86_64" <<EOF
#!/bin/sh
echo \$\$ > "$work/qemu.pid"
exec sleep 30
EOF
chmod 755 "$fake_bin/qemu-system-x86_64"
(
    PATH=$fake_bin:$PATH
    . "$here/host.sh"
    guest_need_kernel "$kernel_dir"
    guest_start 60 "$work/console.log"
    for _ in $(seq 100); do [ -s "$work/qemu.pid" ] && break; sleep 0.05; done
    exit 3
)
pid=$(cat "$work/qemu.pid" 2>/dev/null)
ended=1
[ -n "$pid" ] && for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || { ended=0; break; }; sleep 0.05; done
check $ended "qemu still running when the test exits is ended"
[ $ended -eq 0 ] || { [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null; }
status=$(
    PATH=$fake_bin:$PATH
    . "$here/host.sh"
    guest_need_kernel "$kernel_dir"
    guest_start 1 "$work/console.log"
    guest_wait
    echo $?
)
expect "qemu past its deadline is stopped, and guest_wait says so (124)" 124 "$status"

[ $failures -eq 0 ] && echo "rig_check: PASS" || echo "rig_check: FAIL ($failures checks)"
exit $(( failures == 0 ? 0 : 1 ))
