#!/usr/bin/env bash
# The udev rule in udev's own rule engine, on a real hidraw node: Debian's kernel boots under qemu with a
# virtual pulse generator made through /dev/uhid, and Debian's udevadm (downloaded, never installed) runs the
# rule on the generator's hidraw node, which must come out tagged uaccess and given to the rule's group (read
# and write), and on the devices above it, which must not be tagged.
#   udev_rule_guest.sh RULE_FILE VIRTUAL_PROGRAM KERNEL_DIR WORK_DIR
# Exits 77 (skipped) where qemu, the static busybox, the kernel (tests/kernel/fetch-kernel.sh) or the udev
# package cannot be had.
set -euo pipefail
rule=$1 virtual_program=$2 kernel_dir=$3 work=$4
. "$(dirname "$0")/../guest/host.sh"
guest_begin udev_rule_guest

guest_need_qemu
guest_need_busybox
guest_need_kernel "$kernel_dir" hid uhid hid-generic

# udevadm from Debian's udev package, unpacked here once.
mkdir -p "$work"
udevadm=$work/udev/bin/udevadm
if [ ! -x "$udevadm" ]; then
    rm -rf "$work/udev" "$work"/udev_*.deb
    (cd "$work" && apt-get download -q -o APT::Sandbox::User=root udev >/dev/null 2>&1) || skip "apt-get download udev failed"
    dpkg-deb -x "$work"/udev_*.deb "$work/udev"
fi

root=$work/initramfs
guest_root "$root" test etc/udev/rules.d
guest_modules "$root" hid uhid hid-generic
guest_config "$root" GUEST_TAG=UDEV_GUEST GUEST_WATCHDOG=200
# The rule's group, as gid 46 (plugdev's on Debian).
group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$rule" | head -n 1)
printf 'root:x:0:0:root:/:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\n%s:x:46:\n' "${group:-none}" > "$root/etc/group"
cp "$virtual_program" "$root/test/virtual"
cp "$udevadm" "$root/bin/udevadm"
cp "$rule" "$root/etc/udev/rules.d/"
guest_copy_libraries "$root" "$virtual_program" "$udevadm"
cat > "$work/body.sh" <<'GUEST'
/test/virtual --serial TPG-000123 --exit-after 60 >/dev/null 2>&1 &
for i in 1 2 3 4 5 6 7 8 9 10; do [ -e /sys/class/hidraw/hidraw0 ] && break; sleep 1; done
node=$(readlink -f /sys/class/hidraw/hidraw0)
echo  # the firmware's last line has no end
for dev in "$node" "${node%/hidraw/*}" /sys/devices/virtual/misc/uhid; do
    tags=$(udevadm test --action=add "$dev" 2>/dev/null | sed -n 's/^TAGS=//p')
    say "TAGS $dev ${tags:-none}"
done
say "NODE $(stat -c '%g:%a' /dev/hidraw0)"
say DONE
GUEST
guest_body "$root" "$work/body.sh"
guest_pack "$root" "$work/initramfs.cpio"

guest_start 240 "$work/console.log" -initrd "$work/initramfs.cpio"
guest_wait || true
tr -d '\r' < "$work/console.log" | grep -a '^UDEV_GUEST' > "$work/result.txt" || true
cat "$work/result.txt"

grep -q '^UDEV_GUEST DONE' "$work/result.txt" || { echo "FAIL: the guest did not finish"; exit 1; }
mapfile -t lines < <(sed -n 's/^UDEV_GUEST TAGS //p' "$work/result.txt")
failures=0
for i in "${!lines[@]}"; do
    dev=${lines[$i]% *} tags=${lines[$i]##* }
    if [ "$i" -eq 0 ]; then
        case $dev in /sys/devices/virtual/misc/uhid/0003:*/hidraw/hidraw0) ;; *) echo "FAIL: unexpected node $dev"; failures=1 ;; esac
        [[ $tags == *:uaccess:* ]] || { echo "FAIL: the generator's hidraw node is not tagged uaccess"; failures=1; }
    elif [[ $tags == *uaccess* ]]; then
        echo "FAIL: $dev is tagged uaccess"; failures=1
    fi
done
[ ${#lines[@]} -eq 3 ] || { echo "FAIL: ${#lines[@]} devices tested, not 3"; failures=1; }
node=$(sed -n 's/^UDEV_GUEST NODE //p' "$work/result.txt")
[ "$node" = 46:660 ] || { echo "FAIL: the generator's node has group:mode '$node', not the group's 46:660"; failures=1; }
[ $failures -eq 0 ] && echo "udev_rule_guest: PASS"
exit $failures
