"""Helpers for tests that run the SDK in a script and watch the wire with a real peer.

run_sdk(code, broker) runs `code` in a fresh interpreter after a prelude that imports
tarvo_sdk and defines
  ADDR         the broker's address (host:port), when a broker is given
  connected()  an SDK initialised for ADDR and connected
  mark(name)   flushes every buffer (the C++ streams write through C stdio and are never
               flushed by the SDK) and writes a marker line to stdout and stderr
and returns a Console whose section(name) holds what each stream got after mark(name)
and before the next mark. The script ends with mark("exit"), so that section holds what
interpreter exit writes (a script that raises never reaches it). SdkProcess runs such a
script as a process the test can freeze or kill while it runs.

The `peer` fixture is a paho-mqtt client (MQTT 5, retain-as-published) subscribed to
every topic at QoS 2, so each message shows the QoS and retained flag it was sent with.
"""

import queue
import re
import select
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass

import paho.mqtt.client as mqtt
import pytest
from paho.mqtt.subscribeoptions import SubscribeOptions

import tarvo_testsupport as support
from tarvo_testsupport import run_script

PRELUDE = """\
import ctypes as _ctypes, os as _os, sys as _sys
import tarvo_sdk
ADDR = _os.environ.get("TARVO_TEST_BROKER", "")
_libc = _ctypes.CDLL(None)

def mark(name):
    _sys.stdout.flush()
    _sys.stderr.flush()
    _libc.fflush(None)
    tag = ("@@ " + name + " @@\\n").encode()
    _os.write(1, tag)
    _os.write(2, tag)

def connected(client_id="sdk-under-test", **options):
    sdk = tarvo_sdk.SDK()
    sdk.init(client_id, ADDR, "tcp", "user", "secret", **options)
    if not sdk.connect():
        raise SystemExit("could not connect to " + ADDR)
    return sdk

"""

MARK = re.compile(rb"@@ (\S+) @@\n")


def split_sections(stream: bytes) -> dict[str, bytes]:
    pieces = MARK.split(stream)
    sections = {"": pieces[0]}
    for name, text in zip(pieces[1::2], pieces[2::2]):
        sections[name.decode()] = text
    return sections


class Console:
    def __init__(self, process):
        self.process = process
        self.returncode = process.returncode
        self.stdout = process.stdout
        self.stderr = process.stderr
        self._out = split_sections(process.stdout)
        self._err = split_sections(process.stderr)

    def section(self, name: str) -> tuple[bytes, bytes]:
        """(stdout, stderr) written between mark(name) and the next mark."""
        assert name in self._out and name in self._err, f"no mark {name!r}: {self.stdout!r} {self.stderr!r}"
        return self._out[name], self._err[name]

    def __repr__(self):
        return f"Console(rc={self.returncode}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def run_sdk(code: str, broker=None, timeout: float = 60, env=None) -> Console:
    full_env = dict(env or {})
    if broker is not None:
        full_env["TARVO_TEST_BROKER"] = broker.address
    script = PRELUDE + textwrap.dedent(code) + '\nmark("exit")\n'
    return Console(run_script(script, timeout=timeout, env=full_env))


class SdkProcess:
    """`code`, after the prelude, running in a fresh interpreter until it ends or is
    killed: a client whose process can be frozen (SIGSTOP) or killed (SIGKILL).
    wait_for(line) returns once the script printed that line (flushed)."""

    def __init__(self, code: str, broker):
        self.process = subprocess.Popen(
            [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=support.script_env({"TARVO_TEST_BROKER": broker.address}),
            bufsize=0,  # readline() then takes no more than its line, and select() sees the rest
        )

    def wait_for(self, line: str, timeout: float = 30):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.process.stdout], [], [], remaining)[0]:
                raise TimeoutError(f"the script printed no {line!r}")
            got = self.process.stdout.readline()
            if not got:
                raise AssertionError(f"the script ended (status {self.process.wait()}) before {line!r}")
            if got.rstrip(b"\n") == line.encode():
                return

    def signal(self, number):
        self.process.send_signal(number)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)
        self.process.stdout.close()


@dataclass(frozen=True)
class Received:
    topic: bytes
    payload: bytes
    qos: int
    retain: bool


class Peer(support.Peer):
    """A real MQTT client watching the broker."""

    def __init__(self, port: int, topic: str = "#"):
        self.messages: queue.Queue[Received] = queue.Queue()
        self.seen: list[Received] = []
        # _topic: the topic's bytes as received (topic would decode them).
        super().__init__(port, lambda m: self.messages.put(Received(m._topic, m.payload, m.qos, bool(m.retain))),
                         protocol=mqtt.MQTTv5)
        try:
            self.subscribe(topic, options=SubscribeOptions(qos=2, retainAsPublished=True))
        except TimeoutError:
            self.close()
            raise

    def until(self, topic: bytes, timeout: float = 10) -> list[Received]:
        """Every message received up to (not including) the first one on `topic`."""
        before = []
        while True:
            message = self.messages.get(timeout=timeout)
            self.seen.append(message)
            if message.topic == topic:
                return before
            before.append(message)

    def next(self, timeout: float = 10) -> Received:
        message = self.messages.get(timeout=timeout)
        self.seen.append(message)
        return message


@pytest.fixture
def peer(broker):
    p = Peer(broker.port)
    yield p
    p.close()
