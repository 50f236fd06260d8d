"""What the SCPI client tests expect of the generator, worked out here from the report layout rather than taken
from the server's code, and the few socket helpers they share (127.0.0.1 only)."""
import math
import socket
import struct
import time

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
