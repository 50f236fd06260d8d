#!/usr/bin/env bash
# The package's SCPI units under a real systemd: a Debian 12 root made from Debian's packages, the package
# installed in it by apt-get as a user would, booted on Debian's kernel under qemu with systemd as PID 1 and no
# network device. In the guest (guest-checks.sh) every socket unit of the package is enabled, each address is
# reached and spoken to in its protocol; a client reaches the raw socket before any HID module is loaded, a
# virtual generator is plugged in afterwards, and the service must reach it; then the normal path. The guest
# reports what it saw over a shared directory, and the checks are made here.
#   run-systemd-guest.sh BUILD_DIR VIRTUAL_PROGRAM KERNEL_DIR CACHE_DIR WORK_DIR
# BUILD_DIR is the default build (its CPack configuration makes the package). CACHE_DIR keeps between runs the
# base root, keyed by its package list and apt sources, and that root with the package's dependencies, keyed by
# the package's Depends. Exits 0 on PASS, 1 on FAIL, 77 (skipped, with the
# reason) where this machine cannot run it: not root, no qemu, mmdebstrap or static busybox, no kernel, or no
# Debian mirror for a root not yet cached.
set -euo pipefail
build_dir=$1 virtual_program=$2 kernel_dir=$3 cache_dir=$4 work=$5
mkdir -p "$cache_dir" "$work"
cache_dir=$(cd "$cache_dir" && pwd)
work=$(cd "$work" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../guest/host.sh"
guest_begin systemd_guest
say() { echo "systemd_guest: $*"; }

# The socket units the package ships, all enabled in the guest, and the addresses they must hold: each stream
# address is checked for being reached by a client and handed to the service.
EXPECTED_UNITS="tarvo-pulse-scpi-hislip.socket tarvo-pulse-scpi-http.socket tarvo-pulse-scpi-portmapper.socket \
tarvo-pulse-scpi-vxi11.socket tarvo-pulse-scpi.socket"
EXPECTED_SOCKETS=(
    "127.0.0.1:5025 (Stream)" "[::1]:5025 (Stream)"
    "127.0.0.1:4880 (Stream)" "[::1]:4880 (Stream)"
    "127.0.0.1:80 (Stream)" "[::1]:80 (Stream)"
    "127.0.0.1:1024 (Stream)" "[::1]:1024 (Stream)"
    "127.0.0.1:111 (Stream)" "[::1]:111 (Stream)" "127.0.0.1:111 (Datagram)" "[::1]:111 (Datagram)"
)
# The documented exposure of the service (README); a weaker sandbox fails the test.
MAX_EXPOSURE=1.5
GENERATOR_SERIAL=TPG-SYSTEMD
FREQUENCY=12345678

# Packages of the base root besides apt and Debian's essential ones: systemd as PID 1, udev for the rule, kmod
# for modprobe@.service. The package's own dependencies come later, from apt-get install.
BASE_PACKAGES="systemd,systemd-sysv,udev,kmod"
GUEST_MODULES="hid uhid hid-generic"
# The initramfs's, for the shared root: 9p over virtio, and the overlay that takes the guest's writes.
ROOT_MODULES="9p 9pnet_virtio virtio_pci overlay"

# --- Preflight: what this machine must have ---
preflight() {
    [ "$(id -u)" -eq 0 ] || skip "needs root (mmdebstrap --mode=root, chroot)"
    guest_need_qemu
    command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed"
    command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"
    command -v cpack >/dev/null || skip "cpack is not installed"
    guest_need_busybox
    [ -x "$virtual_program" ] || skip "no virtual generator at $virtual_program"
}

# --- The kernel: Debian's, as tests/kernel/fetch-kernel.sh leaves it ---
kernel_preflight() {
    # shellcheck disable=SC2086
    guest_need_kernel "$kernel_dir" $GUEST_MODULES $ROOT_MODULES
    kernel=$guest_kernel
    [ -e "$kernel/PACKAGE" ] || skip "the kernel in $kernel_dir does not name its package (run tests/kernel/fetch-kernel.sh $kernel_dir)"
    kernel_release=$(sed 's/^linux-image-//' "$kernel/PACKAGE")
}

# --- The base root: mmdebstrap, cached by its package list and apt sources ---
apt_sources() {
    if [ -s /etc/apt/sources.list.d/debian.sources ]; then echo /etc/apt/sources.list.d/debian.sources
    else echo /etc/apt/sources.list; fi
}

base_root() {
    local sources key tmp
    sources=$(apt_sources)
    key=$( { echo "bookworm apt $BASE_PACKAGES"; cat "$sources"; } | sha256sum | cut -c1-16)
    base=$cache_dir/base-$key
    if [ -e "$base/.complete" ]; then say "base root cached ($base)"; return; fi
    mkdir -p "$cache_dir"
    find "$cache_dir" -mindepth 1 -maxdepth 1 -name 'base-*' ! -name "base-$key" -exec rm -rf --one-file-system {} +
    tmp=$base.new
    rm -rf --one-file-system "$tmp"
    say "making the base root with mmdebstrap ($BASE_PACKAGES)"
    if ! mmdebstrap --quiet --mode=root --variant=apt --include="$BASE_PACKAGES" \
            --aptopt='APT::Install-Recommends "false"' bookworm "$tmp" "$sources" > "$work/mmdebstrap.log" 2>&1; then
        tail -n 20 "$work/mmdebstrap.log"
        rm -rf --one-file-system "$tmp"
        skip "mmdebstrap could not make the base root (no Debian mirror?); its log is $work/mmdebstrap.log"
    fi
    touch "$tmp/.complete"
    mv "$tmp" "$base"
}

# --- The package: CPack in the default build, as tests/packaging makes it ---
make_package() {
    rm -rf "$work/deb"
    mkdir -p "$work/deb"
    if ! cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/deb" > "$work/cpack.log" 2>&1; then
        cat "$work/cpack.log"
        say "FAIL: cpack could not make the package"
        exit 1
    fi
    debs=("$work"/deb/*.deb)
    [ ${#debs[@]} -eq 1 ] || { say "FAIL: cpack made ${#debs[@]} packages"; exit 1; }
    deb=${debs[0]}
}

# Runs a command chrooted in ROOT with /proc, /sys, /dev, the host's name service and the kept downloads
# (CACHE_DIR/apt-archives as apt's archive cache) mounted, in a mount namespace of its own, so that the mounts
# end with it.
in_root() {
    local root=$1
    shift
    mkdir -p "$cache_dir/apt-archives/partial"
    unshare --mount --propagation private -- sh -ec '
        root=$1 archives=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        if [ -e "$root/etc/resolv.conf" ]; then mount --bind /etc/resolv.conf "$root/etc/resolv.conf"; fi
        mount --bind "$archives" "$root/var/cache/apt/archives"
        exec chroot "$root" "$@"' sh "$root" "$cache_dir/apt-archives" "$@"
}

# apt-get install ./PACKAGE.deb in ROOT, as a user installs it; the log goes to LOG.
apt_install() {  # ROOT DEB LOG
    mkdir -p "$1/tmp/deb"
    cp "$2" "$1/tmp/deb/"
    # (dpkg's syncs only slow the making of a root that is thrown away.)
    in_root "$1" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o Dpkg::Options::=--force-unsafe-io "./tmp/deb/$(basename "$2")" >> "$3" 2>&1
    local status=$?
    rm -rf "$1/tmp/deb"
    return $status
}

# --- The package's dependencies: the base root after apt-get install ./the.deb, with the package itself
#     removed again (dpkg -r), cached by the package's Depends field, so that a run downloads and unpacks them
#     only when they change ---
deps_root() {
    local key tmp
    key=$(echo "$base $(dpkg-deb --field "$deb" Depends)" | sha256sum | cut -c1-16)
    deps=$cache_dir/deps-$key
    if [ -e "$deps/.complete" ]; then say "the package's dependencies cached ($deps)"; return; fi
    find "$cache_dir" -mindepth 1 -maxdepth 1 -name 'deps-*' ! -name "deps-$key" -exec rm -rf --one-file-system {} +
    tmp=$deps.new
    rm -rf --one-file-system "$tmp"
    cp -a "$base" "$tmp"
    rm -f "$tmp/etc/resolv.conf" "$tmp/.complete"
    touch "$tmp/etc/resolv.conf"
    : > "$work/apt-deps.log"
    if ! in_root "$tmp" apt-get update -qq >> "$work/apt-deps.log" 2>&1; then
        tail -n 20 "$work/apt-deps.log"
        rm -rf --one-file-system "$tmp"
        skip "apt-get update failed in the root (no Debian mirror?); its log is $work/apt-deps.log"
    fi
    if ! apt_install "$tmp" "$deb" "$work/apt-deps.log"; then
        tail -n 30 "$work/apt-deps.log"
        rm -rf --one-file-system "$tmp"
        say "FAIL: apt-get install ./$(basename "$deb") failed in a new Debian 12 root; its log is $work/apt-deps.log"
        exit 1
    fi
    in_root "$tmp" dpkg -r tarvo-pulse-generator >> "$work/apt-deps.log" 2>&1 ||
        { say "FAIL: dpkg -r tarvo-pulse-generator failed; its log is $work/apt-deps.log"; exit 1; }
    # The guest has no network, and needs no package lists.
    rm -rf "$tmp/etc/resolv.conf" "$tmp/var/lib/apt/lists"/*
    touch "$tmp/.complete"
    mv "$tmp" "$deps"
}

# --- The guest's root: the dependencies, the package by apt-get, the test's programs and unit ---
guest_root_tree() {
    root=$work/root
    # The last run's root is set aside, and removed while the guest runs (removing it takes longer than copying).
    rm -rf --one-file-system "$root.old"
    if [ -e "$root" ]; then mv "$root" "$root.old"; fi
    cp -a "$deps" "$root"
    : > "$work/apt.log"
    if ! apt_install "$root" "$deb" "$work/apt.log"; then
        tail -n 30 "$work/apt.log"
        say "FAIL: apt-get install ./$(basename "$deb") failed on its dependencies; its log is $work/apt.log"
        exit 1
    fi

    # The HID modules where modprobe finds them; the rest of the kernel stays out of the root.
    local moddir=$root/lib/modules/$kernel_release/kernel m
    mkdir -p "$moddir"
    for m in $GUEST_MODULES; do cp "$kernel/$m.ko" "$moddir/"; echo "kernel/$m.ko"; done > "$moddir/../modules.order"
    touch "$moddir/../modules.builtin" "$moddir/../modules.builtin.modinfo"
    in_root "$root" depmod "$kernel_release"

    # The virtual generator (its libraries came with the package's dependencies), the checks and their unit,
    # started once the system is up.
    cp "$virtual_program" "$root/usr/local/bin/tarvo-pulse-generator-virtual"
    mkdir -p "$root/usr/local/lib/tarvo-guest" "$root/mnt/results"
    cp "$here/guest-checks.sh" "$root/usr/local/lib/tarvo-guest/"
    chmod 755 "$root/usr/local/lib/tarvo-guest/guest-checks.sh"
    cat > "$root/usr/local/lib/tarvo-guest/config" <<EOF
GENERATOR_SERIAL=$GENERATOR_SERIAL
FREQUENCY=$FREQUENCY
EOF
    cp "$here/tarvo-guest-checks.service" "$root/etc/systemd/system/"
    mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
    ln -sf ../tarvo-guest-checks.service "$root/etc/systemd/system/multi-user.target.wants/tarvo-guest-checks.service"
    echo tarvo-guest > "$root/etc/hostname"

    # A sanitized build (the asan preset) checks leaks at exit by stopping its threads with ptrace, which the
    # unit's system call filter refuses: LeakSanitizer would then fail every stop. The address checks stay on.
    if grep -qa __asan_init "$root/usr/bin/tarvo-pulse-scpi"; then
        mkdir -p "$root/etc/systemd/system/tarvo-pulse-scpi.service.d"
        printf '[Service]\nEnvironment=ASAN_OPTIONS=detect_leaks=0\n' \
            > "$root/etc/systemd/system/tarvo-pulse-scpi.service.d/sanitizer.conf"
        say "a sanitized build: leak checks are off in the service (they need ptrace)"
    fi
}

# The initramfs: the rig's busybox tree and modules, with an /init of its own that mounts the root (shared
# read-only over virtio-9p, under a tmpfs overlay) and hands over to systemd.
guest_initramfs() {
    local initramfs=$work/initramfs
    guest_root "$initramfs" newroot
    # shellcheck disable=SC2086
    guest_modules "$initramfs" $ROOT_MODULES
    cp "$here/guest-init.sh" "$initramfs/init"
    chmod 755 "$initramfs/init"
    guest_pack "$initramfs" "$work/initramfs.cpio"
}

preflight
kernel_preflight
base_root
made_base=$(elapsed)
make_package
made_package=$(elapsed)
deps_root
made_deps=$(elapsed)
guest_root_tree
guest_initramfs
made_image=$(elapsed)
say "image ready in $made_image s (up to the base root $made_base s, the package $made_package s, its dependencies $made_deps s), $(du -sm "$root" | cut -f1) MB"

rm -rf "$work/results"
mkdir -p "$work/results"
remover=""
if [ -e "$root.old" ]; then rm -rf --one-file-system "$root.old" & remover=$!; fi
booted=$(date +%s.%N)
guest=0
GUEST_MEMORY=1024
GUEST_APPEND="console=ttyS0 panic=-1 loglevel=4 systemd.unit=multi-user.target systemd.firstboot=off systemd.show_status=0"
guest_share root "$root" ro
guest_share results "$work/results"
guest_start 400 "$work/console.log" -nic none -initrd "$work/initramfs.cpio"
guest_wait || guest=$?
[ -z "$remover" ] || wait "$remover" || say "could not remove the last run's root, $root.old"
ran=$(elapsed "$booted")
[ $guest -ne 124 ] || say "qemu did not finish within 400 s"

# --- The checks, on what the guest reported (KEY VALUE lines) ---
results=$work/results/facts
touch "$results"
fact() { awk -v key="$1 " 'index($0, key) == 1 { print substr($0, length(key) + 1); exit }' "$results"; }
failures=0
check() {  # TEXT ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then echo "ok   $1"
    else echo "FAIL $1: got '$2', expected '$3'"; failures=$((failures + 1)); fi
}
check_match() {  # TEXT ACTUAL PATTERN
    # shellcheck disable=SC2053
    if [[ $2 == $3 ]]; then echo "ok   $1"
    else echo "FAIL $1: got '$2', expected $3"; failures=$((failures + 1)); fi
}

check "the guest finished its checks" "$(fact DONE)" yes
check "no HID module was loaded before the client came" "$(fact hid_before_client)" no
check "the package ships these socket units" "$(fact socket_units)" "$EXPECTED_UNITS"
for u in $EXPECTED_UNITS; do check "$u is active" "$(fact "socket_active $u")" active; done
check "systemd holds no other address" "$(grep -c '^listen ' "$results")" "${#EXPECTED_SOCKETS[@]}"
for s in "${EXPECTED_SOCKETS[@]}"; do
    check "systemd listens on $s" "$(fact "listen $s")" yes
    case $s in *" (Stream)") check "a client on ${s% (Stream)} is accepted by the service" "$(fact "served ${s% (Stream)}")" yes ;; esac
done
check "HiSLIP: Initialize is answered by InitializeResponse" "$(fact hislip_initialize)" "48 53 01"
check "VXI-11: the core program answers its NULL procedure" "$(fact vxi11_null)" \
    "80 00 00 18 00 00 00 07 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
# The reply's last word is the port: 1024 (00 00 04 00).
check "portmapper over TCP: GETPORT of the VXI-11 core program is 1024" "$(fact portmapper_getport_tcp)" \
    "80 00 00 1c 00 00 00 2a 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04 00"
check "portmapper over UDP: GETPORT of the VXI-11 core program is 1024" "$(fact portmapper_getport_udp)" \
    "00 00 00 2a 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04 00"
check "HTTP: GET /lxi/identification succeeds" "$(fact http_status)" "HTTP/1.1 200 OK"
check "HTTP: the answer is the identification XML" "$(fact http_identification)" 1
check "starting the service loaded the hid module" "$(fact hid_after_service_start)" yes
check_match "with no generator the server says why (SYST:ERR?)" "$(fact answer_without_generator)" '-241,*'
check "the service that took the first client stays the one that reaches the generator" \
    "$(fact same_service_after_plug)" yes
check_match "*IDN? reaches the generator plugged in after the service started" \
    "$(fact idn_after_plug)" "*,$GENERATOR_SERIAL,*"
check "the generator's node is root:plugdev 0660" "$(fact node)" "root plugdev 660"
check_match "the service runs as a dynamic user" "$(fact service_uid)" '6[0-9][0-9][0-9][0-9]'
# Besides the user's own group, which systemd lists too.
gid=$(fact service_gid)
check "the service's only supplementary group is plugdev (46)" \
    "$(for g in $(fact service_groups); do [ "$g" = "$gid" ] || echo "$g"; done | tr '\n' ' ')" "46 "
check "the service has no capabilities" "$(fact service_capeff)" 0000000000000000
check "the service has no_new_privs" "$(fact service_nonewprivs)" 1
check_match "the service holds the generator's node open" "$(fact service_nodes)" '*/dev/hidraw0*'
check "the frequency reads back" "$(fact frequency_read_back)" "$FREQUENCY"
# The frame the generator must have received: report 0, command 1, 0, the frequency little-endian, zeros.
frame=$(printf '00 01 00 %02X %02X %02X %02X 00 00' $((FREQUENCY & 255)) $((FREQUENCY >> 8 & 255)) \
    $((FREQUENCY >> 16 & 255)) $((FREQUENCY >> 24 & 255)))
check_match "the generator received the frequency's frame" "$(fact generator_frames)" "*bytes=$frame | frequency $FREQUENCY*"
check "stopping closes the client's connection" "$(fact connection_after_stop)" closed
check "the service stopped cleanly" "$(fact stop_result)" "inactive success 0"
check "the socket stays active after the service stops" "$(fact socket_after_stop)" active
check "the next client starts the service again, and it reads the generator" "$(fact frequency_after_restart)" "$FREQUENCY"
check "the restarted service is a new process" "$(fact new_process_after_restart)" yes
check "systemctl restart starts a new process" "$(fact restart_result)" "active new"
check "the service stops cleanly after the restart" "$(fact final_stop)" "inactive success 0"
check "the service was never restarted after a failure" "$(fact service_restarts)" 0
exposure=$(fact exposure)
check_match "systemd-analyze security rates the service" "$exposure" '[0-9]*.[0-9]* *'
if awk -v e="${exposure%% *}" -v max="$MAX_EXPOSURE" 'BEGIN { exit !(e != "" && e + 0 <= max + 0) }'; then
    echo "ok   the exposure ($exposure) is at most $MAX_EXPOSURE"
else
    echo "FAIL the exposure '$exposure' is above $MAX_EXPOSURE"; failures=$((failures + 1))
fi
check "systemd-analyze verify --man=no passes on every unit" "$(fact verify_status)" 0
check "systemd-analyze verify says nothing of the package's units" \
    "$(grep '^verify_output .*tarvo-pulse-scpi' "$results" || true)" ""

if [ $failures -ne 0 ] || [ $guest -ne 0 ]; then
    say "the guest's report ($results):"
    sed 's/^/  /' "$results"
    [ -s "$work/results/journal.txt" ] && say "the guest's journal is in $work/results/journal.txt"
    say "FAIL ($failures checks, qemu status $guest) in $(elapsed) s; image $made_image s, guest $ran s; its console is in $work/console.log"
    exit 1
fi
# The root stays for a look until the next run replaces it.
say "PASS in $(elapsed) s: image $made_image s, guest $ran s"
