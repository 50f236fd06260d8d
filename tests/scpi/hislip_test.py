#!/usr/bin/env python3
"""tarvo-pulse-scpi --simulate over HiSLIP on the loopback, driven by the tests' own client (hislip_client.py):
opening, queries, a long message over several Data messages, device clear, the status byte, locks between two
sessions and the raw socket, refusals (unknown sub-address, bad first bytes, a 2^40-byte claim) and 64 sessions
dropped abruptly. Every report the simulated generator receives is checked with SIMulate:LOG? over the raw socket.

    hislip_test.py SERVER [--no-memory-limits] [--emulator CMD...]"""
import argparse
import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hislip_client as hc  # noqa: E402
from scpi_support import ServerProcess, free_port, frequency_frame, log_answer, read_lines  # noqa: E402

SERIAL = 'TPG-SIM-HISLIP'
OPTIONS = None
SERVER = None


class Server(ServerProcess):
    """The server with a HiSLIP and a raw-socket listener on free ports of 127.0.0.1 (and HiSLIP on ::1 where the
    system has IPv6)."""

    def __init__(self, command):
        self.ipv6_port = None
        for _ in range(5):  # another program may take a port between the check and the server's bind
            self.port, self.raw_port = free_port(), free_port()
            listen = ['--listen', 'hislip://127.0.0.1:%d' % self.port, '--listen', '127.0.0.1:%d' % self.raw_port]
            if socket.has_ipv6 and self._ipv6_loopback():
                self.ipv6_port = self._free_ipv6_port()
                listen += ['--listen', 'hislip://[::1]:%d' % self.ipv6_port]
            super().__init__(command + listen + ['-v', '--simulate', SERIAL])
            # The line comes once every listener is open (or never: a port was taken and the server ended).
            if self.wait_for_output(r'listening on ', 90):  # Wine's first start in a prefix takes a while
                return
            self.stop()
        raise RuntimeError('the server did not listen:\n' + self.output())

    @staticmethod
    def _ipv6_loopback():
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
                s.bind(('::1', 0))
            return True
        except OSError:
            return False

    @staticmethod
    def _free_ipv6_port():
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(('::1', 0))
            return s.getsockname()[1]

    def session(self, **options):
        return hc.Session('127.0.0.1', self.port, **options)

    def raw(self, text, answers=1):
        """Sends lines over a fresh raw-socket connection; returns `answers` answer lines."""
        with socket.create_connection(('127.0.0.1', self.raw_port), timeout=5) as s:
            s.sendall(text.encode('ascii'))
            return read_lines(s, answers, 5)


def reports():
    """What the generator received since the last look, as SIMulate:LOG? answers it."""
    return SERVER.raw('SIM:LOG?\n')[0]


def closed_after_fatal(sock):
    """The FatalError code the server sent, once it has also closed the connection."""
    try:
        hc.read_message(sock)
    except hc.FatalError as fatal:
        sock.settimeout(5)
        if sock.recv(1) != b'':
            raise AssertionError('still open after FatalError')
        return fatal.code
    raise AssertionError('no FatalError')


class Flows(unittest.TestCase):
    def setUp(self):
        reports()  # what earlier tests sent is not this test's

    def test_opening_and_queries(self):
        s = SERVER.session(version=0x0102)
        try:
            self.assertEqual(s.version, 0x0100)  # the lower of the two
            self.assertEqual(s.overlap, 0)       # synchronized mode
            self.assertEqual(s.query('FREQ 1234567;FREQ?'), SERVER.raw('FREQ?\n')[0])
            self.assertEqual(reports(), log_answer([frequency_frame(1234567)]))
            self.assertEqual(s.query('SYST:ERR?'), '0,"No error"')
            s.write('*CLS')  # a command: no answer; the next query's is the next on the wire
            self.assertEqual(s.query('SYST:ERR?'), '0,"No error"')
            self.assertEqual(s.remote_local(1)[0], hc.ASYNC_REMOTE_LOCAL_RESPONSE)
        finally:
            s.close()

    def test_ipv6(self):
        if SERVER.ipv6_port is None:
            self.skipTest('no IPv6 loopback on this system')
        s = hc.Session('::1', SERVER.ipv6_port)
        try:
            self.assertEqual(s.query('SYST:ERR?'), '0,"No error"')
        finally:
            s.close()

    def test_long_message_over_several_data_messages(self):
        s = SERVER.session()
        try:
            self.assertGreaterEqual(s.maximum_message_size(1 << 20), 4096)
            message = '*CLS;' * 1000 + 'FREQ 2345678;FREQ?'  # 5018 bytes
            answer = s.query(message, piece=700)           # eight Data messages and a DataEnd
            self.assertEqual(answer, SERVER.raw('FREQ?\n')[0])
            self.assertEqual(reports(), log_answer([frequency_frame(2345678)]))
            # A small maximum on the client's side: the answer comes in several Data messages.
            s.maximum_message_size(hc.HEADER.size + 2)
            self.assertEqual(s.query('SYST:ERR?'), '0,"No error"')
            s.maximum_message_size(1 << 20)
            # Beyond the longest message: refused, nothing of it runs, and the session goes on.
            s.write('*CLS;' * 2000 + 'FREQ 3456789', piece=4000)
            self.assertTrue(s.query('SYST:ERR?').startswith('-363,'))
            self.assertEqual(reports(), '""')
        finally:
            s.close()

    def test_device_clear_and_status(self):
        s = SERVER.session()
        try:
            s.sync.sendall(hc.encode(hc.DATA, 0, s._next_id(), b'FREQ 4567'))  # an unfinished message
            s.device_clear()
            self.assertEqual(s.query('SYST:ERR?'), '0,"No error"')
            self.assertEqual(reports(), '""')  # the unfinished message never ran
            self.assertEqual(s.status() & 0x10, 0)  # the answer above was read (RMT delivered)
            s.write('SYST:ERR?\n')
            time.sleep(0.2)
            self.assertEqual(s.status() & 0x10, 0x10)  # answered, not yet read
            s.read()
            self.assertEqual(s.status() & 0x10, 0)
            s.trigger()  # the pulses run continuously: the error *TRG gives
            time.sleep(0.2)  # the status query goes on the other connection
            self.assertEqual(s.status() & 0x04, 0x04)
            self.assertTrue(s.query('SYST:ERR?').startswith('-221,'))
        finally:
            s.close()

    def test_locks(self):
        a, b = SERVER.session(), SERVER.session()
        try:
            self.assertEqual(a.lock(0), hc.LOCK_GRANTED)
            self.assertEqual(b.lock_info(), (True, 1))
            # Others fail at once, with an error in their queue; nothing reaches the generator.
            b.write('FREQ 5678901')
            self.assertTrue(b.query('SYST:ERR?').startswith('-200,'))
            self.assertTrue(SERVER.raw('FREQ 5678901\nSYST:ERR?\n')[0].startswith('-200,'))
            self.assertEqual(reports(), '""')
            # A timed request fails when its time is up; the holder is not stalled meanwhile.
            b.lock_request(300)
            self.assertEqual(a.query('SYST:ERR?'), '0,"No error"')
            self.assertEqual(b.lock_answer(), hc.LOCK_FAILED)
            # A long wait is granted at the release, not at its timeout.
            b.lock_request(60000)
            time.sleep(0.2)
            self.assertEqual(a.unlock(), hc.LOCK_GRANTED)
            b.async_.settimeout(10)
            self.assertEqual(b.lock_answer(), hc.LOCK_GRANTED)
            b.write('FREQ 6789012')
            self.assertEqual(b.query('SYST:ERR?'), '0,"No error"')
            self.assertEqual(reports(), log_answer([frequency_frame(6789012)]))
            # A holder that drops its connections takes its lock with it.
            b.drop()
            time.sleep(0.2)
            self.assertEqual(a.lock_info(), (False, 0))
            # Shared under one key.
            c = SERVER.session()
            try:
                self.assertEqual(a.lock(0, b'bench'), hc.LOCK_GRANTED)
                self.assertEqual(c.lock(0, b'bench'), hc.LOCK_GRANTED)
                self.assertEqual(c.lock_info(), (False, 2))
                self.assertEqual(c.unlock(), hc.LOCK_SHARED_RELEASED)
                self.assertEqual(c.unlock(), hc.LOCK_ERROR)
                self.assertEqual(a.unlock(), hc.LOCK_SHARED_RELEASED)
            finally:
                c.close()
        finally:
            a.close()
            b.close()

    def test_refusals(self):
        with self.assertRaises(hc.FatalError):
            SERVER.session(sub_address=b'inst0')
        for first in (b'*IDN?\n', b'GET / HTTP/1.1\r\nHost: x\r\n\r\n', hc.encode(hc.DATA_END, 0, 0, b'FREQ 7\n')):
            with socket.create_connection(('127.0.0.1', SERVER.port), timeout=5) as sock:
                sock.sendall(first)
                self.assertIn(closed_after_fatal(sock), (1, 3))
        self.assertEqual(reports(), '""')

    def test_huge_claim(self):
        s = SERVER.session()
        try:
            before = SERVER.memory_kib()
            header = bytearray(hc.encode(hc.DATA, 0, s._next_id()))
            header[8:16] = struct.pack('!Q', 1 << 40)
            s.sync.sendall(bytes(header) + b'x' * 65536)
            kind, control, _, _ = hc.read_message(s.sync)
            self.assertEqual((kind, control), (hc.ERROR, 4))  # message too large
            after = SERVER.memory_kib()
            if before is not None and not OPTIONS.no_memory_limits:
                self.assertLess(after - before, 8 * 1024)
            other = SERVER.session()
            try:
                self.assertEqual(other.query('SYST:ERR?'), '0,"No error"')
            finally:
                other.close()
        finally:
            s.drop()

    def test_64_sessions_dropped(self):
        sessions = []
        try:
            for _ in range(64):
                sessions.append(SERVER.session())
            for s in sessions:
                s.write('SYST:ERR?')
            for s in sessions:
                self.assertEqual(s.read(), '0,"No error"\n')
            sessions[7].lock(0)
        finally:
            for s in sessions:
                s.drop()
        time.sleep(0.3)
        s = SERVER.session()
        try:
            self.assertEqual(s.lock_info(), (False, 0))
            self.assertEqual(s.query('SYST:ERR?'), '0,"No error"')
        finally:
            s.close()
        self.assertIsNone(SERVER.process.poll())


def main():
    global OPTIONS, SERVER
    parser = argparse.ArgumentParser()
    parser.add_argument('server')
    parser.add_argument('--emulator', nargs='*', default=[])
    parser.add_argument('--no-memory-limits', action='store_true')
    OPTIONS, rest = parser.parse_known_args()
    SERVER = Server(OPTIONS.emulator + [OPTIONS.server])
    try:
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
        ok = result.wasSuccessful()
    finally:
        SERVER.stop()
    # Stopped by SIGTERM after all of that: exit status 0 (a sanitizer's finding makes it fail). Under an
    # emulator the signal ends the emulator itself, so its status says nothing of the server.
    if not OPTIONS.emulator and SERVER.process.returncode != 0:
        print('the server exited with status %s' % SERVER.process.returncode)
        ok = False
    if not ok:
        print(SERVER.output()[-4000:])
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
