#!/usr/bin/python3
"""VXI-11 (TCPIP::HOST::INSTR) against tarvo-pulse-scpi --simulate, with clients that nobody here wrote, from
Debian's packages: PyVISA with pyvisa-py, lxi-tools (scpi and discover) and rpcinfo. Every report the simulated
generator receives (SIMulate:LOG?) is checked against the frames worked out in scpi_support.

    vxi11_test.py --server PROGRAM [--emulator LOADER]

LOADER runs the program (Wine's loader for the Windows build); then the tests of rpcbind, of sockets handed
over by systemd and of broadcasts on Linux's terms are skipped, since Windows has none of them.

The portmapper needs port 111, so everything runs as root inside a network and mount namespace of its own (its
own loopback, its own /run, so no rpcbind of the machine's is seen or touched); `lxi discover` runs in a second
namespace joined to the first by a veth pair, since it broadcasts on every interface it sees. Elsewhere the
tests are skipped with the reason. Prints "N passed, N failed, N skipped"; exits 0, 1 on a failure, or 77 when
skipped for want of root or of a client's Debian package.
"""
import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scpi_support import (ServerProcess, amplitude_frame, frequency_frame, log_answer,  # noqa: E402
                          nearest_amplitude_index, read_lines, run_tests, volts_text)

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend '@py' needs it)
    MISSING_PYVISA = None
except ImportError as e:
    MISSING_PYVISA = 'python3-pyvisa and python3-pyvisa-py are needed (%s)' % e
MISSING_LXI = None if shutil.which('lxi') else 'lxi-tools is needed (no lxi program)'
MISSING_RPCINFO = None if shutil.which('rpcinfo') else 'rpcbind is needed (no rpcinfo program)'
RPCBIND = shutil.which('rpcbind') or ('/usr/sbin/rpcbind' if os.path.exists('/usr/sbin/rpcbind') else None)

SERIAL = 'TPG-SIM-VXI11'
RAW_PORT = 5025
CORE_PROGRAM = 0x0607AF
OPTIONS = None
INSTR = 'TCPIP::127.0.0.1::INSTR'


def run(command, timeout=20, check=True):
    """Runs a program to its end (or kills it, by its id, after `timeout`); returns its output."""
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout)
    output = done.stdout.decode('utf-8', 'replace')
    if check and done.returncode != 0:
        raise AssertionError('%s failed (%d):\n%s' % (' '.join(command), done.returncode, output))
    return output


def start_server(*listen):
    command = ([OPTIONS.emulator] if OPTIONS.emulator else []) + [OPTIONS.server, '-v', '--simulate', SERIAL]
    for address in listen:
        command += ['--listen', address]
    server = ServerProcess(command)
    # The line comes once every listener is open; the raw port alone may be open before the portmapper's.
    if not server.wait_for_output(r'listening on ', 120):  # Wine's first start in a prefix takes a while
        server.stop()
        raise RuntimeError('the server did not listen:\n' + server.output())
    return server


def rpc_call(xid, program, version, procedure, arguments=b''):
    """One ONC RPC call in one record, AUTH_NONE."""
    body = struct.pack('>10I', xid, 0, 2, program, version, procedure, 0, 0, 0, 0) + arguments
    return struct.pack('>I', 0x80000000 | len(body)) + body


def rpc_reply(sock):
    """The result words of one reply record (after the accept status, which must be SUCCESS)."""
    sock.settimeout(10)
    data = b''
    while len(data) < 4 or len(data) < 4 + (struct.unpack('>I', data[:4])[0] & 0x7FFFFFFF):
        chunk = sock.recv(4096)
        if not chunk:
            raise AssertionError('the connection closed before the reply')
        data += chunk
    words = struct.unpack('>%dI' % ((len(data) - 4) // 4), data[4:4 + (len(data) - 4) // 4 * 4])
    assert words[1] == 1 and words[2] == 0 and words[5] == 0, words
    return words[6:]


def core_port():
    """The core channel's port, as the portmapper tells it."""
    with socket.create_connection(('127.0.0.1', 111), timeout=10) as s:
        s.sendall(rpc_call(1, 100000, 2, 3, struct.pack('>4I', CORE_PROGRAM, 1, 6, 0)))
        return rpc_reply(s)[0]


def raw_session():
    return socket.create_connection(('127.0.0.1', RAW_PORT), timeout=10)


def raw_query(sock, text):
    sock.sendall(text.encode() + b'\n')
    return read_lines(sock, 1, 10)[0]


NEEDS_PYVISA = unittest.skipIf(MISSING_PYVISA, MISSING_PYVISA)


class OwnPortmapperTest(unittest.TestCase):
    """The server's own portmapper on port 111, its core channel, and the clients that find it there (PyVISA's
    INSTR resource asks the portmapper first)."""

    @classmethod
    def setUpClass(cls):
        if OPTIONS.emulator:
            # Under Wine the tests share the machine's own network (see main): its ports must be free.
            for port in (111, RAW_PORT):
                with socket.socket() as probe:
                    if probe.connect_ex(('127.0.0.1', port)) == 0:
                        raise unittest.SkipTest('port %d of 127.0.0.1 is taken on this machine' % port)
        cls.server = start_server('127.0.0.1:%d' % RAW_PORT, 'vxi11://127.0.0.1:0')

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        # Under Wine a signal ends the process outright; the Windows program's own stop is tested elsewhere.
        if status != 0 and not OPTIONS.emulator:
            raise AssertionError('the server ended with status %s on SIGTERM:\n%s' % (status, cls.server.output()))

    def open(self, timeout=10000):
        instrument = pyvisa.ResourceManager('@py').open_resource(INSTR, timeout=timeout)
        self.addCleanup(instrument.close)
        return instrument

    @NEEDS_PYVISA
    def test_sets_and_reads_frequency_and_amplitude_without_read_termination(self):
        visa = self.open()
        visa.query('SIM:LOG?')  # what earlier tests sent is not this test's
        visa.write('FREQ 12345678.5')
        visa.write('VOLT 0.8')
        index = nearest_amplitude_index(800)
        # The message ends at END: no termination is needed; the answer keeps its LF.
        self.assertEqual(visa.query('FREQ?'), '12345679\n')
        self.assertEqual(visa.query('VOLT?'), volts_text(index) + '\n')
        self.assertEqual(visa.query('SIM:LOG?'),
                         log_answer([frequency_frame(12345679), amplitude_frame(index)]) + '\n')
        self.assertEqual(visa.query('SYST:ERR?'), '0,"No error"\n')
        self.assertTrue(visa.query('*IDN?').split(',')[2] == SERIAL)

    @NEEDS_PYVISA
    def test_status_byte_shows_an_unread_answer_and_clear_drops_it(self):
        visa = self.open()
        visa.write('*IDN?')
        self.assertEqual(visa.read_stb() & 0x10, 0x10)
        visa.clear()
        self.assertEqual(visa.read_stb() & 0x10, 0)
        self.assertEqual(visa.query('*OPC?'), '1\n')

    @NEEDS_PYVISA
    def test_an_exclusive_lock_holds_against_another_link_and_a_raw_socket_session(self):
        holder = self.open()
        other = self.open(timeout=2000)
        holder.query('SIM:LOG?')
        holder.lock_excl()
        try:
            with self.assertRaises(pyvisa.errors.VisaIOError):
                other.write('FREQ 1000000')
            with self.assertRaises(pyvisa.errors.VisaIOError):
                other.lock_excl()
            with raw_session() as raw:
                raw.sendall(b'FREQ 2000000\n')
                error = raw_query(raw, 'SYST:ERR?')
                self.assertTrue(error.startswith('-200,'), error)
            holder.write('FREQ 3000000')  # the holder is never held up
            self.assertEqual(holder.query('SIM:LOG?'), log_answer([frequency_frame(3000000)]) + '\n')
        finally:
            holder.unlock()
        other.write('FREQ 4000000')
        self.assertEqual(other.query('SIM:LOG?'), log_answer([frequency_frame(4000000)]) + '\n')

    @NEEDS_PYVISA
    def test_a_link_waiting_for_the_lock_gets_it_when_the_holder_unlocks(self):
        # pyvisa-py never sets the waitlock flag, so the waiting link speaks RPC here.
        holder = self.open()
        holder.lock_excl()
        with socket.create_connection(('127.0.0.1', core_port()), timeout=10) as s:
            s.sendall(rpc_call(1, CORE_PROGRAM, 1, 10, struct.pack('>4I', 1, 0, 0, 5) + b'inst0\0\0\0'))
            error, link = rpc_reply(s)[:2]
            self.assertEqual(error, 0)
            s.sendall(rpc_call(2, CORE_PROGRAM, 1, 18, struct.pack('>3I', link, 1, 60000)))  # waitlock, 60 s
            self.assertEqual(holder.query('*OPC?'), '1\n')  # the holder goes on meanwhile
            holder.unlock()
            self.assertEqual(rpc_reply(s)[0], 0)  # granted at the release, long before its 60 s
            with self.assertRaises(pyvisa.errors.VisaIOError):
                holder.write('FREQ 1000000')

    @NEEDS_PYVISA
    def test_a_lock_ends_when_its_connection_drops(self):
        port = core_port()
        with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
            s.sendall(rpc_call(1, CORE_PROGRAM, 1, 10, struct.pack('>3I', 1, 1, 0) + struct.pack('>I', 5) +
                               b'inst0\0\0\0'))
            error, link = rpc_reply(s)[:2]
            self.assertEqual(error, 0)
        # The connection is gone with its link and lock: another link may lock at once.
        visa = self.open()
        deadline = time.monotonic() + 10
        while True:
            try:
                visa.lock_excl(timeout=0)
                break
            except pyvisa.errors.VisaIOError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        visa.unlock()

    @NEEDS_PYVISA
    def test_bytes_of_other_protocols_close_the_connection_and_reach_nothing(self):
        visa = self.open()
        visa.query('SIM:LOG?')
        for port in (core_port(), 111):
            for text in (b'FREQ 1000000\n', b'GET / HTTP/1.1\r\nHost: x\r\n\r\n'):
                with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
                    s.sendall(text)
                    s.settimeout(10)
                    self.assertEqual(s.recv(100), b'')  # closed, nothing answered
        self.assertEqual(visa.query('SIM:LOG?'), '""\n')

    def test_the_link_limit_answers_out_of_resources(self):
        port = core_port()
        sockets = []
        try:
            errors = []
            for i in range(130):
                s = socket.create_connection(('127.0.0.1', port), timeout=10)
                sockets.append(s)
                s.sendall(rpc_call(i, CORE_PROGRAM, 1, 10, struct.pack('>4I', 1, 0, 0, 5) + b'inst0\0\0\0'))
                errors.append(rpc_reply(s)[0])
            self.assertIn(9, errors)
            self.assertEqual(set(errors), {0, 9})
        finally:
            for s in sockets:
                s.close()

    @unittest.skipIf(MISSING_LXI, MISSING_LXI)
    def test_lxi_scpi_in_vxi11_mode_answers_idn(self):
        output = run(['lxi', 'scpi', '-a', '127.0.0.1', '-t', '10', '*IDN?'])
        self.assertIn(SERIAL, output)

    @unittest.skipIf(MISSING_RPCINFO, MISSING_RPCINFO)
    def test_rpcinfo_lists_the_program_over_tcp_and_udp(self):
        port = core_port()
        for transport in ('tcp', 'udp'):
            listing = run(['rpcinfo', '-T', transport, '-p', '127.0.0.1'])
            self.assertRegex(listing, r'395183\s+1\s+tcp\s+%d' % port)
            self.assertRegex(listing, r'100000\s+2\s+udp\s+111')
        self.assertIn('ready and waiting', run(['rpcinfo', '-T', 'tcp', '127.0.0.1', '395183', '1']))


@unittest.skipIf(MISSING_PYVISA or not RPCBIND, MISSING_PYVISA or 'rpcbind is needed (no rpcbind program)')
class RunningRpcbindTest(unittest.TestCase):
    """On a host whose rpcbind holds port 111 the server registers with it, and removes that at its end."""

    def setUp(self):
        if OPTIONS.emulator:
            self.skipTest('Windows has no rpcbind to register with')

    def test_registers_with_rpcbind_and_serves_through_it(self):
        rpcbind = ServerProcess([RPCBIND, '-f'])
        try:
            self.assertTrue(rpcbind.wait_for_port(111, 30), rpcbind.output())
            server = start_server('127.0.0.1:%d' % RAW_PORT, 'vxi11://127.0.0.1:0')
            try:
                self.assertIn('395183', run(['rpcinfo', '-p', '127.0.0.1']))
                visa = pyvisa.ResourceManager('@py').open_resource(INSTR, timeout=10000)
                try:
                    self.assertEqual(visa.query('*IDN?').split(',')[2], SERIAL)
                finally:
                    visa.close()
            finally:
                self.assertEqual(server.stop(), 0, server.output())
            self.assertIn('registered with the portmapper', server.output())
            self.assertNotIn('395183', run(['rpcinfo', '-p', '127.0.0.1']))
        finally:
            rpcbind.stop()


class HandedOverTest(unittest.TestCase):
    """Started as systemd starts the service: the core channel's and the portmapper's sockets handed over by
    name (LISTEN_FDNAMES), bound before the server runs."""

    def setUp(self):
        if OPTIONS.emulator:
            self.skipTest('Windows has no systemd to hand sockets over')

    @unittest.skipIf(MISSING_RPCINFO, MISSING_RPCINFO)
    def test_serves_the_sockets_it_is_handed(self):
        core = socket.socket()
        core.bind(('127.0.0.1', 0))
        core.listen(16)
        mapper = socket.socket()
        mapper.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        mapper.bind(('127.0.0.1', 111))
        mapper.listen(16)
        datagrams = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        datagrams.bind(('127.0.0.1', 111))
        handed = [core, mapper, datagrams]

        def as_fds_3_4_5():
            for number, sock in enumerate(handed, 3):
                os.dup2(sock.fileno(), number)
                os.set_inheritable(number, True)

        # LISTEN_PID must name the server's own process: the shell's, which exec keeps.
        server = ServerProcess(['sh', '-c', 'LISTEN_PID=$$ LISTEN_FDS=3 LISTEN_FDNAMES=vxi11:vxi11-portmapper:'
                          'vxi11-portmapper exec "$0" --simulate %s -v' % SERIAL, OPTIONS.server],
                         preexec_fn=as_fds_3_4_5, close_fds=False)
        for sock in handed:
            sock.close()
        try:
            deadline = time.monotonic() + 30
            listing = ''
            while '395183' not in listing and time.monotonic() < deadline and server.process.poll() is None:
                listing = run(['rpcinfo', '-T', 'udp', '-p', '127.0.0.1'], check=False)
                time.sleep(0.1)
            self.assertIn('395183', listing, server.output())
            if not MISSING_LXI:
                self.assertIn(SERIAL, run(['lxi', 'scpi', '-a', '127.0.0.1', '-t', '10', '*IDN?']))
        finally:
            self.assertEqual(server.stop(), 0, server.output())


@unittest.skipIf(MISSING_LXI, MISSING_LXI)
class DiscoverTest(unittest.TestCase):
    """`lxi discover` in a second namespace finds the server listening on one address of a veth pair."""

    def setUp(self):
        if OPTIONS.emulator:
            self.skipTest("Wine's sockets follow Linux's rules for broadcasts, not Windows'")
        run(['ip', 'link', 'add', 'tarvo-vx0', 'type', 'veth', 'peer', 'name', 'tarvo-vx1'])
        self.addCleanup(run, ['ip', 'link', 'del', 'tarvo-vx0'], 20, False)
        run(['ip', 'netns', 'add', 'tarvo-vxi11-peer'])
        self.addCleanup(run, ['ip', 'netns', 'del', 'tarvo-vxi11-peer'], 20, False)
        run(['ip', 'link', 'set', 'tarvo-vx1', 'netns', 'tarvo-vxi11-peer'])
        run(['ip', 'addr', 'add', '10.77.0.1/24', 'brd', '+', 'dev', 'tarvo-vx0'])
        run(['ip', 'link', 'set', 'tarvo-vx0', 'up'])
        peer = ['ip', 'netns', 'exec', 'tarvo-vxi11-peer']
        run(peer + ['ip', 'addr', 'add', '10.77.0.2/24', 'brd', '+', 'dev', 'tarvo-vx1'])
        run(peer + ['ip', 'link', 'set', 'tarvo-vx1', 'up'])
        run(peer + ['ip', 'link', 'set', 'lo', 'up'])

    def test_discover_finds_the_server_by_broadcast(self):
        server = start_server('127.0.0.1:%d' % RAW_PORT, 'vxi11://10.77.0.1:0')
        try:
            output = run(['ip', 'netns', 'exec', 'tarvo-vxi11-peer', 'lxi', 'discover', '-t', '3'], timeout=60)
            self.assertIn('on address 10.77.0.1', output)
            self.assertIn(SERIAL, output)
        finally:
            self.assertEqual(server.stop(), 0, server.output())


def inside(own_namespaces=True):
    """In the namespaces: their loopback up, an empty /run of their own."""
    if own_namespaces:
        run(['ip', 'link', 'set', 'lo', 'up'])
        run(['mount', '-t', 'tmpfs', 'tmpfs', '/run'])
    failed, _ = run_tests(sys.modules[__name__])
    return 1 if failed else (77 if MISSING_PYVISA or MISSING_LXI or MISSING_RPCINFO else 0)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument('--server', required=True)
    parser.add_argument('--emulator')
    parser.add_argument('--inside', action='store_true')
    OPTIONS = parser.parse_args()
    if OPTIONS.inside:
        return inside()
    if os.geteuid() != 0:
        print('skipped: port 111 and network namespaces need root (CI runs this as root)')
        return 77
    if OPTIONS.emulator:
        # Under Wine the program's sockets are made by the wineserver, which may already run outside any
        # namespace made here: the tests run in the machine's own network, and those that need a namespace of
        # their own (rpcbind, sockets handed over, broadcasts) are skipped there anyway.
        return inside(own_namespaces=False)
    if not shutil.which('unshare') or not shutil.which('ip'):
        print('skipped: unshare (util-linux) and ip (iproute2) are needed')
        return 77
    probe = subprocess.run(['unshare', '--net', '--mount', 'true'], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, timeout=30)
    if probe.returncode != 0:
        print('skipped: this machine allows no network namespace here (%s)' % probe.stderr.decode().strip())
        return 77
    child = subprocess.Popen(['unshare', '--net', '--mount', '--propagation', 'private', sys.executable,
                              os.path.abspath(__file__), '--server', OPTIONS.server, '--inside'] +
                             (['--emulator', OPTIONS.emulator] if OPTIONS.emulator else []))
    try:
        return child.wait(600)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait(10)
        print('the tests took more than 600 s')
        return 1


if __name__ == '__main__':
    sys.exit(main())
