#!/usr/bin/python3
"""Clients that nobody here wrote, from Debian's packages, against tarvo-pulse-scpi --simulate on 127.0.0.1:
PyVISA with pyvisa-py, the PyMeasure class shipped in docs/examples, lxi-tools, and a plain socket for split and
merged writes. Every report the simulated generator receives (SIMulate:LOG?) is checked against the frames
worked out in scpi_support.

    clients_test.py --server PROGRAM --example PATH [--emulator LOADER]

LOADER runs the program (Wine's loader for the Windows build). Prints "N passed, N failed, N skipped"; exits 0,
1 on a failure, or 77 when no test failed but some were skipped because a client's Debian package is missing.
"""
import argparse
import importlib.util
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scpi_support import (ServerProcess, amplitude_frame, free_port, frequency_frame, log_answer,  # noqa: E402
                          nearest_amplitude_index, read_lines, run_tests, volts_text)

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend '@py' needs it)
    MISSING_PYVISA = None
except ImportError as e:
    MISSING_PYVISA = 'python3-pyvisa and python3-pyvisa-py are needed (%s)' % e
try:
    import pymeasure  # noqa: F401
    MISSING_PYMEASURE = None
except ImportError as e:
    MISSING_PYMEASURE = 'python3-pymeasure is needed (%s)' % e
MISSING_LXI = None if shutil.which('lxi') else 'lxi-tools is needed (no lxi program)'

SERIAL = 'TPG-SIM-CLIENTS'
OPTIONS = None   # the command line
SERVER = None    # the running server: its process, port and log


class Server(ServerProcess):
    """The server under test, on a free port of 127.0.0.1."""

    def __init__(self, command):
        for _ in range(5):  # another program may take the port between the check and the server's bind
            self.port = free_port()
            super().__init__(command + ['--listen', '127.0.0.1:%d' % self.port, '-v', '--simulate', SERIAL])
            if self.wait_for_port(self.port, 90):  # Wine's first start in a prefix takes a while
                return
            self.stop()
        raise RuntimeError('the server did not listen:\n' + self.output())

    def resource(self):
        return 'TCPIP::127.0.0.1::%d::SOCKET' % self.port


def setUpModule():
    global SERVER
    SERVER = Server(([OPTIONS.emulator] if OPTIONS.emulator else []) + [OPTIONS.server])


def tearDownModule():
    SERVER.stop()
    # SIGTERM stops the server cleanly, status 0 (a sanitizer build fails it on a leak or worse). Under Wine a
    # signal ends the process outright; the Windows program's own stop (Ctrl+C) is tested elsewhere.
    if not OPTIONS.emulator and SERVER.process.returncode != 0:
        raise AssertionError('the server ended with status %s on SIGTERM; its output:\n%s'
                             % (SERVER.process.returncode, SERVER.output()))


def open_visa():
    instrument = pyvisa.ResourceManager('@py').open_resource(SERVER.resource(), read_termination='\n',
                                                             timeout=10000)
    instrument.query('SIM:LOG?')  # what earlier tests sent is not this test's
    return instrument


@unittest.skipIf(MISSING_PYVISA, MISSING_PYVISA)
class PyVisaTest(unittest.TestCase):
    def test_sets_frequency_and_amplitude_reads_them_back_and_the_generator_got_the_frames(self):
        visa = open_visa()
        try:
            visa.write('FREQ 12345678.5')  # PyVISA ends it with CR LF
            visa.write('VOLT 0.8')
            index = nearest_amplitude_index(800)
            self.assertEqual(visa.query('FREQ?'), '12345679')
            self.assertEqual(visa.query('VOLT?'), volts_text(index))
            self.assertEqual(visa.query('SIM:LOG?'), log_answer([frequency_frame(12345679), amplitude_frame(index)]))
            self.assertEqual(visa.query('SYST:ERR?'), '0,"No error"')
            # Outside the range: an error, and nothing sent.
            visa.write('FREQ 24999')
            self.assertTrue(visa.query('SYST:ERR?').startswith('-222,'))
            self.assertEqual(visa.query('SIM:LOG?'), '""')
        finally:
            visa.close()

    def test_unplugged_generator_gives_241_and_works_again_once_plugged_without_reconnecting(self):
        visa = open_visa()
        try:
            visa.write('SIM:UNPL')
            # A query that fails adds no answer: the one line is the error queue's.
            self.assertTrue(visa.query('FREQ?;SYST:ERR?').startswith('-241,'))
            visa.write('VOLT 1')
            self.assertTrue(visa.query('SYST:ERR?').startswith('-241,'))
            visa.write('SIM:PLUG "%s"' % SERIAL)
            visa.write('FREQ 2500000;VOLT 0.049')
            self.assertEqual(visa.query('FREQ?;VOLT?'), '2500000;0.049')
            self.assertEqual(visa.query('SYST:ERR?'), '0,"No error"')
            self.assertEqual(visa.query('SIM:LOG?'), log_answer([frequency_frame(2500000), amplitude_frame(0)]))
        finally:
            visa.close()


@unittest.skipIf(MISSING_PYVISA or MISSING_PYMEASURE, MISSING_PYVISA or MISSING_PYMEASURE)
class PyMeasureTest(unittest.TestCase):
    def test_the_shipped_instrument_class_sets_and_reads_back_every_digit(self):
        found = importlib.util.spec_from_file_location('tarvo_pulse_generator', OPTIONS.example)
        example = importlib.util.module_from_spec(found)
        found.loader.exec_module(example)
        generator = example.TarvoPulseGenerator(SERVER.resource(), visa_library='@py')
        try:
            generator.ask('SIM:LOG?')
            generator.frequency = 123456789  # nine digits, which %g would round
            generator.amplitude = 1.2
            index = nearest_amplitude_index(1200)
            self.assertEqual(generator.frequency, 123456789)
            self.assertAlmostEqual(generator.amplitude, float(volts_text(index)), places=6)
            self.assertEqual(generator.check_errors(), [])
            self.assertIn(',%s,' % SERIAL, generator.id)
            self.assertEqual(generator.ask('SIM:LOG?').strip(),
                             log_answer([frequency_frame(123456789), amplitude_frame(index)]))
        finally:
            generator.adapter.connection.close()


@unittest.skipIf(MISSING_LXI, MISSING_LXI)
class LxiTest(unittest.TestCase):
    def lxi(self, command):
        done = subprocess.run(['lxi', 'scpi', '-a', '127.0.0.1', '-p', str(SERVER.port), '-r', '-t', '10', command],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.decode('ascii', 'replace').strip()

    def test_identifies_and_sets_over_one_shot_connections(self):
        fields = self.lxi('*IDN?').split(',')
        self.assertEqual(len(fields), 4, fields)
        self.assertEqual(fields[2], SERIAL)
        # lxi closes the connection right after sending: the command still runs.
        self.lxi('FREQ 33 MHZ')
        self.assertEqual(self.lxi('FREQ?'), '33000000')


class RawSocketTest(unittest.TestCase):
    def test_messages_merged_in_one_write_and_split_across_writes(self):
        with socket.create_connection(('127.0.0.1', SERVER.port), timeout=10) as s:
            s.sendall(b'SIM:LOG?\n')
            self.assertEqual(len(read_lines(s, 1, 10)), 1)
            # Two messages and the head of a third in one write, its tail and a fourth in the next.
            s.sendall(b'FREQ 100 KHZ;VOLT 300 MV\r\nFREQ?;VOLT?\nSYST:E')
            time.sleep(0.2)
            s.sendall(b'RR?\nSIM:LOG?\n')
            index = nearest_amplitude_index(300)
            self.assertEqual(read_lines(s, 3, 10), [
                '100000;' + volts_text(index),
                '0,"No error"',
                log_answer([frequency_frame(100000), amplitude_frame(index)]),
            ])


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument('--server', required=True)
    parser.add_argument('--example', required=True)
    parser.add_argument('--emulator')
    OPTIONS = parser.parse_args()
    failed, missing = run_tests(sys.modules[__name__], (MISSING_PYVISA, MISSING_PYMEASURE, MISSING_LXI))
    if failed:
        print('server output:\n' + (SERVER.output() if SERVER else '(not started)'))
        return 1
    return 77 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
