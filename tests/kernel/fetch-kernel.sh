#!/usr/bin/env bash
# Fetches Debian's kernel for the real-kernel test without installing it: the package that linux-image-amd64
# depends on, by apt-get download, and from it only the kernel image and the hid, uhid and hid-generic modules.
#   tests/kernel/fetch-kernel.sh DIR
# Leaves DIR/current pointing at DIR/<package>/ with vmlinuz, vmlinux (the uncompressed ELF kernel, which qemu
# boots about twice as fast, through PVH; absent where it cannot be unpacked) and the three modules. Does
# nothing when that package is already there. Without apt (or without network) an earlier download is kept.
set -euo pipefail
dest=$1
mkdir -p "$dest"

resolve() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

pkg=$(resolve || true)
if [ -z "$pkg" ]; then
    as_root apt-get update -qq || true
    pkg=$(resolve || true)
fi
if [ -z "$pkg" ]; then
    if [ -e "$dest/current/hid.ko" ]; then echo "kernel: apt knows no linux-image-amd64; keeping $(readlink "$dest/current")"; exit 0; fi
    echo "kernel: apt knows no linux-image-amd64" >&2
    exit 1
fi

out=$dest/$pkg
if [ -e "$out/hid.ko" ] && [ -e "$out/uhid.ko" ] && [ -e "$out/hid-generic.ko" ] && [ -e "$out/vmlinuz" ]; then
    ln -sfn "$pkg" "$dest/current"
    exit 0
fi

work=$(mktemp -d "$dest/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "kernel: downloading $pkg"
(cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null)
mkdir "$work/x"
# Only what the test boots: the image and three modules (the package unpacks to some 400 MB).
dpkg-deb --fsys-tarfile "$work"/*.deb |
    tar -x -C "$work/x" --wildcards './boot/vmlinuz-*' '*/kernel/drivers/hid/hid.ko*' \
        '*/kernel/drivers/hid/uhid.ko*' '*/kernel/drivers/hid/hid-generic.ko*'

rm -rf "$out.new"
mkdir "$out.new"
cp "$work"/x/boot/vmlinuz-* "$out.new/vmlinuz"
for m in hid uhid hid-generic; do
    f=$(find "$work/x" -name "$m.ko*" | head -n 1)
    case "$f" in
        *.ko) cp "$f" "$out.new/$m.ko" ;;
        *.ko.xz) xz -dc "$f" > "$out.new/$m.ko" ;;
        *.ko.zst) zstd -qdc "$f" > "$out.new/$m.ko" ;;
        *) echo "kernel: $m module not found in $pkg" >&2; exit 1 ;;
    esac
done

# The ELF kernel inside the bzImage: its xz stream from the first xz magic on.
offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$out.new/vmlinuz" | head -n 1 | cut -d: -f1 || true)
# (xz stops reading at the end of its stream, so tail is not piped in: its SIGPIPE would fail the pipeline.)
if [ -n "$offset" ] && xz -dc --single-stream < <(tail -c +$((offset + 1)) "$out.new/vmlinuz") > "$out.new/vmlinux" 2>/dev/null &&
   [ "$(head -c 4 "$out.new/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    :
else
    rm -f "$out.new/vmlinux"
fi
echo "$pkg" > "$out.new/PACKAGE"

# Older kernels are of no further use.
find "$dest" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$pkg" ! -name "$pkg.new" -exec rm -rf {} +
rm -rf "$out"
mv "$out.new" "$out"
ln -sfn "$pkg" "$dest/current"
echo "kernel: $pkg ready in $out"
