#!/usr/bin/python3
"""Another protocol's bytes on the raw SCPI socket never reach the generator: tarvo-pulse-scpi --simulate on
127.0.0.1, attacked as a web page would attack it.

- Over plain sockets: each shape a browser or a script sends (a POST with a text/plain body of SCPI lines, a GET
  with a body, a PUT over HTTP/1.0, a WebSocket upgrade, a request that starts with a header line), whole and
  one byte at a time. For each: the connection is closed, the generator received nothing (SIMulate:LOG? from
  another session is ""), plain SCPI is still answered, and the server logged the peer once. A typing mistake
  that looks like a header (`FREQ: 1000`) still gets its SCPI error on a connection that stays open.
- In a real browser (Debian's chromium, headless): a page from another origin sends a no-cors fetch and submits
  a text/plain form at the server. Nothing reaches the generator.

    cross_protocol_test.py --server PROGRAM [--chromium PATH]

Prints "N passed, N failed, N skipped"; exits 0, 1 on a failure, or 77 when the browser case was skipped because
chromium is missing. Every process started here is ended by its id; every wait is bounded.
"""
import argparse
import http.server
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scpi_support import (ServerProcess, frequency_frame, log_answer, query_line, read_lines,  # noqa: E402
                          run_tests)

SERIAL = 'TPG-SIM-XPROTO'
OPTIONS = None
SERVER = None

# The body a page would post: lines that would set the generator if they ran.
ATTACK_BODY = b'FREQ 30000\nVOLT 0.049\n*RST\n'

SHAPES = {
    'POST with a text/plain body':
        b'POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n'
        % len(ATTACK_BODY) + ATTACK_BODY,
    'GET with a body':
        b'GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n' + ATTACK_BODY,
    'PUT over HTTP/1.0':
        b'PUT /x HTTP/1.0\r\n\r\n' + ATTACK_BODY,
    'WebSocket upgrade':
        b'GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
        b'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n' + ATTACK_BODY,
    'header line first (request line lost)':
        b'Origin: http://evil.example\r\n' + ATTACK_BODY,
    'user agent first':
        b'user-agent: Mozilla/5.0\n' + ATTACK_BODY,
}


class Server(ServerProcess):
    """The server under test on a port of the system's choice."""

    def __init__(self, program):
        super().__init__([program, '--listen', '127.0.0.1:0', '--simulate', SERIAL])
        found = self.wait_for_output(r'listening on 127\.0\.0\.1:(\d+)', 30)
        if not found:
            self.stop()
            raise RuntimeError('the server did not listen:\n' + self.output())
        self.port = int(found.group(1))

    def query(self, text):
        return query_line(self.port, text)

    def closed_for_another_protocol(self):
        return self.output().count('another protocol')


def closed_by_server(sock, seconds=10):
    """True once the server has closed the connection (whatever it sent before)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sock.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            if sock.recv(4096) == b'':
                return True
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True
    return False


class RawSocket(unittest.TestCase):
    def setUp(self):
        SERVER.query('SIM:LOG?')  # what earlier cases sent is not this case's

    def test_each_shape_whole_and_byte_by_byte_is_closed_and_reaches_nothing(self):
        frequency = SERVER.query('FREQ?')
        for name, request in SHAPES.items():
            for bytewise in (False, True):
                with self.subTest(shape=name, bytewise=bytewise):
                    before = SERVER.closed_for_another_protocol()
                    with socket.create_connection(('127.0.0.1', SERVER.port), timeout=10) as s:
                        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                        try:
                            if bytewise:
                                for i in range(len(request)):
                                    s.send(request[i:i + 1])
                            else:
                                s.sendall(request)
                        except (BrokenPipeError, ConnectionResetError):
                            pass  # closed while the rest was still being sent: as it should be
                        self.assertTrue(closed_by_server(s), 'the connection stayed open')
                    self.assertEqual(SERVER.query('SIM:LOG?'), '""', 'the generator received something')
                    self.assertEqual(SERVER.query('FREQ?'), frequency)
                    self.assertEqual(SERVER.closed_for_another_protocol(), before + 1, 'logged once per connection')
        self.assertIn('connection from 127.0.0.1:', SERVER.output())

    def test_scpi_before_the_request_line_runs_and_a_header_like_typo_is_only_an_error(self):
        with socket.create_connection(('127.0.0.1', SERVER.port), timeout=10) as s:
            s.sendall(b'FREQ: 1000\nSYST:ERR?\n')
            error = read_lines(s, 1, 10)
            self.assertTrue(error and error[0].startswith('-1'), error)
            s.sendall(b'FREQ 2000000\nFREQ?\n')
            self.assertEqual(read_lines(s, 1, 10), ['2000000'])
            # The lines before a request line are SCPI and run; nothing from the request line on does.
            s.sendall(b'FREQ 3000000\nPOST / HTTP/1.1\r\nFREQ 40000\n')
            self.assertTrue(closed_by_server(s))
        self.assertEqual(SERVER.query('SIM:LOG?'), log_answer([frequency_frame(2000000), frequency_frame(3000000)]))
        SERVER.query('*RST;*OPC?')


class Page(http.server.BaseHTTPRequestHandler):
    """Serves the attacking page from another origin (another loopback port)."""
    target = 0

    def do_GET(self):
        page = ('<!doctype html><html><body>'
                '<iframe name="sink" style="display:none"></iframe>'
                '<form id="f" method="POST" enctype="text/plain" target="sink" action="http://127.0.0.1:%d/">'
                '<input type="hidden" name="FREQ 25000&#10;VOLT 0.049&#10;x" value="1"></form>'
                '<script>'
                'fetch("http://127.0.0.1:%d/", {method: "POST", mode: "no-cors",'
                ' headers: {"Content-Type": "text/plain"}, body: "FREQ 30000\\nVOLT 0.049\\n"})'
                '.catch(function () {}).finally(function () { document.title = "fetched"; });'
                'document.getElementById("f").submit();'
                '</script></body></html>') % (self.target, self.target)
        body = page.encode()
        self.send_response(200)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Browser(unittest.TestCase):
    def test_a_page_of_another_origin_cannot_reach_the_generator(self):
        chromium = OPTIONS.chromium or shutil.which('chromium')
        if not chromium:
            self.skipTest(MISSING_CHROMIUM)
        SERVER.query('SIM:LOG?')
        frequency = SERVER.query('FREQ?')
        Page.target = SERVER.port
        pages = http.server.HTTPServer(('127.0.0.1', 0), Page)
        serving = threading.Thread(target=pages.serve_forever, daemon=True)
        serving.start()
        before = SERVER.closed_for_another_protocol()
        # The browser's helper processes may still write to the profile as it goes: what is left of it is no
        # fault of the server's.
        with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
            browser = subprocess.Popen(
                [chromium, '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--user-data-dir=' + profile, '--virtual-time-budget=5000', '--dump-dom',
                 'http://127.0.0.1:%d/' % pages.server_address[1]],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
            try:
                # The page's two requests reach the server, which closes both.
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline and SERVER.closed_for_another_protocol() < before + 2:
                    time.sleep(0.1)
            finally:
                # The browser and its helper processes: its process group, named by its id.
                os.killpg(browser.pid, signal.SIGKILL)
                browser.wait(10)
        pages.shutdown()
        pages.server_close()
        self.assertGreaterEqual(SERVER.closed_for_another_protocol(), before + 2,
                                'the browser did not reach the server twice:\n' + SERVER.output())
        self.assertEqual(SERVER.query('SIM:LOG?'), '""')
        self.assertEqual(SERVER.query('FREQ?'), frequency)


MISSING_CHROMIUM = 'chromium is needed (Debian package chromium)'


def main():
    global OPTIONS, SERVER
    parser = argparse.ArgumentParser()
    parser.add_argument('--server', required=True)
    parser.add_argument('--chromium')
    OPTIONS = parser.parse_args()
    SERVER = Server(OPTIONS.server)
    try:
        failed, missing = run_tests(sys.modules[__name__], (MISSING_CHROMIUM,))
    finally:
        SERVER.stop()
    if failed:
        print('server output:\n' + SERVER.output())
        return 1
    return 77 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
