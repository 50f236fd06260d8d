#!/usr/bin/python3
"""The host's side of the qemu guests that run tarvo-pulse-scpi against a virtual generator on uhid: PyVISA on
127.0.0.1:PORT, which qemu forwards to the server in the guest, and the guest's second serial port (a Unix socket
here) to unplug and plug the generator and to fetch the reports it received.

    guest_client.py --port PORT --control SOCKET --serial SERIAL [--replug] [--seconds N]
                    [--vxi11] [--hislip-port PORT] [--http-port PORT]

The guest says READY on the control line once the server runs; it answers "unplug" with UNPLUGGED, "plug" with
PLUGGED, "reports" with the generators' SET_REPORT lines ("genN SET_REPORT ... bytes=.. .. | ...") and END, and
powers off on "done". With --vxi11 a VXI-11 INSTR client (TCPIP::127.0.0.1::INSTR: the portmapper on this
machine's port 111 and the core port it names, both forwarded to the guest) sets and reads back a frequency; with
--hislip-port a HiSLIP session (hislip_client.py) reads it back; with --http-port /lxi/identification names the
generator. Prints one line per check and "guest_client: PASS" (exit 0) or "guest_client: FAIL" (1).
"""
import argparse
import http.client
import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hislip_client import Session as HislipSession  # noqa: E402
from scpi_support import (amplitude_frame, frequency_frame, hex_text, nearest_amplitude_index,  # noqa: E402
                          scpi_answers, volts_text)

import pyvisa  # noqa: E402

failures = 0


def check(condition, what, detail=''):
    global failures
    print(('ok   ' if condition else 'FAIL ') + what + ('' if condition or not detail else ': ' + detail),
          flush=True)
    failures += 0 if condition else 1
    return condition


def expect(what, expected, actual):
    return check(actual == expected, what, 'got %r, expected %r' % (actual, expected))


class Control:
    """The guest's command line on its second serial port."""

    def __init__(self, path, seconds):
        deadline = time.monotonic() + seconds
        while True:  # qemu makes the socket once it runs
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.buffer = b''

    def line(self, seconds):
        deadline = time.monotonic() + seconds
        while b'\n' not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError('the guest said nothing within %d s' % seconds)
            self.sock.settimeout(left)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError('the guest closed its control line')
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b'\n')
        return line.decode('ascii', 'replace').strip()

    def wait_for(self, word, seconds):
        deadline = time.monotonic() + seconds
        while True:
            line = self.line(max(1, deadline - time.monotonic()))
            if line == word:
                return
            if line:
                print('     guest: ' + line, flush=True)

    def ask(self, command, answer, seconds=60):
        self.sock.sendall(command.encode() + b'\n')
        self.wait_for(answer, seconds)


def reported_frames(control):
    """The reports each generator received, from the guest: {'gen1': ['00 01 ...', ...], ...}."""
    control.sock.sendall(b'reports\n')
    frames = {}
    deadline = time.monotonic() + 60
    while True:
        line = control.line(max(1, deadline - time.monotonic()))
        if line == 'END':
            return frames
        name, _, rest = line.partition(' ')
        hex_bytes = rest.partition('bytes=')[2].partition('|')[0].split()
        frames.setdefault(name, []).append(' '.join(hex_bytes))


def other_protocols(options, expected):
    """The generator through VXI-11, HiSLIP and the web page, as far as the options ask; the frequency VXI-11
    sets is added to the reports the first generator must receive."""
    frequency = '12345678'
    if options.vxi11:
        instrument = pyvisa.ResourceManager('@py').open_resource('TCPIP::127.0.0.1::INSTR', timeout=30000)
        try:
            fields = instrument.query('*IDN?').strip().split(',')
            check(len(fields) == 4 and fields[2] == options.serial, 'VXI-11: *IDN? names the generator', repr(fields))
            instrument.write('FREQ 3000000')
            frequency = '3000000'
            expect('VXI-11: FREQ? reads back the frequency it set', frequency, instrument.query('FREQ?').strip())
            expected['gen1'].append(hex_text(frequency_frame(3000000)))
        finally:
            instrument.close()
    if options.hislip_port:
        session = HislipSession(port=options.hislip_port, timeout=30)
        try:
            expect('HiSLIP: FREQ? reads the frequency the generator holds', frequency, session.query('FREQ?'))
        finally:
            session.close()
    if options.http_port:
        # The host part of 127.0.0.1:PORT names no address the guest's server listens on; "localhost" it accepts.
        connection = http.client.HTTPConnection('127.0.0.1', options.http_port, timeout=30)
        try:
            connection.request('GET', '/lxi/identification', headers={'Host': 'localhost'})
            response = connection.getresponse()
            body = response.read(1 << 20).decode('utf-8', 'replace')
            check(response.status == 200 and '<SerialNumber>%s</SerialNumber>' % options.serial in body,
                  'web page: /lxi/identification names the generator', '%d %.200r' % (response.status, body))
        finally:
            connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--port', type=int, required=True)
    parser.add_argument('--control', required=True)
    parser.add_argument('--serial', required=True)
    parser.add_argument('--replug', action='store_true')
    parser.add_argument('--seconds', type=int, default=240, help='how long the guest may take to be ready')
    parser.add_argument('--vxi11', action='store_true', help='port 111 and the core port are forwarded')
    parser.add_argument('--hislip-port', type=int)
    parser.add_argument('--http-port', type=int)
    options = parser.parse_args()

    started = time.monotonic()
    control = Control(options.control, 60)
    visa = None
    try:
        control.wait_for('READY', options.seconds)
        print('     the guest is ready after %.1f s' % (time.monotonic() - started), flush=True)
        # The forwarded port accepts before the server in the guest does: wait for an answer.
        deadline = time.monotonic() + options.seconds
        while not scpi_answers(options.port) and time.monotonic() < deadline:
            time.sleep(0.5)
        visa = pyvisa.ResourceManager('@py').open_resource(
            'TCPIP::127.0.0.1::%d::SOCKET' % options.port, read_termination='\n', timeout=30000)
        fields = visa.query('*IDN?').split(',')
        check(len(fields) == 4 and fields[2] == options.serial, '*IDN? names the generator', repr(fields))

        index = nearest_amplitude_index(800)
        visa.write('FREQ 12345678')
        visa.write('VOLT 0.8')
        expect('FREQ? reads back the frequency', '12345678', visa.query('FREQ?'))
        expect('VOLT? reads back the amplitude step', volts_text(index), visa.query('VOLT?'))
        expect('no error', '0,"No error"', visa.query('SYST:ERR?'))
        expected = {'gen1': [hex_text(frequency_frame(12345678)), hex_text(amplitude_frame(index))]}
        began = time.monotonic()
        other_protocols(options, expected)
        print('     the other protocols took %.1f s' % (time.monotonic() - began), flush=True)

        if options.replug:
            control.ask('unplug', 'UNPLUGGED')
            visa.write('FREQ 1000000')
            error = visa.query('SYST:ERR?')
            check(error.startswith('-241,'), 'a command for the unplugged generator fails with -241', error)
            control.ask('plug', 'PLUGGED')
            # The first command after the generator is listed again works, on the same connection.
            visa.write('FREQ 2000000;VOLT 1.161')
            expect('after the replug: no error', '0,"No error"', visa.query('SYST:ERR?'))
            expect('after the replug: both values read back', '2000000;1.161', visa.query('FREQ?;VOLT?'))
            expected['gen2'] = [hex_text(frequency_frame(2000000)),
                                hex_text(amplitude_frame(nearest_amplitude_index(1161)))]

        expect('the generators received exactly these reports, byte for byte', expected, reported_frames(control))
    except Exception as e:  # a timeout or a lost connection is a failure of the run, reported as one
        check(False, 'the run went to its end', '%s: %s' % (type(e).__name__, e))
    finally:
        if visa is not None:
            visa.close()
        try:
            control.sock.sendall(b'done\n')
        except OSError:
            pass
    print('guest_client: %s in %.1f s' % ('PASS' if failures == 0 else 'FAIL', time.monotonic() - started))
    return 0 if failures == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
