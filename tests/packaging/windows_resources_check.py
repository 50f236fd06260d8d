#!/usr/bin/env python3
"""Compiles the Windows resource script with MinGW-w64's windres and reads back what Windows would find.

    windows_resources_check.py WINDRES RC_FILE INCLUDE_DIR... -- VERSION OUTPUT.res

The compiled resources must hold the icon group IDI_ICON1 with a 32 x 32 and a 16 x 16 image of 16 colours,
a version record whose fixed and text versions are VERSION, and the process manifest (resource 1) asking for
common controls 6, per-monitor DPI awareness and no elevation.
"""

import struct
import subprocess
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def read_id(data, at):
    """A resource type or name: a number (0xFFFF, n) or a zero-ended UTF-16 string, aligned to 4 bytes after."""
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def resources(data):
    at, out = 0, []
    while at + 8 <= len(data):
        size, header = struct.unpack_from("<II", data, at)
        kind, p = read_id(data, at + 8)
        name, p = read_id(data, p)
        body = data[at + header:at + header + size]
        if size:  # the .res file starts with an empty entry
            out.append((kind, name, body))
        at = (at + header + size + 3) & ~3
    return out


def main(argv):
    sep = argv.index("--")
    windres, rc, includes = argv[1], argv[2], argv[3:sep]
    version, output = argv[sep + 1], argv[sep + 2]
    cmd = [windres, *[f"-I{d}" for d in includes], "-O", "res", rc, output]
    if subprocess.run(cmd).returncode != 0:
        print("FAIL: windres could not compile", rc)
        return 1
    items = resources(open(output, "rb").read())
    failures = []

    groups = [(name, body) for kind, name, body in items if kind == RT_GROUP_ICON]
    if [name for name, _ in groups] != ["IDI_ICON1"]:
        failures.append(f"icon groups {[n for n, _ in groups]}, not one IDI_ICON1")
    images = [body for kind, _, body in items if kind == RT_ICON]
    found = []
    for body in images:
        _, width, height2, _, bits = struct.unpack_from("<IiiHH", body, 0)
        found.append((width, height2 // 2, bits))
    if sorted(found) != [(16, 16, 4), (32, 32, 4)]:
        failures.append(f"icon images (width, height, bits) {found}, not 32 and 16 pixels of 4 bits")

    records = [body for kind, _, body in items if kind == RT_VERSION]
    if len(records) != 1:
        failures.append(f"{len(records)} version records")
    else:
        record = records[0]
        fixed = record.find(struct.pack("<I", 0xFEEF04BD))
        major, minor, patch = (int(x) for x in version.split("."))
        if fixed < 0 or struct.unpack_from("<HHHH", record, fixed + 8) != (minor, major, 0, patch):
            failures.append(f"the fixed file version is not {version}")
        for key in ("FileVersion", "ProductVersion"):
            text = (key + "\0").encode("utf-16-le")
            at = record.find(text)
            value = record[at + len(text):].lstrip(b"\0")[: 2 * len(version)]
            if at < 0 or value.decode("utf-16-le", "replace") != version:
                failures.append(f"{key} is not {version}")

    manifests = [(name, body) for kind, name, body in items if kind == RT_MANIFEST]
    if [name for name, _ in manifests] != [1]:
        failures.append(f"manifests {[n for n, _ in manifests]}, not one of id 1")
    else:
        text = manifests[0][1].decode("utf-8", "replace")
        for needed in ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', "PerMonitorV2",
                       'level="asInvoker"', f'name="Tarvo.PulseGenerator" version="{version}.0"'):
            if needed not in text:
                failures.append(f"the manifest lacks {needed}")

    for f in failures:
        print("FAIL:", f)
    print(f"windows resources: {len(items)} resources, {'failed' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
