#!/usr/bin/env python3
"""Checks a portable Windows zip as a user would get it.

    windows_zip_check.py ZIP VERSION BITS

It must hold, at its top, tarvo-pulse-generator.exe (a GUI program), tarvo-pulse-ctl.exe and tarvo-pulse-scpi.exe
(console programs) and README.txt. The programs must be Windows programs for BITS (64 or 32) with no debug
information left, whose version record, where they have one, gives VERSION, and which load no DLL beside Windows'
own (a portable program that needs the MinGW runtime DLLs would not start on a bare Windows). The read-me must have
Windows line ends and name the version.
"""

import os
import struct
import sys
import zipfile

MACHINES = {64: 0x8664, 32: 0x014C}
GUI, CONSOLE = 2, 3
# What the programs may load: DLLs every Windows has. Anything else (libstdc++-6.dll, libwinpthread-1.dll, ...)
# would have to be shipped beside them.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "setupapi.dll", "hid.dll",
               "advapi32.dll", "ole32.dll", "msvcrt.dll", "uxtheme.dll", "shcore.dll", "dwmapi.dll", "comdlg32.dll",
               "ws2_32.dll"}
SYSTEM_PREFIXES = ("api-ms-win-",)


class PeFile:
    def __init__(self, data):
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        self.data = data
        self.machine, sections, _, _, _, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.import_rva = struct.unpack_from("<I", data, directories + 8)[0]
        self.sections = []
        at = optional + optional_size
        for i in range(sections):
            raw_name, vsize, vaddr, rsize, roff = struct.unpack_from("<8sIIII", data, at + 40 * i)
            name = raw_name.rstrip(b"\0").decode("ascii", "replace")
            if name.startswith("/"):  # a long name, kept in the string table
                table = struct.unpack_from("<II", data, pe + 12)
                strings = table[0] + 18 * table[1]
                offset = strings + int(name[1:])
                name = data[offset:data.index(b"\0", offset)].decode("ascii", "replace")
            self.sections.append((name, vaddr, max(vsize, rsize), roff))

    def offset(self, rva):
        for _, vaddr, size, roff in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + roff
        raise ValueError(f"RVA {rva:#x} is in no section")

    def imported_dlls(self):
        dlls, at = [], self.offset(self.import_rva) if self.import_rva else None
        while at is not None:
            name_rva = struct.unpack_from("<5I", self.data, at)[3]
            if name_rva == 0:
                break
            start = self.offset(name_rva)
            dlls.append(self.data[start:self.data.index(b"\0", start)].decode("ascii").lower())
            at += 20
        return dlls

    def file_version(self):
        fixed = self.data.find(struct.pack("<I", 0xFEEF04BD))
        if fixed < 0:
            return None
        minor, major, _, patch = struct.unpack_from("<HHHH", self.data, fixed + 8)
        return f"{major}.{minor}.{patch}"


def main(argv):
    path, version, bits = argv[1], argv[2], int(argv[3])
    failures = []
    with zipfile.ZipFile(path) as archive:
        names = sorted(archive.namelist())
        expected = sorted(["tarvo-pulse-generator.exe", "tarvo-pulse-ctl.exe", "tarvo-pulse-scpi.exe", "README.txt"])
        if names != expected:
            print(f"FAIL: the zip holds {names}, not {expected}")
            return 1
        bad = archive.testzip()
        if bad:
            failures.append(f"{bad} is damaged in the zip")
        files = {name: archive.read(name) for name in names}

    for name, subsystem in (("tarvo-pulse-generator.exe", GUI), ("tarvo-pulse-ctl.exe", CONSOLE),
                            ("tarvo-pulse-scpi.exe", CONSOLE)):
        try:
            pe = PeFile(files[name])
        except ValueError as error:
            failures.append(f"{name} is not a Windows program: {error}")
            continue
        if pe.machine != MACHINES[bits]:
            failures.append(f"{name} is for machine {pe.machine:#06x}, not {bits}-bit Windows")
        if pe.subsystem != subsystem:
            failures.append(f"{name} has subsystem {pe.subsystem}, not {subsystem}")
        debug = [s[0] for s in pe.sections if s[0].startswith(".debug")]
        if debug:
            failures.append(f"{name} keeps its debug information ({', '.join(debug)})")
        foreign = [d for d in pe.imported_dlls() if d not in SYSTEM_DLLS and not d.startswith(SYSTEM_PREFIXES)]
        if foreign:
            failures.append(f"{name} needs DLLs that are not Windows' own: {', '.join(foreign)}")
        found = pe.file_version()
        if found is None and subsystem == GUI:
            failures.append(f"{name} has no version record")
        elif found is not None and found != version:
            failures.append(f"{name} has the file version {found}, not {version}")
        print(f"{name}: {len(files[name])} bytes, loads {', '.join(pe.imported_dlls())}")

    readme = files["README.txt"]
    if b"\n" in readme.replace(b"\r\n", b""):
        failures.append("README.txt has line ends without a carriage return")
    if version.encode() not in readme:
        failures.append(f"README.txt does not name the version {version}")

    for f in failures:
        print("FAIL:", f)
    print(f"{path}: {os.path.getsize(path)} bytes, {'failed' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
