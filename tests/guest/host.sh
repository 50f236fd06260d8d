# The host's side of the tests that boot Debian's kernel (fetched by tests/kernel/fetch-kernel.sh) under qemu.
# Sourced by bash scripts. The guest's side is tests/guest/init, the /init of every busybox guest.
#
#   guest_begin NAME             names the test in its messages ("NAME: SKIPPED: ..."); starts its clock
#   skip REASON...               says "NAME: SKIPPED: REASON" and exits 77 (ctest's SKIP_RETURN_CODE)
#   elapsed [SINCE]              seconds since the start (or since SINCE, a `date +%s.%N`), one decimal
#   guest_need_qemu              skips unless qemu-system-x86_64 is installed
#   guest_need_busybox           skips unless a static busybox is installed; sets guest_busybox
#   guest_need_kernel DIR [MODULE...]
#                                skips unless DIR/current holds the kernel and each module; sets guest_kernel
#   guest_root ROOT [DIR...]     a new busybox initramfs tree: busybox, the rig's /init, DIRs
#   guest_modules ROOT MODULE... the modules with those they depend on, which /init loads in order
#   guest_body ROOT SCRIPT       what the guest runs once the preamble is done (sourced by /init, busybox sh)
#   guest_config ROOT NAME=VALUE...
#                                variables for /init and the body; /init reads GUEST_TAG (the prefix of the
#                                guest's own lines, "TAG FAIL ...") and GUEST_WATCHDOG (seconds until it powers off)
#   guest_copy_libraries ROOT PROGRAM...   each program's shared libraries, at their own paths
#   guest_pack ROOT ARCHIVE      the tree as a newc cpio archive (the initramfs)
#   guest_forward [tcp:|udp:]GUEST_PORT[=HOST_PORT]...
#                                forwards a port of 127.0.0.1 (HOST_PORT, else a free one) to each port of the guest
#                                (10.0.2.15) through a virtio network card, isolated from every other address;
#                                guest_port[PORT] (or guest_port[udp:PORT]) is the host's port. A fixed HOST_PORT
#                                is for a protocol that tells clients its port numbers. The guest needs virtio_pci
#                                and virtio_net.
#   guest_forward_scpi           the SCPI server's ports, for tests/scpi/guest_client.py: the raw socket (5025), HiSLIP
#                                (4880), the web page (8080), and VXI-11 where this machine's port 111 can be had
#                                (root, nothing on it; otherwise it says why not): the portmapper there and a core
#                                port with the same number on both sides, since the portmapper names it. Sets
#                                scpi_listen (the server's --listen options in the guest) and scpi_client (the
#                                client's options)
#   guest_control_line           the guest's second serial port (/dev/ttyS1) on the Unix socket $guest_control
#   guest_share TAG PATH [ro]    PATH of this machine shared with the guest over virtio-9p (read-only with ro),
#                                which mounts it by TAG (guest_mount_share). The guest needs 9p, 9pnet_virtio and
#                                virtio_pci.
#   guest_start SECONDS LOG [QEMU_OPTION...]
#                                starts qemu in the background for at most SECONDS, the console into LOG;
#                                guest_pid is its id. GUEST_MEMORY (MiB, 512), GUEST_CPU, GUEST_APPEND (the kernel's
#                                command line) and the options say the rest: an initramfs by -initrd ARCHIVE.
#   guest_wait                   waits for qemu; returns its status (124 when its time ran out)
#   guest_console LOG            LOG.txt: the console without carriage returns and screen control sequences
# A guest that is not busybox (its own root and init) uses guest_begin, the guest_need_* checks, guest_forward,
# guest_control_line, guest_share, guest_start and guest_wait alone. On exit (trap EXIT; a script that sets its
# own calls guest_cleanup from it) qemu, if it still runs, is ended by its id and the control socket removed.

guest_name=guest
guest_started=$(date +%s.%N)
guest_kernel=
guest_busybox=
guest_pid=
guest_control=
guest_network=
guest_shares=()
declare -A guest_port=()
GUEST_MEMORY=${GUEST_MEMORY:-512}
GUEST_CPU=${GUEST_CPU:-}
GUEST_APPEND=${GUEST_APPEND:-"console=ttyS0 quiet loglevel=3 panic=-1"}

guest_begin() {
    guest_name=$1
    guest_started=$(date +%s.%N)
}

skip() {
    echo "$guest_name: SKIPPED: $*"
    exit 77
}

elapsed() { echo "$(date +%s.%N) ${1:-$guest_started}" | awk '{printf "%.1f", $1 - $2}'; }

guest_need_qemu() {
    command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
}

# The guest has no libraries for a shared busybox (ldd refuses a static program).
guest_need_busybox() {
    guest_busybox=$(command -v busybox || true)
    [ -n "$guest_busybox" ] && ! ldd "$guest_busybox" >/dev/null 2>&1 ||
        skip "the static busybox (busybox-static) is not installed"
}

guest_need_kernel() {
    local dir=$1 module
    shift
    guest_kernel=$dir/current
    [ -e "$guest_kernel/vmlinuz" ] && [ -e "$guest_kernel/modules.order" ] ||
        skip "no Debian kernel in $dir (tools/dev test fetches it)"
    for module in "$@"; do
        [ -e "$guest_kernel/${module//_/-}.ko" ] || [ -e "$guest_kernel/${module//-/_}.ko" ] ||
            skip "the kernel in $dir lacks $module.ko (run tests/kernel/fetch-kernel.sh $dir)"
    done
}

guest_root() {
    local root=$1 here dir
    shift
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,modules}
    for dir in "$@"; do mkdir -p "$root/$dir"; done
    cp "$guest_busybox" "$root/bin/busybox"
    cp "$here/init" "$root/init"
    chmod 755 "$root/init"
    : > "$root/config"
    : > "$root/modules/order"
}

# The dependencies are read from the modules themselves (their "depends=" field). The kernel directory's
# modules.order lists every module after those it needs; the guest loads its own in that order.
guest_modules() {
    local root=$1 name dep wanted=" " more=1
    shift
    for name in "$@"; do wanted+="${name//-/_} "; done
    while [ -n "$more" ]; do
        more=
        while read -r name; do
            case $wanted in *" ${name//-/_} "*) ;; *) continue ;; esac
            for dep in $(tr '\0' '\n' < "$guest_kernel/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
                case $wanted in *" ${dep//-/_} "*) ;; *) wanted+="${dep//-/_} "; more=1 ;; esac
            done
        done < "$guest_kernel/modules.order"
    done
    while read -r name; do
        case $wanted in
            *" ${name//-/_} "*) cp "$guest_kernel/$name.ko" "$root/modules/"; echo "$name" >> "$root/modules/order" ;;
        esac
    done < "$guest_kernel/modules.order"
}

guest_body() {
    cp "$2" "$1/body"
}

guest_config() {
    local root=$1 pair
    shift
    for pair in "$@"; do printf '%s=%q\n' "${pair%%=*}" "${pair#*=}" >> "$root/config"; done
}

# hidapi needs libudev, of which Debian has no static build, so the programs take their libraries along.
guest_copy_libraries() {
    local root=$1 program lib
    shift
    for program in "$@"; do
        ldd "$program" | awk '/=> \// {print $3} /^\t\// {print $1}' | while read -r lib; do
            cp -L --parents "$lib" "$root/"
        done
    done
}

guest_pack() {
    (cd "$1" && find . | "$guest_busybox" cpio -o -H newc -R 0:0 2>/dev/null) > "$2"
}

# A port of 127.0.0.1 that nothing uses right now (qemu binds it a moment later).
guest_free_port() {  # tcp|udp
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1] == "udp" else socket.SOCK_STREAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])' "$1"
}

# restrict=on: the guest reaches no address at all; only the forwarded ports of the host's loopback reach it.
guest_forward() {
    local forward proto port host
    for forward in "$@"; do
        case $forward in udp:*) proto=udp port=${forward#udp:} ;; *) proto=tcp port=${forward#tcp:} ;; esac
        host=
        case $port in *=*) host=${port#*=} port=${port%%=*} ;; esac
        [ -n "$host" ] || host=$(guest_free_port $proto)
        if [ $proto = udp ]; then guest_port[udp:$port]=$host; else guest_port[$port]=$host; fi
        guest_network+=",hostfwd=$proto:127.0.0.1:$host-10.0.2.15:$port"
    done
}

guest_forward_scpi() {
    local core
    guest_forward 5025 4880 8080
    scpi_listen="--listen 0.0.0.0:5025 --listen hislip://0.0.0.0:4880 --listen http://0.0.0.0:8080"
    scpi_client="--port ${guest_port[5025]} --hislip-port ${guest_port[4880]} --http-port ${guest_port[8080]}"
    if [ "$(id -u)" != 0 ]; then
        echo "$guest_name: the VXI-11 client is not run: port 111 needs root"
    elif ! python3 -c 'import socket; socket.socket().bind(("127.0.0.1", 111))' 2>/dev/null; then
        echo "$guest_name: the VXI-11 client is not run: port 111 of 127.0.0.1 is taken"
    else
        core=$(guest_free_port tcp)
        guest_forward 111=111 "$core=$core"
        scpi_listen+=" --listen vxi11://0.0.0.0:$core"
        scpi_client+=" --vxi11"
    fi
}

# A short path: a Unix socket's path is limited to 107 bytes.
guest_control_line() {
    guest_control=$(mktemp -d /tmp/guest-control.XXXXXX)/control
}

guest_share() {
    guest_shares+=(-virtfs "local,path=$2,mount_tag=$1,security_model=none,multidevs=remap${3:+,readonly=on}")
}

guest_kernel_image() {
    # The ELF vmlinux boots through PVH about twice as fast as the bzImage, where there is one.
    if [ -e "$guest_kernel/vmlinux" ]; then echo "$guest_kernel/vmlinux"; else echo "$guest_kernel/vmlinuz"; fi
}

# Software emulation (under KVM the guest hangs on these machines), one processor (Wine starts three times
# slower on two), no display, the serial console on standard output.
guest_start() {
    local seconds=$1 log=$2 options=()
    shift 2
    [ -z "$GUEST_CPU" ] || options+=(-cpu "$GUEST_CPU")
    [ -z "$guest_network" ] ||
        options+=(-netdev "user,id=net,restrict=on$guest_network" -device virtio-net-pci,netdev=net)
    [ -z "$guest_control" ] ||
        options+=(-chardev "socket,id=control,path=$guest_control,server=on,wait=off" -serial chardev:control)
    options+=("${guest_shares[@]}")
    timeout "$seconds" qemu-system-x86_64 -accel tcg -m "$GUEST_MEMORY" -smp 1 -nographic -nodefaults \
        -serial stdio -no-reboot -kernel "$(guest_kernel_image)" -append "$GUEST_APPEND" "${options[@]}" "$@" \
        < /dev/null > "$log" 2>&1 &
    guest_pid=$!
}

guest_wait() {
    local status=0
    wait "$guest_pid" || status=$?
    guest_pid=
    return $status
}

guest_console() {
    tr -d '\r' < "$1" | grep -av $'\e' > "$1.txt" || true
}

guest_cleanup() {
    if [ -n "$guest_pid" ]; then
        kill -TERM "$guest_pid" 2>/dev/null || true
        wait "$guest_pid" 2>/dev/null || true
    fi
    [ -z "$guest_control" ] || rm -rf "$(dirname "$guest_control")"
}
trap guest_cleanup EXIT
