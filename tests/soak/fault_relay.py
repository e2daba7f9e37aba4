"""A TCP relay between MQTT clients and a broker, run as a process of its own, that
breaks the connections it carries on command and tells what it saw.

    python3 fault_relay.py TARGET_PORT EVENTS_FILE [--capture DIR]

It listens on a free loopback port, prints "PORT <n>" on stdout, then forwards every
accepted connection to 127.0.0.1:TARGET_PORT. It parses the MQTT packets going each
way (fixed header only) and appends one JSON object per event to EVENTS_FILE, each with
"t" (time.monotonic(), which is system-wide on Linux, so other processes can compare):

    accept, upstream_refused, connect, connack (rc), pingreq, pingresp, disconnect,
    client_closed, upstream_closed, fault (kind), stall_end, stall_over, closed

Commands, one per line on stdin (each applies to the newest connection that has passed
a CONNACK accepting the session):

    drop              close both sides (the client reads EOF)
    reset             close the client side with an RST, then the broker side
    stall SECONDS     stop forwarding either way; keep reading (so PINGREQs are seen)
                      but pass nothing, not even a close by the broker; at the end
                      close whatever is left ("stall_end"). For the whole SECONDS no new
                      connection is taken: a reconnect that comes early waits in the
                      listen backlog and is taken when the stall is over ("stall_over"),
                      so it never meets the stall, however soon the client gives up
    halfclose_client  shut down the relay's sending side towards the client only
    halfclose_broker  shut down the relay's sending side towards the broker only
    refuse / accept   close new connections at once / forward them again
    quit

With --capture DIR, every byte each connection carries is also written to
DIR/<n>.c2b (client to broker) and DIR/<n>.b2c.
"""

import argparse
import json
import os
import selectors
import socket
import struct
import sys
import time

HOST = "127.0.0.1"
PACKET_NAMES = {0x10: "connect", 0x20: "connack", 0xC0: "pingreq", 0xD0: "pingresp", 0xE0: "disconnect"}


class PacketStream:
    """Splits one direction of an MQTT byte stream into (first byte, body) packets."""

    def __init__(self):
        self.buffer = bytearray()

    def feed(self, data):
        self.buffer += data
        packets = []
        while True:
            if len(self.buffer) < 2:
                return packets
            length, shift, at = 0, 0, 1
            while True:
                if at >= len(self.buffer):
                    return packets
                digit = self.buffer[at]
                length |= (digit & 0x7F) << shift
                shift += 7
                at += 1
                if not digit & 0x80 or at > 4:
                    break
            if len(self.buffer) < at + length:
                return packets
            packets.append((self.buffer[0], bytes(self.buffer[at:at + length])))
            del self.buffer[:at + length]


class Connection:
    def __init__(self, number, client, upstream):
        self.number = number
        self.client = client
        self.upstream = upstream
        self.to_upstream = bytearray()
        self.to_client = bytearray()
        self.from_client = PacketStream()
        self.from_upstream = PacketStream()
        self.accepted = False  # a CONNACK with return code 0 went to the client
        self.stalled_until = None
        self.client_open = True
        self.upstream_open = True
        # After a half-close, what would go out on the shut side is dropped.
        self.client_write_shut = False
        self.upstream_write_shut = False
        self.capture = None


class FaultRelay:
    def __init__(self, target_port, events_path, capture_dir=None):
        self.target_port = target_port
        self.events = open(events_path, "a", buffering=1)
        self.capture_dir = capture_dir
        self.selector = selectors.DefaultSelector()
        self.listener = socket.create_server((HOST, 0))
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.selector.register(self.listener, selectors.EVENT_READ, ("listen", None))
        self.stall_over_at = None  # while set, new connections wait in the backlog
        self.selector.register(sys.stdin, selectors.EVENT_READ, ("command", None))
        self.connections = []
        self.count = 0
        self.refusing = False
        self.running = True
        self.stdin_buffer = b""

    def emit(self, event, connection=None, **fields):
        record = {"ev": event, "t": time.monotonic()}
        if connection is not None:
            record["conn"] = connection.number
        record.update(fields)
        self.events.write(json.dumps(record) + "\n")

    # --- connections ---------------------------------------------------------------

    def accept(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        self.count += 1
        number = self.count
        if self.refusing:
            self.emit("refused", number=number)
            client.close()
            return
        try:
            upstream = socket.create_connection((HOST, self.target_port), timeout=2)
        except OSError:
            self.emit("upstream_refused", number=number)
            if self.capture_dir:
                self.capture_refused(client, number)
            client.close()
            return
        for s in (client, upstream):
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection = Connection(number, client, upstream)
        if self.capture_dir:
            connection.capture = {
                "c2b": open(os.path.join(self.capture_dir, f"{number}.c2b"), "wb"),
                "b2c": open(os.path.join(self.capture_dir, f"{number}.b2c"), "wb"),
            }
        self.connections.append(connection)
        self.selector.register(client, selectors.EVENT_READ, ("client", connection))
        self.selector.register(upstream, selectors.EVENT_READ, ("upstream", connection))
        self.emit("accept", connection)

    def capture_refused(self, client, number):
        """With the broker away, keeps what the client sends in its first 300 ms (its
        CONNECT follows the TCP handshake at once), so the capture misses nothing."""
        client.settimeout(0.05)
        data = b""
        deadline = time.monotonic() + 0.3
        while time.monotonic() < deadline:
            try:
                chunk = client.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                break
            if not chunk:
                break
            data += chunk
        with open(os.path.join(self.capture_dir, f"{number}.c2b"), "wb") as f:
            f.write(data)

    def update_interest(self, connection):
        for sock, pending, is_open in ((connection.client, connection.to_client, connection.client_open),
                                       (connection.upstream, connection.to_upstream, connection.upstream_open)):
            if not is_open:
                continue
            mask = selectors.EVENT_READ
            if pending and connection.stalled_until is None:
                mask |= selectors.EVENT_WRITE
            self.selector.modify(sock, mask, self.selector.get_key(sock).data)

    def readable(self, side, connection):
        sock = connection.client if side == "client" else connection.upstream
        try:
            data = sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self.emit("client_closed" if side == "client" else "upstream_closed", connection)
            if connection.stalled_until is not None and side == "upstream":
                # A stall passes nothing on, not even the broker giving up.
                self.close_side(connection, "upstream")
                return
            self.close(connection)
            return
        if connection.capture:
            connection.capture["c2b" if side == "client" else "b2c"].write(data)
        stream = connection.from_client if side == "client" else connection.from_upstream
        for first, body in stream.feed(data):
            name = PACKET_NAMES.get(first & 0xF0)
            if name == "connack":
                rc = body[1] if len(body) >= 2 else None
                if rc == 0:
                    connection.accepted = True
                self.emit("connack", connection, rc=rc)
            elif name:
                self.emit(name, connection)
        if side == "client":
            if connection.upstream_open and not connection.upstream_write_shut:
                connection.to_upstream += data
        elif connection.client_open and not connection.client_write_shut:
            connection.to_client += data
        self.flush(connection)

    def flush(self, connection):
        if connection.stalled_until is not None:
            return
        for sock, pending, is_open in ((connection.client, connection.to_client, connection.client_open),
                                       (connection.upstream, connection.to_upstream, connection.upstream_open)):
            if not is_open or not pending:
                continue
            try:
                sent = sock.send(pending)
                del pending[:sent]
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                self.close(connection)
                return
        if connection in self.connections:
            self.update_interest(connection)

    def close_side(self, connection, side):
        sock = connection.client if side == "client" else connection.upstream
        if side == "client":
            if not connection.client_open:
                return
            connection.client_open = False
        else:
            if not connection.upstream_open:
                return
            connection.upstream_open = False
        try:
            self.selector.unregister(sock)
        except (KeyError, ValueError):
            pass
        sock.close()

    def close(self, connection, reset=False):
        if connection not in self.connections:
            return
        if reset and connection.client_open:
            connection.client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_side(connection, "client")
        self.close_side(connection, "upstream")
        self.connections.remove(connection)
        if connection.capture:
            for f in connection.capture.values():
                f.close()
        self.emit("closed", connection)

    # --- faults ----------------------------------------------------------------------

    def target(self):
        for connection in reversed(self.connections):
            if connection.accepted and connection.client_open:
                return connection
        return None

    def command(self, line):
        words = line.split()
        if not words:
            return
        name = words[0]
        if name == "quit":
            self.running = False
            return
        if name == "refuse":
            self.refusing = True
            return
        if name == "accept":
            self.refusing = False
            return
        connection = self.target()
        if connection is None:
            self.emit("fault_missed", kind=name)
            return
        self.emit("fault", connection, kind=name)
        if name == "drop":
            self.close(connection)
        elif name == "reset":
            self.close(connection, reset=True)
        elif name == "stall":
            connection.stalled_until = time.monotonic() + float(words[1])
            self.update_interest(connection)
            if self.stall_over_at is None:
                self.selector.unregister(self.listener)
            self.stall_over_at = max(self.stall_over_at or 0, connection.stalled_until)
        elif name == "halfclose_client":
            connection.client.shutdown(socket.SHUT_WR)
            connection.to_client.clear()
            connection.client_write_shut = True
        elif name == "halfclose_broker":
            connection.upstream.shutdown(socket.SHUT_WR)
            connection.to_upstream.clear()
            connection.upstream_write_shut = True
        else:
            self.emit("unknown_command", kind=name)

    def end_stalls(self):
        now = time.monotonic()
        for connection in list(self.connections):
            if connection.stalled_until is not None and connection.stalled_until <= now:
                self.emit("stall_end", connection)
                self.close(connection)
        if self.stall_over_at is not None and self.stall_over_at <= now:
            self.stall_over_at = None
            self.emit("stall_over")
            self.selector.register(self.listener, selectors.EVENT_READ, ("listen", None))

    def read_commands(self):
        data = os.read(sys.stdin.fileno(), 4096)
        if not data:
            self.running = False
            return
        self.stdin_buffer += data
        while b"\n" in self.stdin_buffer:
            line, self.stdin_buffer = self.stdin_buffer.split(b"\n", 1)
            self.command(line.decode())

    def serve(self):
        print(f"PORT {self.port}", flush=True)
        while self.running:
            for key, mask in self.selector.select(timeout=0.05):
                kind, connection = key.data
                if kind == "listen":
                    self.accept()
                elif kind == "command":
                    self.read_commands()
                elif connection in self.connections:
                    if mask & selectors.EVENT_READ:
                        self.readable(kind, connection)
                    if mask & selectors.EVENT_WRITE and connection in self.connections:
                        self.flush(connection)
            self.end_stalls()
        for connection in list(self.connections):
            self.close(connection)
        self.listener.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("target_port", type=int)
    parser.add_argument("events")
    parser.add_argument("--capture")
    args = parser.parse_args()
    FaultRelay(args.target_port, args.events, args.capture).serve()


if __name__ == "__main__":
    main()
