"""Shared fixtures: a real Mosquitto broker on a free loopback port, a TCP relay that can
cut and refuse connections, and a runner for scripts whose console lines are checked."""

import os
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

HOST = "127.0.0.1"
REPO = Path(__file__).resolve().parents[2]
KEYS = REPO / "tests" / "keys"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((HOST, port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.02)
    raise TimeoutError(f"nothing listens on {HOST}:{port}")


class Broker:
    """A Mosquitto process of the test's own; restartable on the same port."""

    def __init__(self, tmp_path, extra_config=""):
        self.port = free_port()
        self.config = tmp_path / f"mosquitto-{self.port}.conf"
        self.config.write_text(
            f"listener {self.port} {HOST}\nallow_anonymous true\n"
            "max_queued_messages 0\nmax_inflight_messages 1000\n" + extra_config
        )
        self.process = None
        self.start()

    @property
    def address(self):
        return f"{HOST}:{self.port}"

    def start(self):
        self.process = subprocess.Popen(
            ["mosquitto", "-c", str(self.config)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        wait_for_port(self.port)

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)

    def restart(self):
        self.kill()
        self.start()


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path)
    yield b
    b.kill()


def shut_down(*sockets):
    """Ends both directions of each socket; one already gone is fine."""
    for s in sockets:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def forward(source, sink):
    """Copies source to sink until either ends, then shuts both down."""
    try:
        while data := source.recv(65536):
            sink.sendall(data)
    except OSError:
        pass
    shut_down(source, sink)


class Relay:
    """Forwards TCP between clients and a target port. cut() closes every forwarded
    connection; refuse()/accept() decide whether new ones are taken."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server((HOST, 0))
        self.port = self.listener.getsockname()[1]
        self.accepting = True
        self.lock = threading.Lock()
        self.sockets = []
        self.connections = 0
        self.closed = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @property
    def address(self):
        return f"{HOST}:{self.port}"

    def _serve(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                if not self.accepting or self.closed:
                    client.close()
                    continue
                try:
                    upstream = socket.create_connection((HOST, self.target_port), timeout=5)
                except OSError:
                    client.close()
                    continue
                upstream.settimeout(None)
                self.sockets += [client, upstream]
                self.connections += 1
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=forward, args=(a, b), daemon=True).start()

    def cut(self):
        with self.lock:
            sockets, self.sockets = self.sockets, []
        shut_down(*sockets)
        for s in sockets:
            s.close()

    def refuse(self):
        with self.lock:
            self.accepting = False

    def accept(self):
        with self.lock:
            self.accepting = True

    def close(self):
        self.closed = True
        self.cut()
        self.listener.close()


@pytest.fixture
def relay(broker):
    r = Relay(broker.port)
    yield r
    r.close()


def run_script(code, timeout=60, env=None):
    """Runs Python code in a fresh interpreter and returns the finished process, so that
    console lines (written without flushing) are read once it has exited."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        timeout=timeout,
        env=full_env,
    )


def wait_until(predicate, timeout=10.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
