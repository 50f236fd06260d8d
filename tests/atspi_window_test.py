#!/usr/bin/python3
"""The Qt window as a screen reader sees and drives it, through AT-SPI (python3-pyatspi).

usage: atspi_window_test.py PROGRAM

PROGRAM is tarvo_atspi_window: the window on a simulated pulse generator, printing "ready" and then every feature
report the generator is sent. The test runs on a private X server and session bus (ctest starts it under xvfb-run
and dbus-run-session), starts the accessibility bus and PROGRAM itself and ends both by their pids. It reads
every control's role, name, value and state as a reader does, sets the frequency through the box and the button
found by their names, and picks an amplitude with the keyboard, checking the reports the generator receives byte
for byte. Prints the tree as a reader sees it. Exits 77 (skipped) where AT-SPI is not installed.
"""
import os
import select
import signal
import subprocess
import sys
import time

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
WAIT_S = 20  # every wait is bounded by this
SKIPPED = 77

WINDOW = "Tarvo Pulse Generator"
FREQUENCY_BOX = "Pulse frequency, Hz"
AMPLITUDE_LIST = "Amplitude into 50R load, mV"

# The window with the generator attached, as a reader should present it, in the order of the tree: role, name,
# the value it shows (None: the role has none), then whether it is showing, enabled and focusable. Combo boxes'
# own entry lists are left out.
SHOWN = [
    ("frame", WINDOW, None, True, True, False),
    ("panel", "Device details", None, True, True, False),
    ("label", "Product name", None, True, True, False),
    ("label", "Product name", " Pulse Generator", True, True, False),
    ("label", "Made by", None, True, True, False),
    ("label", "Made by", " Tarvo", True, True, False),
    ("label", "Version", None, True, True, False),
    ("label", "Version", " 1.00", True, True, False),
    ("label", "Serial Number", None, True, True, False),
    # Disabled while it holds the only generator attached.
    ("combo box", "Serial Number", "TPG-000123", True, False, True),
    ("panel", "Pulse output", None, True, True, False),
    ("text", FREQUENCY_BOX, "10000000", True, True, True),
    ("push button", "Pulse frequency, Hz", None, True, True, True),
    ("combo box", AMPLITUDE_LIST, "1161", True, True, True),
    ("label", AMPLITUDE_LIST, None, True, True, False),
    ("push button", "Restore default settings", None, True, True, True),
]
# What a reader passes over: the serial-number label that is never written, the hidden "Deemphasis, %" label and
# the trigger/sync group below the window's edge. They keep their roles and names, and none of them is showing.
PASSED_OVER = [
    ("label", ""),
    ("label", "Deemphasis, %"),
    ("panel", "External trigger/sync"),
    ("combo box", "Trigger/sync function"),
    ("label", "Trigger/sync function"),
    ("text", "Sync input frequency, Hz"),
    ("push button", "Sync input frequency, Hz"),
    ("combo box", "Polarity"),
    ("label", "Polarity"),
]
# Each label and the control it names: (role, name) of both.
LABELS = [
    (("label", "Product name"), ("label", "Product name")),
    (("label", "Made by"), ("label", "Made by")),
    (("label", "Version"), ("label", "Version")),
    (("label", "Serial Number"), ("combo box", "Serial Number")),
    (("label", AMPLITUDE_LIST), ("combo box", AMPLITUDE_LIST)),
]
# Tab from the amplitude list: the controls that take the focus, in the window's keyboard order, round to it.
TAB_ORDER = [("push button", "Restore default settings"), ("push button", "Pulse frequency, Hz"),
             ("text", FREQUENCY_BOX), ("combo box", AMPLITUDE_LIST)]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(what, condition):
    """Polls condition until it gives a true value or the bound passes; returns that value."""
    end = time.monotonic() + WAIT_S
    while True:
        value = condition()
        if value:
            return value
        check(time.monotonic() < end, f"gave up waiting for {what}")
        time.sleep(0.1)


class ProgramOutput:
    """PROGRAM's standard output, line by line, each read bounded in time."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.pending = b""

    def line(self, end):
        while b"\n" not in self.pending:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 4096)
            if not chunk:
                return None  # the program ended
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def expect(self, wanted):
        end = time.monotonic() + WAIT_S
        line = self.line(end)
        check(line == wanted, f"expected {wanted!r} from the program, got {line!r}")


def frame(command, payload):
    """The feature report the generator receives: report ID 0, command, 0, little-endian payload, 9 bytes."""
    body = bytes([0, command, 0]) + payload
    return "set-feature " + " ".join(f"{b:02x}" for b in body.ljust(9, b"\0"))


def session_bus_has(name):
    from gi.repository import Gio, GLib
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                          GLib.Variant("(s)", (name,)), GLib.VariantType("(b)"), Gio.DBusCallFlags.NONE, 5000, None)
    return reply.unpack()[0]


class Reader:
    """What a screen reader reads of the window, through pyatspi."""

    def __init__(self, pyatspi, window):
        self.pyatspi = pyatspi
        self.window = window

    def has(self, acc, state):
        return acc.getState().contains(state)

    def value(self, acc):
        """What the control shows: a text's content; a list's chosen entry or a value label's value, which the
        window gives as their descriptions."""
        role = acc.getRoleName()
        if role == "text":
            try:
                return acc.queryText().getText(0, -1)
            except NotImplementedError:  # a text box a reader passes over
                return None
        return acc.description or None

    def controls(self, acc=None):
        """Every object under the window, the window first, in the order of the tree; not a list's entries."""
        acc = acc or self.window
        yield acc
        if acc.getRoleName() == "combo box":
            return
        for i in range(acc.childCount):
            yield from self.controls(acc.getChildAtIndex(i))

    def find(self, role, name):
        found = [a for a in self.controls() if a.getRoleName() == role and a.name == name]
        check(len(found) == 1, f"{len(found)} {role}s named {name!r}")
        return found[0]

    def shown(self, acc):
        p = self.pyatspi
        return (acc.getRoleName(), acc.name, self.value(acc), self.has(acc, p.STATE_SHOWING),
                self.has(acc, p.STATE_ENABLED), self.has(acc, p.STATE_FOCUSABLE))

    def related(self, acc, relation):
        return [(r.getTarget(i).getRoleName(), r.getTarget(i).name) for r in acc.getRelationSet()
                if r.getRelationType() == relation for i in range(r.getNTargets())]

    def tree(self):
        """The tree as text, one object a line, indented by depth."""
        lines = []

        def walk(acc, depth):
            p = self.pyatspi
            role, name, value, showing, enabled, focusable = self.shown(acc)
            line = f"{'  ' * depth}{role} {name!r}"
            if value is not None:
                line += f" = {value!r}"
            flags = [f for f, on in (("showing", showing), ("enabled", enabled), ("focusable", focusable),
                                     ("focused", self.has(acc, p.STATE_FOCUSED))) if on]
            line += f" [{' '.join(flags)}]"
            labelled = self.related(acc, p.RELATION_LABELLED_BY)
            if labelled:
                line += " labelled by " + ", ".join(repr(n) for _, n in labelled)
            lines.append(line)
            if role == "combo box":
                return
            for i in range(acc.childCount):
                walk(acc.getChildAtIndex(i), depth + 1)

        walk(self.window, 0)
        return "\n".join(lines)

    def focused(self):
        return [a for a in self.controls() if self.has(a, self.pyatspi.STATE_FOCUSED)]

    def focus(self, acc):
        check(acc.queryComponent().grabFocus(), f"{acc.name!r} refused the focus")
        wait_until(f"the focus on {acc.name!r}", lambda: self.has(acc, self.pyatspi.STATE_FOCUSED))

    def press_key(self, keysym):
        self.pyatspi.Registry.generateKeyboardEvent(keysym, None, self.pyatspi.KEY_SYM)


def read_every_control(reader):
    shown = [reader.shown(a) for a in reader.controls() if reader.has(a, reader.pyatspi.STATE_SHOWING)]
    check(shown == SHOWN, "the controls a reader meets differ:\n  got  %s\n  want %s" % (shown, SHOWN))
    passed = [(a.getRoleName(), a.name) for a in reader.controls()
              if not reader.has(a, reader.pyatspi.STATE_SHOWING)]
    check(passed == PASSED_OVER, f"a reader passes over {passed}, not {PASSED_OVER}")
    p = reader.pyatspi
    for label, named in LABELS:
        check(any((a.getRoleName(), a.name) == label and named in reader.related(a, p.RELATION_LABEL_FOR)
                  for a in reader.controls()), f"no {label} labels {named}")
        check(any((a.getRoleName(), a.name) == named and label in reader.related(a, p.RELATION_LABELLED_BY)
                  for a in reader.controls()), f"{named} is not labelled by {label}")


def set_the_frequency(reader, output):
    box = reader.find("text", FREQUENCY_BOX)
    reader.focus(box)
    box.queryEditableText().setTextContents("12345678")
    wait_until("the typed frequency", lambda: reader.value(box) == "12345678")
    button = reader.find("push button", "Pulse frequency, Hz")
    action = button.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check("Press" in names, f"the button's actions are {names}")
    action.doAction(names.index("Press"))
    output.expect(frame(1, (12345678).to_bytes(4, "little")))


def pick_an_amplitude_with_the_keyboard(reader, output):
    amplitude = reader.find("combo box", AMPLITUDE_LIST)
    entries = amplitude.getChildAtIndex(0)
    texts = [entries.getChildAtIndex(i).name for i in range(entries.childCount)]
    before = texts.index(reader.value(amplitude))
    reader.focus(amplitude)
    reader.press_key(0xFF54)  # Down: the next entry, chosen on the closed list
    output.expect(frame(2, (before + 1).to_bytes(2, "little")))
    wait_until("the list showing the next entry", lambda: reader.value(amplitude) == texts[before + 1])


def tab_through(reader):
    reached = []
    for _ in TAB_ORDER:
        previous = reader.focused()
        reader.press_key(0xFF09)  # Tab
        now = wait_until("the focus to move", lambda: (lambda f: f if f and f != previous else None)(reader.focused()))
        reached.append((now[0].getRoleName(), now[0].name))
    check(reached == TAB_ORDER, f"Tab reaches {reached}, not {TAB_ORDER}")


def end(process):
    """Ends a process this test started, by its pid."""
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        import gi
        gi.require_version("Atspi", "2.0")
    except (ImportError, ValueError):
        print("skipped: python3-pyatspi is not installed")
        return SKIPPED
    if not os.path.exists(LAUNCHER):
        print(f"skipped: {LAUNCHER} (at-spi2-core) is not installed")
        return SKIPPED

    started = []
    try:
        started.append(subprocess.Popen([LAUNCHER, "--launch-immediately"]))
        wait_until("the accessibility bus", lambda: session_bus_has("org.a11y.Bus"))
        import pyatspi

        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        program = subprocess.Popen([sys.argv[1]], stdout=subprocess.PIPE, env=env)
        started.append(program)
        output = ProgramOutput(program.stdout)
        output.expect("ready")

        def window():
            for app in pyatspi.Registry.getDesktop(0):
                if app is not None and app.get_process_id() == program.pid:
                    return next((w for w in app if w.name == WINDOW), None)
            return None

        reader = Reader(pyatspi, wait_until("the window on the accessibility bus", window))
        # The window's first refresh has filled the amplitude list.
        wait_until("the window's values", lambda: reader.value(reader.find("combo box", AMPLITUDE_LIST)))
        print(reader.tree())
        read_every_control(reader)
        set_the_frequency(reader, output)
        pick_an_amplitude_with_the_keyboard(reader, output)
        tab_through(reader)
        print("passed")
        return 0
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        for process in reversed(started):
            end(process)


if __name__ == "__main__":
    sys.exit(main())
