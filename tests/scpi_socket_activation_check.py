#!/usr/bin/env python3
"""tarvo-pulse-scpi started as systemd starts a socket-activated service (Accept=no).

    scpi_socket_activation_check.py PROGRAM

A listening socket on 127.0.0.1 made here is handed to the server as fd 3 with LISTEN_FDS=1 and LISTEN_PID set
to the server's own pid; the server answers *IDN? on it (simulated generator, -v), says nothing about being
reachable from the network, and on SIGTERM closes the connection still open and exits 0 within 5 s. Bad usage
first: exit status 2 and a pointer to --help. Every wait is bounded; the server is ended by its pid whatever
happens.
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

SERIAL = "TPG-SIM-0001"


def fail(message, log=None):
    print("FAIL:", message)
    if log:
        print("--- server's standard error ---\n" + log)
    sys.exit(1)


def start(program, listener, stderr_path):
    """Forks; the child takes the listener as fd 3 and execs the server. Returns the child's pid."""
    pid = os.fork()
    if pid == 0:
        try:
            fd = listener.fileno()
            if fd == 3:
                os.set_inheritable(3, True)
            else:
                os.dup2(fd, 3, inheritable=True)
            err = os.open(stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            os.dup2(err, 2)
            env = dict(os.environ, LISTEN_FDS="1", LISTEN_PID=str(os.getpid()))
            os.execve(program, [program, "--simulate", "-v"], env)
        finally:
            os._exit(127)
    return pid


def wait_exit(pid, seconds):
    """The exit status, or None while it still runs after `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    return None


def receive_line(connection):
    data = b""
    while not data.endswith(b"\n"):
        chunk = connection.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def main(argv):
    program = argv[1]

    usage = subprocess.run([program, "--listen", "no-port"], capture_output=True, text=True, timeout=30)
    if usage.returncode != 2 or "Try 'tarvo-pulse-scpi --help'." not in usage.stderr:
        fail(f"--listen no-port: exit {usage.returncode}, {usage.stderr!r}")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    with tempfile.TemporaryDirectory() as scratch:
        stderr_path = os.path.join(scratch, "stderr")
        pid = start(program, listener, stderr_path)
        listener.close()
        log = lambda: open(stderr_path, errors="replace").read() if os.path.exists(stderr_path) else ""
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                client.sendall(b"*IDN?\r\n")
                answer = receive_line(client).decode(errors="replace")
                fields = answer.rstrip("\n").split(",")
                if len(fields) != 4 or fields[2] != SERIAL or "\r" in answer:
                    fail(f"*IDN? answered {answer!r}", log())
                # A message not received whole when the stop comes is dropped; the connection is closed.
                client.sendall(b"*RST")
                time.sleep(0.2)
                os.kill(pid, signal.SIGTERM)
                status = wait_exit(pid, 5)
                if status is None:
                    fail("still running 5 s after SIGTERM", log())
                pid = None
                if status != 0:
                    fail(f"exit status {status} after SIGTERM", log())
                if client.recv(4096) != b"":
                    fail("the connection got more than its end after SIGTERM", log())
        finally:
            if pid is not None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        text = log()
        if "network" in text:
            fail("a server on a loopback socket warned that it is reachable from the network", text)
        if f"127.0.0.1:{port}" not in text or "[1] " not in text:
            fail("the log lacks the listening address or the session's message", text)
    print("ok: *IDN? answered on the socket handed over as fd 3; exit 0 after SIGTERM")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
