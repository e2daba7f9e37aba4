"""A minimal MQTT server for tests that must see the raw CONNECT packet: it accepts
connections on a loopback port, parses each CONNECT, answers CONNACK "accepted" (or the
refusal set for the CONNECT's protocol level, and closes), then keeps the socket open
(reading and dropping whatever comes) until the client leaves or drop() closes it."""

import queue
import socket
import struct
from dataclasses import dataclass

from tarvo_testsupport import TcpServer

CONNACK_ACCEPTED = b"\x20\x02\x00\x00"


@dataclass
class Connect:
    protocol: bytes
    level: int
    flags: int
    keep_alive: int
    client_id: bytes
    will_topic: bytes | None
    will_message: bytes | None
    username: bytes | None
    password: bytes | None


class Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.at = 0

    def take(self, n: int) -> bytes:
        if self.at + n > len(self.data):
            raise ValueError("CONNECT packet ends early")
        chunk = self.data[self.at:self.at + n]
        self.at += n
        return chunk

    def byte(self) -> int:
        return self.take(1)[0]

    def u16(self) -> int:
        return struct.unpack(">H", self.take(2))[0]

    def field(self) -> bytes:
        return self.take(self.u16())


def recv_exact(sock: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed before a whole packet arrived")
        data += chunk
    return data


def read_packet(sock: socket.socket) -> tuple[int, bytes]:
    first = recv_exact(sock, 1)[0]
    length, shift = 0, 0
    for _ in range(4):
        digit = recv_exact(sock, 1)[0]
        length |= (digit & 0x7F) << shift
        shift += 7
        if not digit & 0x80:
            break
    else:
        raise ValueError("malformed remaining length")
    return first, recv_exact(sock, length)


def packet(first: int, body: bytes) -> bytes:
    """An MQTT packet: its first byte, the body's length as MQTT encodes it, the body."""
    length, n = bytearray(), len(body)
    while True:
        digit, n = n % 128, n // 128
        length.append(digit | (0x80 if n else 0))
        if not n:
            return bytes([first]) + bytes(length) + body


def parse_connect(body: bytes) -> Connect:
    r = Reader(body)
    protocol, level, flags, keep_alive = r.field(), r.byte(), r.byte(), r.u16()
    if level == 5:
        raise ValueError("MQTT 5 CONNECT properties are not parsed")
    client_id = r.field()
    will_topic = will_message = username = password = None
    if flags & 0x04:
        will_topic, will_message = r.field(), r.field()
    if flags & 0x80:
        username = r.field()
    if flags & 0x40:
        password = r.field()
    if r.at != len(body):
        raise ValueError("bytes left over after the CONNECT payload")
    return Connect(protocol, level, flags, keep_alive, client_id, will_topic, will_message, username, password)


class FakeServer(TcpServer):
    """connects: a queue of the parsed CONNECT packets, one per accepted connection.
    refusals: protocol level -> the CONNACK return code that refuses a CONNECT of it."""

    def __init__(self):
        self.connects: queue.Queue[Connect] = queue.Queue()
        self.errors: list[BaseException] = []
        self.refusals: dict[int, int] = {}
        super().__init__()

    def serve(self, sock: socket.socket):
        try:
            kind, body = read_packet(sock)
            if kind != 0x10:
                raise ValueError(f"first packet is 0x{kind:02x}, not CONNECT")
            connect = parse_connect(body)
            self.connects.put(connect)
            if connect.level in self.refusals:
                sock.sendall(bytes([0x20, 2, 0, self.refusals[connect.level]]))
                return
            sock.sendall(CONNACK_ACCEPTED)
            while sock.recv(4096):
                pass
        except (OSError, ConnectionError):
            pass
        except ValueError as error:
            self.errors.append(error)
        finally:
            sock.close()

    def next_connect(self, timeout: float = 10) -> Connect:
        return self.connects.get(timeout=timeout)
