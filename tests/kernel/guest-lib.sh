# Sourced by the scripts that boot Debian's kernel (fetched by tests/kernel/fetch-kernel.sh) under qemu with an
# initramfs of their own: the real-kernel test, the udev rule's guest, the Wine guest and the search benchmark.

# The static busybox, or nothing: the guest has no libraries for a shared one (ldd refuses a static program).
guest_busybox() {
    local busybox
    busybox=$(command -v busybox || true)
    if [ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1; then echo "$busybox"; fi
}

# A new initramfs tree at ROOT with busybox and the HID modules hid, uhid and hid-generic in /modules; further
# arguments name more top-level directories to make.
#   guest_root ROOT KERNEL BUSYBOX [DIR...]
guest_root() {
    local root=$1 kernel=$2 busybox=$3 dir
    shift 3
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
    for dir in "$@"; do mkdir -p "$root/$dir"; done
    cp "$busybox" "$root/bin/busybox"
    cp "$kernel"/{hid,uhid,hid-generic}.ko "$root/modules/"
}

# Copies the shared libraries of each program into ROOT at their own paths. hidapi needs libudev, of which
# Debian has no static build, so the programs take their libraries along.
#   guest_copy_libraries ROOT PROGRAM...
guest_copy_libraries() {
    local root=$1 program lib
    shift
    for program in "$@"; do
        ldd "$program" | awk '/=> \// {print $3} /^\t\// {print $1}' | while read -r lib; do
            cp -L --parents "$lib" "$root/"
        done
    done
}

# Packs ROOT into the initramfs archive ARCHIVE.
#   guest_pack ROOT BUSYBOX ARCHIVE
guest_pack() {
    (cd "$1" && find . | "$2" cpio -o -H newc -R 0:0 2>/dev/null) > "$3"
}

# The image to boot: the ELF vmlinux, which boots through PVH faster than the bzImage, where there is one.
guest_kernel_image() {
    if [ -e "$1/vmlinux" ]; then echo "$1/vmlinux"; else echo "$1/vmlinuz"; fi
}

# Boots KERNEL's image with the initramfs ARCHIVE under software emulation, one processor and 512 MiB, for at
# most SECONDS; the serial console is standard output; further arguments go to qemu. Returns qemu's status (124
# when the time ran out).
#   guest_boot SECONDS KERNEL ARCHIVE [QEMU_OPTION...]
guest_boot() {
    local seconds=$1 kernel=$2 archive=$3
    shift 3
    timeout "$seconds" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -nodefaults -serial stdio -no-reboot \
        -kernel "$(guest_kernel_image "$kernel")" -initrd "$archive" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1" "$@" < /dev/null
}
