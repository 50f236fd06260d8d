"""A small HiSLIP client (synchronized mode), written from the protocol's published description for the tests: it
shares nothing with the server's code. Every read is bounded in size and time."""
import socket
import struct

PORT = 4880
HEADER = struct.Struct('!2sBBIQ')  # "HS", type, control code, parameter, payload length; big-endian

INITIALIZE, INITIALIZE_RESPONSE, FATAL_ERROR, ERROR = 0, 1, 2, 3
ASYNC_LOCK, ASYNC_LOCK_RESPONSE, DATA, DATA_END = 4, 5, 6, 7
DEVICE_CLEAR_COMPLETE, DEVICE_CLEAR_ACKNOWLEDGE = 8, 9
ASYNC_REMOTE_LOCAL_CONTROL, ASYNC_REMOTE_LOCAL_RESPONSE, TRIGGER = 10, 11, 12
ASYNC_MAXIMUM_MESSAGE_SIZE, ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE = 15, 16
ASYNC_INITIALIZE, ASYNC_INITIALIZE_RESPONSE, ASYNC_DEVICE_CLEAR = 17, 18, 19
ASYNC_STATUS_QUERY, ASYNC_STATUS_RESPONSE, ASYNC_DEVICE_CLEAR_ACKNOWLEDGE = 21, 22, 23
ASYNC_LOCK_INFO, ASYNC_LOCK_INFO_RESPONSE = 24, 25

FIRST_MESSAGE_ID = 0xFFFFFF00
RMT_DELIVERED = 1
LOCK_FAILED, LOCK_GRANTED, LOCK_SHARED_RELEASED, LOCK_ERROR = 0, 1, 2, 3
MAX_PAYLOAD_READ = 1 << 20  # what this client takes in one message


class FatalError(Exception):
    def __init__(self, code, text):
        super().__init__('FatalError %d: %s' % (code, text))
        self.code = code


def encode(kind, control=0, parameter=0, payload=b''):
    return HEADER.pack(b'HS', kind, control, parameter, len(payload)) + payload


def read_exact(sock, count):
    data = b''
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError('closed by the server after %d of %d bytes' % (len(data), count))
        data += chunk
    return data


def read_message(sock):
    """(type, control, parameter, payload) of the next message; raises FatalError on one."""
    prologue, kind, control, parameter, length = HEADER.unpack(read_exact(sock, HEADER.size))
    if prologue != b'HS':
        raise ValueError('not a HiSLIP header: %r' % prologue)
    if length > MAX_PAYLOAD_READ:
        raise ValueError('a payload of %d bytes claimed' % length)
    payload = read_exact(sock, length)
    if kind == FATAL_ERROR:
        raise FatalError(control, payload.decode('ascii', 'replace'))
    return kind, control, parameter, payload


def expect(sock, kind):
    got = read_message(sock)
    if got[0] != kind:
        raise AssertionError('expected message type %d, got %r' % (kind, got))
    return got


class Session:
    """One session: the synchronous and the asynchronous connection."""

    def __init__(self, host='127.0.0.1', port=PORT, sub_address=b'hislip0', timeout=5.0, version=0x0100):
        self.timeout = timeout
        self.sync = socket.create_connection((host, port), timeout=timeout)
        self.sync.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.async_ = None
        try:
            self.sync.sendall(encode(INITIALIZE, 0, (version << 16) | (ord('z') << 8) | ord('z'), sub_address))
            _, self.overlap, parameter, _ = expect(self.sync, INITIALIZE_RESPONSE)
            self.version, self.session_id = parameter >> 16, parameter & 0xFFFF
            self.async_ = socket.create_connection((host, port), timeout=timeout)
            self.async_.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.async_.sendall(encode(ASYNC_INITIALIZE, 0, self.session_id))
            self.server_vendor = expect(self.async_, ASYNC_INITIALIZE_RESPONSE)[2] & 0xFFFF
        except BaseException:
            self.close()
            raise
        self.message_id = FIRST_MESSAGE_ID
        self.last_id = None
        self.rmt = False
        self.server_maximum = 1 << 20

    def close(self):
        for s in (self.sync, self.async_):
            if s is not None:
                s.close()

    def drop(self):
        """Ends both connections with a reset, as a client that dies does."""
        for s in (self.sync, self.async_):
            if s is not None:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
                s.close()

    def _next_id(self):
        sent = self.message_id
        self.message_id = (self.message_id + 2) & 0xFFFFFFFF
        self.last_id = sent
        return sent

    def write(self, data, piece=None):
        """One message, in Data messages of at most `piece` bytes (the server's maximum by default) and a DataEnd."""
        if isinstance(data, str):
            data = data.encode('ascii')
        piece = piece or max(1, self.server_maximum - HEADER.size)
        out = b''
        while len(data) > piece:
            out += encode(DATA, RMT_DELIVERED if self.rmt else 0, self._next_id(), data[:piece])
            self.rmt = False
            data = data[piece:]
        out += encode(DATA_END, RMT_DELIVERED if self.rmt else 0, self._next_id(), data)
        self.rmt = False
        self.sync.sendall(out)

    def read(self):
        """The response to the last message: Data messages up to a DataEnd, each with its MessageID."""
        response = b''
        while True:
            kind, _, parameter, payload = read_message(self.sync)
            if kind not in (DATA, DATA_END):
                raise AssertionError('expected Data, got type %d (%r)' % (kind, payload))
            if parameter != self.last_id:
                raise AssertionError('response MessageID %#x, the query had %#x' % (parameter, self.last_id))
            response += payload
            if kind == DATA_END:
                self.rmt = True
                return response.decode('ascii')

    def query(self, text, piece=None):
        self.write(text if text.endswith('\n') else text + '\n', piece)
        return self.read().rstrip('\n')

    def maximum_message_size(self, size):
        self.async_.sendall(encode(ASYNC_MAXIMUM_MESSAGE_SIZE, 0, 0, struct.pack('!Q', size)))
        self.server_maximum = struct.unpack('!Q', expect(self.async_, ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE)[3])[0]
        return self.server_maximum

    def status(self):
        self.async_.sendall(encode(ASYNC_STATUS_QUERY, RMT_DELIVERED if self.rmt else 0, self.message_id))
        self.rmt = False
        return expect(self.async_, ASYNC_STATUS_RESPONSE)[1]

    def lock(self, timeout_ms=0, key=b''):
        """Asks for the lock (shared under `key`, exclusive without one); the response's control code."""
        self.async_.sendall(encode(ASYNC_LOCK, 1, timeout_ms, key))
        return expect(self.async_, ASYNC_LOCK_RESPONSE)[1]

    def lock_request(self, timeout_ms, key=b''):
        """Asks without waiting for the answer (read it with lock_answer)."""
        self.async_.sendall(encode(ASYNC_LOCK, 1, timeout_ms, key))

    def lock_answer(self):
        return expect(self.async_, ASYNC_LOCK_RESPONSE)[1]

    def unlock(self):
        self.async_.sendall(encode(ASYNC_LOCK, 0, self.message_id))
        return expect(self.async_, ASYNC_LOCK_RESPONSE)[1]

    def lock_info(self):
        """(exclusive lock granted, number of sessions holding a lock)."""
        self.async_.sendall(encode(ASYNC_LOCK_INFO))
        _, control, parameter, _ = expect(self.async_, ASYNC_LOCK_INFO_RESPONSE)
        return bool(control), parameter

    def device_clear(self):
        self.async_.sendall(encode(ASYNC_DEVICE_CLEAR))
        feature = expect(self.async_, ASYNC_DEVICE_CLEAR_ACKNOWLEDGE)[1]
        self.sync.sendall(encode(DEVICE_CLEAR_COMPLETE, feature))
        # Whatever the server still sends on the synchronous channel before its acknowledgement is dropped.
        for _ in range(1000):
            if read_message(self.sync)[0] == DEVICE_CLEAR_ACKNOWLEDGE:
                break
        self.message_id = FIRST_MESSAGE_ID
        self.rmt = False

    def trigger(self):
        self.sync.sendall(encode(TRIGGER, RMT_DELIVERED if self.rmt else 0, self._next_id()))
        self.rmt = False

    def remote_local(self, request):
        self.async_.sendall(encode(ASYNC_REMOTE_LOCAL_CONTROL, request, self.message_id))
        return expect(self.async_, ASYNC_REMOTE_LOCAL_RESPONSE)
