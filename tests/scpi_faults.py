#!/usr/bin/env python3
"""The SCPI server under load and under attack, on the loopback, in --simulate mode.

    scpi_faults.py clients SERVER   # 64 sessions while the generator is unplugged and plugged again twice
    scpi_faults.py hostile SERVER [--no-memory-limits]
                                    # broken and hostile clients beside a good one; memory; SIGTERM

--no-memory-limits: the memory figures are printed but not checked (a sanitizer's allocator keeps what was freed
in quarantine, so the server's resident size says nothing there).

Each run starts its own server on a free port and ends it by its pid. Every wait is bounded: a reply that does
not come within REPLY_TIMEOUT seconds fails the run, and every loop has a count and a deadline.
"""

import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SERIAL = "TPG-FLT-0001"
REPLY_TIMEOUT = 15.0
failures = []
failures_lock = threading.Lock()


def fail(message):
    with failures_lock:
        failures.append(message)
    print("FAIL:", message, flush=True)


# --- The server -------------------------------------------------------------------------------------------


class Server:
    """tarvo-pulse-scpi --simulate on a free loopback port, its standard error in a file."""

    def __init__(self, program):
        self.log = tempfile.NamedTemporaryFile(prefix="scpi-faults-", suffix=".log", delete=False)
        for _ in range(5):
            self.port = free_port()
            self.process = subprocess.Popen([program, "--listen", f"127.0.0.1:{self.port}", "--simulate", SERIAL],
                                            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
            if self.wait_listening():
                return
            self.stop()
        raise SystemExit("the server did not start listening: " + self.log_tail())

    def wait_listening(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def connect(self, **options):
        return Client(self.port, **options)

    def rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("no VmRSS")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)

    def log_tail(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return "".join(f.readlines()[-20:])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Client:
    """One connection: whole messages out, whole response lines in."""

    def __init__(self, port, rcvbuf=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(REPLY_TIMEOUT)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def send(self, message):
        self.sock.sendall(message.encode() + b"\n")

    def line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("the server closed the connection")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode(errors="replace")

    def ask(self, message):
        self.send(message)
        return self.line()

    def errors(self):
        """The session's error queue, drained: (code, text) pairs, oldest first."""
        found = []
        for _ in range(100):
            code, _, text = self.ask("SYST:ERR?").partition(",")
            if int(code) == 0:
                return found
            found.append((int(code), text))
        raise RuntimeError("the error queue does not empty")

    def close(self):
        self.sock.close()


# --- 64 sessions while the generator comes and goes --------------------------------------------------------

CLIENTS = 64
DEVICE_GONE = (-241, -240)  # hardware missing; a present generator that failed a request


def session(server, index, ready, plugging_done, stats):
    """One session's loop: its own frequencies, amplitudes and errors; every answer and error checked."""
    answered = gone = 0
    c = None
    try:
        # Every session works with the generator before it is unplugged, so that it keeps its serial number.
        c = server.connect()
        first = 1_000_000 + index * 10_000
        if c.ask(f"FREQ {first};:FREQ?") != str(first):
            fail(f"session {index}: the first FREQ? does not answer {first}")
    except (OSError, ValueError, RuntimeError) as e:
        fail(f"session {index}: cannot start: {type(e).__name__}: {e}")
        ready.abort()
    try:
        ready.wait()
        after_plugging = 0
        for round_ in range(1, 2000):
            if plugging_done.is_set():
                after_plugging += 1
                if after_plugging > 5:
                    break
            frequency = first + round_  # no other session ever sends this value
            reply = c.ask(f"FREQ {frequency};:FREQ?;*OPC?")
            c.send(f"VOLT 0.{100 + index}")  # no reply
            c.send(f"SESSION{index}:BOGUS {round_}")  # -113, no reply
            found = c.errors()
            codes = [code for code, _ in found]
            if reply == f"{frequency};1":
                answered += 1
                expected_gone = (0, 1)  # the amplitude may meet the generator gone
            elif reply == "1":
                gone += 1
                expected_gone = (2, 3)  # FREQ and FREQ? failed, and perhaps VOLT
            else:
                fail(f"session {index}: FREQ {frequency};:FREQ?;*OPC? answered {reply!r}")
                break
            if codes.count(-113) != 1 or codes[-1] != -113:
                fail(f"session {index}: its undefined header left {found}")
            device_errors = [code for code in codes if code != -113]
            if any(code not in DEVICE_GONE for code in device_errors) or len(device_errors) not in expected_gone:
                fail(f"session {index}: after {reply!r} its queue held {found}")
            if after_plugging == 5 and reply != f"{frequency};1":
                fail(f"session {index}: the generator plugged in again does not answer: {reply!r}, {found}")
        if after_plugging <= 5:
            fail(f"session {index}: did not finish its rounds after the plugging")
    except (OSError, ValueError, RuntimeError) as e:
        fail(f"session {index}: {type(e).__name__}: {e}")
    finally:
        if c:
            c.close()
        with failures_lock:
            stats["answered"] += answered
            stats["gone"] += gone


def run_clients(program):
    server = Server(program)
    try:
        ready = threading.Barrier(CLIENTS + 1, timeout=60)
        plugging_done = threading.Event()
        stats = {"answered": 0, "gone": 0}
        threads = [threading.Thread(target=session, args=(server, i, ready, plugging_done, stats))
                   for i in range(CLIENTS)]
        for t in threads:
            t.start()
        control = server.connect()
        try:
            ready.wait()
            for cycle in range(2):
                time.sleep(0.3)
                control.send(f'SIM:UNPL "{SERIAL}"')
                time.sleep(0.3)
                control.send(f'SIM:PLUG "{SERIAL}"')
                if control.errors():
                    fail(f"cycle {cycle}: the control session's plugging left errors")
        except threading.BrokenBarrierError:
            fail("not every session could start")
        plugging_done.set()
        for t in threads:
            t.join(timeout=120)
            if t.is_alive():
                fail("a session did not end")
                return
        print(f"clients: {stats['answered']} set-and-read messages answered, {stats['gone']} met the generator gone",
              flush=True)
        if stats["gone"] == 0:
            fail("no session met the generator unplugged")

        # When the others have stopped, what one session sets is what the generator holds.
        last = 123_456_789
        control.send(f"FREQ {last}")
        reader = server.connect()
        if reader.ask("FREQ?") != str(last):
            fail(f"the generator does not hold the last frequency {last}")
        if not reader.ask("*IDN?").count(",") == 3:
            fail("*IDN? after the sessions ended is not four fields")
        if reader.errors() or control.errors():
            fail("errors after the sessions ended")
        reader.close()
        control.close()
        if server.process.poll() is not None:
            fail(f"the server ended: {server.process.returncode}")
    finally:
        server.stop()
        if failures:
            print(server.log_tail())


# --- Hostile clients -----------------------------------------------------------------------------------------

MIB = 1024 * 1024
LONG_LINE = 100 * MIB
RANDOM_BYTES = 4 * MIB
NEVER_READ_LIMIT = 256 * MIB
# What the hostile clients may cost the server while they are connected, and what may stay after they left.
GROWTH_LIMIT_KIB = 64 * 1024
LEFTOVER_LIMIT_KIB = 8 * 1024


def long_line(server):
    """100 MB with no LF, then its end: one -363 for the whole line, and the session goes on."""
    c = server.connect()
    try:
        chunk = b"FREQ " + b"9" * (MIB - 5)
        for _ in range(LONG_LINE // MIB):
            c.sock.sendall(chunk)
        c.sock.sendall(b"\n")
        found = c.errors()
        if [code for code, _ in found] != [-363]:
            fail(f"the 100 MB line left {found}, not one -363")
        if c.ask("*OPC?") != "1":
            fail("the session of the 100 MB line does not go on")
    except (OSError, ValueError, RuntimeError) as e:
        fail(f"the 100 MB line: {type(e).__name__}: {e}")
    finally:
        c.close()


def random_bytes(server):
    """Random bytes, then a line end and a query: still answered."""
    c = server.connect()
    try:
        data = random.Random(23).randbytes(RANDOM_BYTES)
        for at in range(0, len(data), 65536):
            c.sock.sendall(data[at:at + 65536])
        c.send("\n*CLS;*ESE 0;*OPC?")
        for _ in range(100000):  # random queries may have been answered first
            if c.line() == "1":
                break
        else:
            fail("the random bytes' session was never answered again")
    except (OSError, ValueError, RuntimeError) as e:
        fail(f"random bytes: {type(e).__name__}: {e}")
    finally:
        c.close()


def never_reads(server):
    """Queries whose answers are never read, until the server stops reading them; the connection stays open.
    Returns the client (to close later) and how many bytes the server took."""
    c = server.connect(rcvbuf=4096)
    c.sock.setblocking(False)
    message = b"*IDN?;*IDN?;*IDN?;*IDN?\n" * 2048
    sent, stalled_since = 0, None
    deadline = time.monotonic() + 30
    while sent < NEVER_READ_LIMIT and time.monotonic() < deadline:
        try:
            sent += c.sock.send(message)
            stalled_since = None
        except BlockingIOError:
            stalled_since = stalled_since or time.monotonic()
            if time.monotonic() - stalled_since > 2:
                break
            time.sleep(0.01)
    return c, sent


def good_client(server, stop, out):
    """A well-behaved session beside the others: every one of its queries is answered, with its own value."""
    c = server.connect()
    try:
        for round_ in range(1, 1_000_000):
            frequency = 2_000_000 + round_ % 1_000_000
            reply = c.ask(f"FREQ {frequency};:FREQ?")
            if reply != str(frequency):
                fail(f"the good session's FREQ {frequency};:FREQ? answered {reply!r}")
                break
            out["frequency"] = frequency
            out["answers"] = round_
            if stop.is_set():
                break
    except (OSError, ValueError, RuntimeError) as e:
        fail(f"the good session: {type(e).__name__}: {e}")
    finally:
        c.close()


def sample_rss(server, stop, out):
    while not stop.is_set():
        out["peak"] = max(out["peak"], server.rss_kib())
        time.sleep(0.05)


def run_hostile(program, memory_limits=True):
    server = Server(program)
    try:
        warm = server.connect()  # the generator opened, as the sessions below will have it
        warm.ask("FREQ?")
        warm.close()
        time.sleep(0.2)
        idle = server.rss_kib()

        stop = threading.Event()
        good = {"answers": 0, "frequency": 0}
        memory = {"peak": idle}
        helpers = [threading.Thread(target=good_client, args=(server, stop, good)),
                   threading.Thread(target=sample_rss, args=(server, stop, memory))]
        for t in helpers:
            t.start()
        silent = server.connect()  # connects and never sends
        stuck, taken = never_reads(server)
        hostile = [threading.Thread(target=long_line, args=(server,)),
                   threading.Thread(target=random_bytes, args=(server,))]
        for t in hostile:
            t.start()
        for t in hostile:
            t.join(timeout=90)
            if t.is_alive():
                fail("a hostile client did not finish")
        answers_during = good["answers"]
        time.sleep(0.5)
        stop.set()
        for t in helpers:
            t.join(timeout=30)
        print(f"hostile: the server took {taken / MIB:.1f} MiB of queries that were never read", flush=True)
        if taken >= NEVER_READ_LIMIT:
            fail("the server kept reading from a session that never reads its answers")
        if answers_during == 0:
            fail("the good session was not answered while the hostile ones ran")

        stuck.close()
        silent.close()
        time.sleep(0.5)
        after = server.rss_kib()
        print(f"hostile: VmRSS idle {idle} KiB, peak {memory['peak']} KiB, after the sessions left {after} KiB; "
              f"the good session had {good['answers']} answers", flush=True)
        if memory_limits and memory["peak"] - idle > GROWTH_LIMIT_KIB:
            fail(f"the server grew by {memory['peak'] - idle} KiB under the hostile sessions")
        if memory_limits and after - idle > LEFTOVER_LIMIT_KIB:
            fail(f"the server kept {after - idle} KiB after the hostile sessions left")

        # Still serving; then SIGTERM with a session connected and half a message received: exit 0 within 5 s.
        c = server.connect()
        if c.ask("*OPC?") != "1":
            fail("the server does not serve after the hostile sessions")
        c.sock.sendall(b"FREQ 30000")
        time.sleep(0.1)
        if server.process.poll() is not None:
            fail(f"the server ended: {server.process.returncode}")
        else:
            server.process.send_signal(signal.SIGTERM)
            try:
                status = server.process.wait(timeout=5)
                if status != 0:
                    fail(f"after SIGTERM the server exited {status}, not 0")
            except subprocess.TimeoutExpired:
                fail("the server did not exit within 5 s of SIGTERM")
        c.close()
    finally:
        server.stop()
        if failures:
            print(server.log_tail())


def main(argv):
    if argv[1:2] == ["clients"] and len(argv) == 3:
        run_clients(argv[2])
    elif argv[1:2] == ["hostile"] and len(argv) in (3, 4) and argv[4:] in ([], ["--no-memory-limits"]):
        run_hostile(argv[2], memory_limits=len(argv) == 3)
    else:
        print(__doc__)
        return 2
    print(f"scpi_faults {argv[1]}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
