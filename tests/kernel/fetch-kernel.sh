#!/usr/bin/env bash
# Fetches Debian's kernel for the tests that boot it under qemu, without installing it: the package that
# linux-image-amd64 depends on, by apt-get download, and from it only the kernel image and the modules the guests
# load, with the modules these depend on.
#   tests/kernel/fetch-kernel.sh DIR
# Leaves DIR/current pointing at DIR/<package>/ with vmlinuz, vmlinux (the uncompressed ELF kernel, which qemu
# boots about twice as fast, through PVH; absent where it cannot be unpacked), each module as NAME.ko, and
# modules.order, which lists them (without .ko) so that each comes after those it depends on. Does nothing when
# that package is already there with these modules. Without apt (or without network) an earlier download is kept.
set -euo pipefail
dest=$1
mkdir -p "$dest"

# The HID stack for the virtual generator (hid, uhid, hid-generic); the host's root shared read-only over
# virtio-9p with a writable overlay on it, for the Wine guest (9p, 9pnet_virtio, virtio_pci, overlay); a network
# card, through which the SCPI server in a guest is reached from the host's loopback (virtio_net).
WANTED="hid uhid hid-generic 9p 9pnet_virtio virtio_pci overlay virtio_net"

resolve() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

complete() { [ -e "$1/vmlinuz" ] && [ -e "$1/modules.order" ] && [ "$(cat "$1/WANTED" 2>/dev/null)" = "$WANTED" ]; }

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
if complete "$out"; then
    ln -sfn "$pkg" "$dest/current"
    exit 0
fi

work=$(mktemp -d "$dest/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "kernel: downloading $pkg"
(cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null)
mkdir "$work/x"
# The image and the modules (some 400 MB unpacked, in the scratch directory only); the dependencies are read
# from the modules themselves, as the package has no modules.dep (depmod makes it on installation).
dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work/x" --wildcards './boot/vmlinuz-*' '*/kernel/*.ko*'
for f in $(find "$work/x" -name '*.ko*'); do
    case "$f" in
        *.ko.xz) xz -d "$f" ;;
        *.ko.zst) zstd -q --rm -d "$f" ;;
    esac
done

rm -rf "$out.new"
mkdir "$out.new"
cp "$work"/x/boot/vmlinuz-* "$out.new/vmlinuz"

# Module names use '_' where file names may use '-' (hid_generic is hid-generic.ko).
declare -A file_of
while read -r f; do
    base=$(basename "$f" .ko)
    file_of[${base//-/_}]=$f
done < <(find "$work/x" -name '*.ko')
declare -A placed
order=()
place() {  # NAME: its dependencies first, then itself
    local name=${1//-/_} f dep
    [ -z "${placed[$name]:-}" ] || return 0
    f=${file_of[$name]:-}
    [ -n "$f" ] || { echo "kernel: module $1 not found in $pkg" >&2; exit 1; }
    placed[$name]=1
    for dep in $(tr '\0' '\n' < "$f" | sed -n 's/^depends=//p' | tr ',' ' '); do place "$dep"; done
    cp "$f" "$out.new/"
    order+=("$(basename "$f" .ko)")
}
for m in $WANTED; do place "$m"; done
printf '%s\n' "${order[@]}" > "$out.new/modules.order"
echo "$WANTED" > "$out.new/WANTED"

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
echo "kernel: $pkg ready in $out ($(wc -l < "$out/modules.order") modules)"
