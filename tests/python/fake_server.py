"""A minimal MQTT server for tests that must see the raw CONNECT packet: it accepts
connections on a loopback port, parses each CONNECT, answers CONNACK "accepted", then
keeps the socket open (reading and dropping whatever comes) until the client leaves or
drop() closes it."""

import queue
import socket
import struct
import threading
from dataclasses import dataclass

from conftest import HOST, shut_down

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


class FakeServer:
    """connects: a queue of the parsed CONNECT packets, one per accepted connection."""

    def __init__(self):
        self.listener = socket.create_server((HOST, 0))
        self.port = self.listener.getsockname()[1]
        self.connects: queue.Queue[Connect] = queue.Queue()
        self.errors: list[BaseException] = []
        self.lock = threading.Lock()
        self.sockets: list[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def address(self) -> str:
        return f"{HOST}:{self.port}"

    def _accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.sockets.append(sock)
            threading.Thread(target=self._serve, args=(sock,), daemon=True).start()

    def _serve(self, sock: socket.socket):
        try:
            kind, body = read_packet(sock)
            if kind != 0x10:
                raise ValueError(f"first packet is 0x{kind:02x}, not CONNECT")
            self.connects.put(parse_connect(body))
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

    def drop(self):
        """Closes every accepted connection."""
        with self.lock:
            sockets, self.sockets = self.sockets, []
        shut_down(*sockets)

    def close(self):
        self.listener.close()
        self.drop()
