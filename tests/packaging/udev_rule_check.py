#!/usr/bin/env python3
"""Checks the udev rule: what it may contain, and which devices it gives the user at the seat and the group.

    udev_rule_check.py RULES_FILE RULES_TEMPLATE DEVICE_FINDER_H GROUP

The rule is read as udev reads it and run against sysfs device chains as udev matches them: match keys on the
device itself (SUBSYSTEM, KERNEL, DEVPATH), and keys that match the device or any one device above it, all on
that same device (KERNELS, SUBSYSTEMS, ATTRS). It must tag the pulse generator's hidraw node, on USB and made
through /dev/uhid, and nothing else. The template is also filled with IDs that have hex letters, which sysfs
attributes spell in lower case and HID device names in upper case.
"""

import fnmatch
import re
import sys
from pathlib import Path

ALLOWED_MATCHES = {"SUBSYSTEM", "KERNEL", "DEVPATH", "KERNELS", "SUBSYSTEMS", "ATTRS{idVendor}", "ATTRS{idProduct}"}
OWN_KEYS = {"SUBSYSTEM", "KERNEL", "DEVPATH"}
TOKEN = re.compile(r'\s*([A-Z]+(?:\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')

failures = []


def fail(message):
    failures.append(message)


def parse(text):
    """The rules as lists of (key, operator, value); continued lines joined, comments and blank lines left out."""
    rules, line = [], ""
    for raw in text.splitlines():
        line += raw.rstrip()
        if line.endswith("\\"):
            line = line[:-1]
            continue
        stripped, line = line.strip(), ""
        if not stripped or stripped.startswith("#"):
            continue
        tokens, at = [], 0
        while at < len(stripped):
            m = TOKEN.match(stripped, at)
            if not m:
                raise SystemExit(f"cannot read the rule at: {stripped[at:]!r}")
            tokens.append((m.group(1), m.group(2), m.group(3)))
            at = m.end()
        rules.append(tokens)
    return rules


def check_contents(rules, group):
    """Only matches udev can use to find the generator, and no assignment but the uaccess tag and the group's
    read and write access (no RUN, no OWNER, no mode for others)."""
    if not rules:
        fail("no rule")
    wanted = {("TAG", "+=", "uaccess"), ("GROUP", "=", group), ("MODE", "=", "0660")}
    for rule in rules:
        keys = {k for k, op, v in rule if op in ("==", "!=")}
        assignments = [(k, op, v) for k, op, v in rule if op not in ("==", "!=")]
        if sorted(assignments) != sorted(wanted):
            fail(f"a rule must assign exactly {sorted(wanted)} and nothing else: {rule}")
        if not keys <= ALLOWED_MATCHES:
            fail(f"unexpected match keys {sorted(keys - ALLOWED_MATCHES)}: {rule}")
        if ("SUBSYSTEM", "==", "hidraw") not in rule:
            fail(f'a rule must match SUBSYSTEM=="hidraw" only: {rule}')
        if not ({"ATTRS{idVendor}", "ATTRS{idProduct}"} <= keys or "KERNELS" in keys):
            fail(f"a rule must name the vendor and product: {rule}")


def udev_glob(pattern, value):
    return any(fnmatch.fnmatchcase(value, alternative) for alternative in pattern.split("|"))


def key_matches(key, device, pattern):
    if key in ("SUBSYSTEM", "SUBSYSTEMS"):
        return udev_glob(pattern, device["subsystem"])
    if key in ("KERNEL", "KERNELS"):
        return udev_glob(pattern, device["kernel"])
    if key == "DEVPATH":
        return udev_glob(pattern, device["devpath"])
    attr = key[len("ATTRS{"):-1]
    return attr in device["attrs"] and udev_glob(pattern, device["attrs"][attr])


def tagged(rules, chain):
    """Whether some rule tags chain[0] (the device; the rest are the devices above it, nearest first)."""
    for rule in rules:
        matches = [(k, op, v) for k, op, v in rule if op in ("==", "!=")]
        own = [m for m in matches if m[0] in OWN_KEYS]
        parents = [m for m in matches if m[0] not in OWN_KEYS]

        def ok(m, device):
            return key_matches(m[0], device, m[2]) == (m[1] == "==")

        if all(ok(m, chain[0]) for m in own) and (not parents or any(all(ok(m, d) for m in parents) for d in chain)):
            return True
    return False


def device(subsystem, kernel, devpath, **attrs):
    return {"subsystem": subsystem, "kernel": kernel, "devpath": devpath, "attrs": attrs}


def usb_chain(vid, pid, node="hidraw", bus="0003"):
    """A device on USB: its node under the HID device, under the interface, under the USB device."""
    usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-2"
    hid_name = f"{bus}:{vid.upper()}:{pid.upper()}.0004"
    hid = device("hid", hid_name, f"{usb}/1-2:1.0/{hid_name}")
    interface = device("usb", "1-2:1.0", f"{usb}/1-2:1.0", bInterfaceClass="03")
    usb_device = device("usb", "1-2", usb, idVendor=vid.lower(), idProduct=pid.lower())
    if node == "hidraw":
        own = device("hidraw", "hidraw3", f"{hid['devpath']}/hidraw/hidraw3")
    else:  # the event node of the input device the same HID device makes
        own = device("input", "event7", f"{hid['devpath']}/input/input12/event7")
    return [own, hid, interface, usb_device]


def uhid_chain(vid, pid, bus="0003"):
    """A device made through /dev/uhid: nothing above its HID device but the uhid misc device."""
    hid_name = f"{bus}:{vid.upper()}:{pid.upper()}.0009"
    hid = device("hid", hid_name, f"/devices/virtual/misc/uhid/{hid_name}")
    return [device("hidraw", "hidraw5", f"{hid['devpath']}/hidraw/hidraw5"), hid,
            device("misc", "uhid", "/devices/virtual/misc/uhid")]


def i2c_chain(vid, pid):
    """A HID device on I2C (bus 0018): no USB device above it and not made through uhid."""
    hid_name = f"0018:{vid.upper()}:{pid.upper()}.0002"
    hid = device("hid", hid_name, f"/devices/pci0000:00/0000:00:15.0/i2c_designware.0/i2c-1/i2c-ELAN0001:00/{hid_name}")
    return [device("hidraw", "hidraw1", f"{hid['devpath']}/hidraw/hidraw1"), hid]


def check_matches(rules, vid, pid, where):
    other_pid = "%04x" % (int(pid, 16) ^ 1)
    other_vid = "%04x" % (int(vid, 16) ^ 0x100)
    cases = [
        ("the generator's hidraw node on USB", usb_chain(vid, pid), True),
        ("the generator's hidraw node made through uhid", uhid_chain(vid, pid), True),
        ("another product of the same vendor on USB", usb_chain(vid, other_pid), False),
        ("another vendor's device with the same product ID on USB", usb_chain(other_vid, pid), False),
        ("the generator's input event node", usb_chain(vid, pid, node="input"), False),
        ("the generator's USB device itself", usb_chain(vid, pid)[3:], False),
        ("another product made through uhid", uhid_chain(vid, other_pid), False),
        ("the same IDs on Bluetooth made through uhid", uhid_chain(vid, pid, bus="0005"), False),
        ("the same IDs on I2C", i2c_chain(vid, pid), False),
    ]
    for name, chain, expected in cases:
        if tagged(rules, chain) != expected:
            fail(f"{where}: {name} is {'not ' if expected else ''}given to the user")


def main(argv):
    rules_file, template, header = map(Path, argv[1:4])
    group = argv[4]
    ids = dict(re.findall(r"DEVICE_(VENDOR|PRODUCT)_ID = 0x([0-9A-Fa-f]+)", header.read_text()))
    vid, pid = ("%04x" % int(ids[k], 16) for k in ("VENDOR", "PRODUCT"))

    rules = parse(rules_file.read_text())
    check_contents(rules, group)
    check_matches(rules, vid, pid, f"{rules_file.name} with {vid}:{pid} from {header.name}")

    lettered = {"VENDOR": "04d8", "PRODUCT": "f0ad"}
    text = template.read_text()
    for kind, digits in lettered.items():
        text = text.replace(f"@TARVO_{kind}_ID_LOWER@", digits).replace(f"@TARVO_{kind}_ID_UPPER@", digits.upper())
    text = text.replace("@TARVO_DEVICE_GROUP@", group)
    if "@" in text:
        fail(f"{template.name} has placeholders this check does not know")
    check_matches(parse(text), lettered["VENDOR"], lettered["PRODUCT"], f"{template.name} with 04d8:f0ad")

    for message in failures:
        print("FAIL:", message)
    print(f"udev rule: {len(rules)} rules, {'failed' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
