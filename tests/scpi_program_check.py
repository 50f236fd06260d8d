#!/usr/bin/env python3
"""tarvo-pulse-scpi as a service manager or a user starts it, on 127.0.0.1, with a simulated generator.

    scpi_program_check.py activation PROGRAM
        As systemd starts a socket-activated service (Accept=no): two listening sockets made here are handed over
        as fds 3 and 4 with LISTEN_FDS=2, LISTEN_FDNAMES naming them (one by its protocol, one by the unit name
        that systemd gives a socket whose unit names none) and LISTEN_PID set to the server's own pid; both are
        served. Bad usage first: exit status 2 and a pointer to --help, also for a protocol it does not know.
    scpi_program_check.py console EMULATOR PROGRAM
        The Windows program under Wine, listening on a port of the system's choice; SIGINT reaches it as Ctrl+C.

Either way the server answers *IDN? (sent split, with a message merged behind it), logs the session with -v,
says nothing about being reachable from the network, and on the stop signal closes the connection still open and
exits 0 within 5 s. Every wait is bounded; the server is ended by its pid whatever happens.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

SERIAL = "TPG-SIM-0001"


class Failure(Exception):
    pass


def start_activated(program, stderr_path):
    """Forks; the child takes two fresh listeners as fds 3 and 4 and execs the server. Returns (pid, ports)."""
    listeners = []
    for _ in range(2):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        listeners.append(listener)
    ports = [listener.getsockname()[1] for listener in listeners]
    pid = os.fork()
    if pid == 0:
        try:
            # Out of the way of fds 3 and 4 first, then into them.
            for i, listener in enumerate(listeners):
                os.dup2(listener.fileno(), 100 + i)
            for i in range(len(listeners)):
                os.dup2(100 + i, 3 + i, inheritable=True)
            err = os.open(stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            os.dup2(err, 2)
            env = dict(os.environ, LISTEN_FDS="2", LISTEN_PID=str(os.getpid()),
                       LISTEN_FDNAMES="scpi-raw:tarvo-pulse-scpi.socket")
            os.execve(program, [program, "--simulate", "-v"], env)
        finally:
            os._exit(127)
    for listener in listeners:
        listener.close()
    return pid, ports


def start_console(emulator, program, stderr_path, log):
    """Starts the program listening on 127.0.0.1, port 0; returns (pid, port) once it says where it listens."""
    with open(stderr_path, "wb") as err:
        process = subprocess.Popen([emulator, program, "--simulate", "-v", "--listen", "127.0.0.1:0"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.monotonic() + 60  # Wine's first start in a prefix is slow
    while time.monotonic() < deadline and process.poll() is None:
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)", log())
        if found:
            return process.pid, int(found.group(1))
        time.sleep(0.1)
    return process.pid, None


def wait_exit(pid, seconds):
    """The exit status, or None while it still runs after `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    return None


def receive_lines(connection, count):
    data = b""
    while data.count(b"\n") < count:
        chunk = connection.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode(errors="replace")


def exchange_and_stop(pid, port, stop_signal):
    """Talks to the server, stops it; returns once it has exited 0."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
        client.sendall(b"*ID")
        time.sleep(0.1)
        client.sendall(b"N?\r\n*IDN?\n")
        answer = receive_lines(client, 2)
        lines = answer.split("\n")
        if len(lines) != 3 or lines[0] != lines[1] or len(lines[0].split(",")) != 4 or SERIAL not in lines[0]:
            raise Failure(f"*IDN? twice answered {answer!r}")
        # A message not received whole when the stop comes is dropped; the connection is closed.
        client.sendall(b"*RST")
        time.sleep(0.2)
        os.kill(pid, stop_signal)
        status = wait_exit(pid, 5)
        if status is None:
            raise Failure(f"still running 5 s after signal {stop_signal}")
        if status != 0:
            raise Failure(f"exit status {status} after signal {stop_signal}")
        if client.recv(4096) != b"":
            raise Failure("the connection got more than its end after the stop")


def main(argv):
    mode = argv[1]
    program = argv[-1]
    if mode == "activation":
        for bad in ("no-port", "gopher://127.0.0.1:70"):
            usage = subprocess.run([program, "--listen", bad], capture_output=True, text=True, timeout=30)
            if usage.returncode != 2 or "Try 'tarvo-pulse-scpi --help'." not in usage.stderr:
                print(f"FAIL: --listen {bad}: exit {usage.returncode}, {usage.stderr!r}")
                return 1

    with tempfile.TemporaryDirectory() as scratch:
        stderr_path = os.path.join(scratch, "stderr")

        def log():
            if not os.path.exists(stderr_path):
                return ""
            with open(stderr_path, errors="replace") as err:
                return err.read().replace("\r", "")

        pid = None
        try:
            if mode == "activation":
                pid, (port, other) = start_activated(program, stderr_path)
                stop_signal = signal.SIGTERM
                with socket.create_connection(("127.0.0.1", other), timeout=10) as client:
                    client.sendall(b"*IDN?\n")
                    if SERIAL not in receive_lines(client, 1):
                        raise Failure("the second socket handed over did not answer *IDN?")
            else:
                pid, port = start_console(argv[2], program, stderr_path, log)
                stop_signal = signal.SIGINT
                if port is None:
                    raise Failure("the server did not say where it listens within 60 s")
            exchange_and_stop(pid, port, stop_signal)
            pid = None
            text = log()
            if "network" in text:
                raise Failure("a server on a loopback socket warned that it is reachable from the network")
            if f"127.0.0.1:{port}" not in text or "[1] " not in text:
                raise Failure("the log lacks the listening address or the session's messages")
        except (Failure, OSError) as error:
            print(f"FAIL: {error}\n--- the server's standard error ---\n{log()}")
            return 1
        finally:
            if pid is not None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
    print(f"ok ({mode}): *IDN? answered on 127.0.0.1:{port}; exit 0 after the stop signal")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
