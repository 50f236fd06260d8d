"""What the SCPI client tests expect of the generator, worked out here from the report layout rather than taken
from the server's code, and the few process and socket helpers they share (127.0.0.1 only)."""
import math
import re
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

# The nine-byte feature report the generator receives: report ID 0, the command, 0, the little-endian value,
# zeros to the end.
FEATURE_LENGTH = 9
FREQUENCY_COMMAND = 1
AMPLITUDE_COMMAND = 2


def frequency_frame(hertz):
    body = bytes([0, FREQUENCY_COMMAND, 0]) + struct.pack('<i', hertz)
    return body.ljust(FEATURE_LENGTH, b'\0')


def amplitude_frame(index):
    body = bytes([0, AMPLITUDE_COMMAND, 0]) + struct.pack('<h', index)
    return body.ljust(FEATURE_LENGTH, b'\0')


def hex_text(frame):
    """Upper-case hex bytes separated by spaces, as the virtual generators and SIMulate:LOG? show reports."""
    return ' '.join('%02X' % b for b in frame)


def log_entry(frame):
    """A report as SIMulate:LOG? quotes it."""
    return '"' + hex_text(frame) + '"'


def log_answer(frames):
    """The whole SIMulate:LOG? answer for these reports, oldest first ("" for none)."""
    return ','.join(log_entry(f) for f in frames) if frames else '""'


def amplitude_millivolts(index):
    """The amplitude of list entry `index`, one double operation at a time as the generator's list is made."""
    step = (index + 16) * 0.247
    step = step * 12.5
    return math.floor(step + 0.5)


AMPLITUDES_MV = [amplitude_millivolts(i) for i in range(511)]


def nearest_amplitude_index(millivolts):
    """The entry nearest to `millivolts`; of two equally near, the lower."""
    return min(range(len(AMPLITUDES_MV)), key=lambda i: (abs(AMPLITUDES_MV[i] - millivolts), i))


def volts_text(index):
    """VOLTage?'s answer for entry `index`: volts with three decimals."""
    mv = AMPLITUDES_MV[index]
    return '%d.%03d' % (mv // 1000, mv % 1000)


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def read_lines(sock, count, seconds):
    """Reads until `count` LF-ended lines have arrived (or `seconds` passed); returns them without their LF."""
    data = b''
    deadline = time.monotonic() + seconds
    while data.count(b'\n') < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return data.decode('ascii', 'replace').split('\n')[:min(count, data.count(b'\n'))]


def scpi_answers(port, host='127.0.0.1', timeout=5.0):
    """True once something on host:port answers *IDN? with a line. Through qemu's forwarding a connection is
    accepted on the host before anything listens in the guest, so a connection alone proves nothing."""
    try:
        with socket.create_connection((host, port), timeout=timeout) as s:
            s.sendall(b'*IDN?\n')
            return bool(read_lines(s, 1, timeout))
    except OSError:
        return False


def query_line(port, text, host='127.0.0.1', timeout=10.0):
    """Sends one message over a fresh raw-socket connection; its answer line, or None when none came."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(text.encode('ascii') + b'\n')
        lines = read_lines(s, 1, timeout)
    return lines[0] if lines else None


class ServerProcess:
    """A program a test starts (the server, or a helper such as rpcbind), its standard output and error kept;
    ended by its process id."""

    def __init__(self, command, **popen):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT, **popen)

    def wait_for_output(self, pattern, seconds):
        """The first match of `pattern` in the output, once it is there; None when the program ends or
        `seconds` pass first."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.process.poll() is None:
            found = re.search(pattern, self.output())
            if found:
                return found
            time.sleep(0.05)
        return re.search(pattern, self.output())

    def wait_for_port(self, port, seconds, host='127.0.0.1'):
        """True once something accepts connections on host:port while the program runs."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection((host, port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def stop(self):
        """SIGTERM, then SIGKILL after 10 s; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        return self.process.returncode

    def output(self):
        self.log.seek(0)
        return self.log.read().decode('utf-8', 'replace').replace('\r', '')

    def memory_kib(self):
        """The program's resident memory (Linux /proc; None elsewhere or once it has ended)."""
        try:
            with open('/proc/%d/status' % self.process.pid) as f:
                for line in f:
                    if line.startswith('VmRSS:'):
                        return int(line.split()[1])
        except OSError:
            return None
        return None


def run_tests(module, missing_reasons=()):
    """Runs the module's tests, printing each and then the counts; gives (failed, skipped for a missing client)."""
    counts = {'passed': 0, 'missing': 0}

    class Result(unittest.TextTestResult):
        def addSuccess(self, test):
            super().addSuccess(test)
            counts['passed'] += 1

        def addSkip(self, test, reason):
            super().addSkip(test, reason)
            counts['missing'] += reason in missing_reasons

    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2, resultclass=Result).run(suite)
    failed = len(result.failures) + len(result.errors)
    print('%d passed, %d failed, %d skipped' % (counts['passed'], failed, len(result.skipped)))
    return failed, counts['missing']
