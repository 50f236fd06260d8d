#!/usr/bin/env bash
# Builds the Debian package with CPack, unpacks it into a scratch root (never onto the system), and checks its
# control fields, that it holds exactly the expected files, that the installed desktop entry, metainfo and udev
# rule are the validated ones, that tarvo-pulse-ctl and tarvo-pulse-scpi run and have their manual pages as
# Debian ships them, and that systemd accepts the SCPI server's units as installed, with the program and manual
# page they name, and rates the service's sandbox "OK" or better.
#   debian_package_check.sh BUILD_DIR SCRATCH_DIR APP_ID
set -euo pipefail
build=$1 scratch=$2 id=$3

rm -rf "$scratch"
mkdir -p "$scratch"
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack could not make the package"
    exit 1
fi
debs=("$scratch"/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: cpack made ${#debs[@]} packages"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tarvo-pulse-generator ] || fail "Package is '$(field Package)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
echo "depends: $depends"
for needed in libqt6widgets6 libqt6gui6 libqt6core6 libc6 qt6-qpa-plugins libavahi-client3; do
    grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed"
done

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
expected=(
    usr/bin/tarvo-pulse-generator
    usr/bin/tarvo-pulse-ctl
    usr/share/man/man1/tarvo-pulse-ctl.1.gz
    usr/bin/tarvo-pulse-scpi
    usr/share/man/man1/tarvo-pulse-scpi.1.gz
    usr/lib/systemd/system/tarvo-pulse-scpi.socket
    usr/lib/systemd/system/tarvo-pulse-scpi-hislip.socket
    usr/lib/systemd/system/tarvo-pulse-scpi-http.socket
    usr/lib/systemd/system/tarvo-pulse-scpi-vxi11.socket
    usr/lib/systemd/system/tarvo-pulse-scpi-portmapper.socket
    usr/lib/systemd/system/tarvo-pulse-scpi.service
    "usr/share/applications/$id.desktop"
    "usr/share/metainfo/$id.metainfo.xml"
    "usr/share/icons/hicolor/16x16/apps/$id.png"
    "usr/share/icons/hicolor/32x32/apps/$id.png"
    "usr/share/icons/hicolor/scalable/apps/$id.svg"
    usr/lib/udev/rules.d/70-tarvo-pulse-generator.rules
)
actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$actual" != "$wanted" ]; then
    fail "the package's files differ from the expected list:"
    diff <(echo "$wanted") <(echo "$actual") | sed -n 's/^[<>]/  &/p' || true
fi
[ -x "$root/usr/bin/tarvo-pulse-generator" ] || fail "the program is not executable"

# The command-line programs run from the package (no generator is needed for these two) and have their manual
# pages: gzip at maximum compression without file name or time stamp (gzip -9n), in which groff finds nothing to
# warn about.
for name in tarvo-pulse-ctl tarvo-pulse-scpi; do
    program="$root/usr/bin/$name"
    [ -x "$program" ] || fail "$name is not executable"
    [ "$("$program" --version)" = "$name $(field Version)" ] || fail "$name --version: '$("$program" --version)'"
    "$program" --help | grep -q '^Exit status: ' || fail "$name --help does not give the exit statuses"
    man_page="$root/usr/share/man/man1/$name.1.gz"
    header=$(od -An -tx1 -N10 "$man_page" | tr -d ' \n')
    [ "${header:0:6}" = 1f8b08 ] || fail "the manual page of $name is not gzip data"
    [ "${header:6:10}" = 0000000000 ] || fail "the manual page of $name keeps a file name or time stamp: $header"
    [ "${header:16:2}" = 02 ] || fail "the manual page of $name is not compressed with -9"
    man_warnings=$(zcat "$man_page" | groff -man -ww -z -Tutf8 2>&1) || fail "groff cannot format $name's manual page"
    [ -z "$man_warnings" ] || fail "groff warns about $name's manual page: $man_warnings"
    zcat "$man_page" | grep -q '^\.SH "EXIT STATUS"' || fail "$name's manual page has no EXIT STATUS section"
done

# The SCPI server's units as systemd reads them from the package's files: in a scratch root that holds the
# package and this system's own units (which they depend on: sockets.target, sysinit.target), with man looking
# for pages in the package only. verify checks every setting, that the program they run is there and
# executable, and that the manual page they name exists.
units=(/usr/lib/systemd/system/tarvo-pulse-scpi.socket /usr/lib/systemd/system/tarvo-pulse-scpi-hislip.socket
       /usr/lib/systemd/system/tarvo-pulse-scpi-http.socket /usr/lib/systemd/system/tarvo-pulse-scpi-vxi11.socket
       /usr/lib/systemd/system/tarvo-pulse-scpi-portmapper.socket /usr/lib/systemd/system/tarvo-pulse-scpi.service)
verify_root="$scratch/verify-root"
mkdir -p "$verify_root/usr/lib/systemd/system"
cp -a /usr/lib/systemd/system/. "$verify_root/usr/lib/systemd/system/"
cp -a "$root/." "$verify_root/"
if ! verify_output=$(MANPATH="$verify_root/usr/share/man" systemd-analyze verify --root="$verify_root" "${units[@]}" 2>&1) ||
    [ -n "$verify_output" ]; then
    fail "systemd-analyze verify: $verify_output"
fi
# The sandbox's exposure, 0 (best) to 10: 'OK' or better is below 5.0 (--threshold counts tenths).
security=$(systemd-analyze security --offline=true --threshold=49 --root="$verify_root" "${units[-1]}" 2>&1) ||
    fail "the service's exposure is above 4.9 or cannot be rated"
echo "service: $(grep -o 'Overall exposure level.*' <<<"$security")"
grep -q '^ExecStart=/usr/bin/tarvo-pulse-scpi$' "$root${units[-1]}" || fail "the service does not run /usr/bin/tarvo-pulse-scpi"

desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null ||
    fail "appstreamcli validate"
cmp -s "$root/usr/lib/udev/rules.d/70-tarvo-pulse-generator.rules" "$build/packaging/70-tarvo-pulse-generator.rules" ||
    fail "the packaged udev rule is not the one the build made"
for size in 16 32; do
    file "$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png" | grep -q "$size x $size" ||
        fail "the ${size}x${size} icon is not $size pixels"
done

echo "$failures failures"
[ "$failures" -eq 0 ]
