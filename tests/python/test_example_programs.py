"""The examples under examples/, run as `./dev demo NAME` runs them, against a real
broker, with a paho-mqtt peer watching the wire."""

import json
import os
import queue
import re
import subprocess
import sys
import threading

import pytest

from tarvo_testsupport import REPO, Peer


def example(name, broker, *args):
    return [sys.executable, str(REPO / "examples" / f"{name}.py"), *args], dict(
        os.environ, TARVO_BROKER_PORT=str(broker.port)
    )


def run_example(name, broker, *args, timeout=60):
    command, env = example(name, broker, *args)
    return subprocess.run(
        command, env=env, capture_output=True, encoding="utf-8", errors="replace", timeout=timeout
    )


class Watcher(Peer):
    """A paho-mqtt client that (re)subscribes to one topic on every connection and
    queues what arrives; it reconnects by itself after a broker restart."""

    def __init__(self, broker, topic):
        self.messages = queue.Queue()
        super().__init__(broker.port, lambda message: self.messages.put(message.payload))
        self.client.reconnect_delay_set(0.1, 0.5)
        # The subscription is in place before the example publishes, and again after
        # every reconnection.
        self.subscribe(topic, qos=1)
        self.client.on_connect = lambda client, *_: client.subscribe(topic, qos=1)

    def take(self, timeout=10.0):
        return self.messages.get(timeout=timeout)


@pytest.fixture
def watcher(broker, request):
    w = Watcher(broker, request.param)
    yield w
    w.close()


@pytest.mark.timeout(90)
@pytest.mark.parametrize("watcher", ["demo/binary/samples"], indirect=True)
def test_binary_round_trips_struct_packed_bytes(broker, watcher):
    result = run_example("binary", broker)
    assert result.returncode == 0, result.stdout + result.stderr
    sent = re.findall(r"^binary: sent ([0-9a-f ]+) \(.*: ok$", result.stdout, re.M)
    assert len(sent) == 4, result.stdout
    # What went over the wire is exactly what was packed, byte for byte.
    assert [watcher.take() for _ in sent] == [bytes.fromhex(hex_bytes) for hex_bytes in sent]


@pytest.mark.timeout(90)
@pytest.mark.parametrize("requests", [1, 25])
def test_request_reply_answers_every_request(broker, requests):
    result = run_example("request_reply", broker, "--requests", str(requests))
    assert result.returncode == 0, result.stdout + result.stderr
    squares = re.findall(r"^request_reply: (\d+) squared is (\d+)$", result.stdout, re.M)
    assert [(int(n), int(sq)) for n, sq in squares] == [(n, n * n) for n in range(1, requests + 1)]
    assert f"{requests} of {requests} requests answered" in result.stdout


class Running:
    """An example running in the background; its output lines are kept as they come, so
    that a test can wait for one."""

    def __init__(self, name, broker, *args):
        command, env = example(name, broker, *args)
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        encoding="utf-8", errors="replace")
        self.out, self.err = [], []
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(stream, lines), daemon=True)
                        for stream, lines in ((self.process.stdout, self.out), (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, lines):
        for line in stream:
            with self.changed:
                lines.append(line)
                self.changed.notify_all()
        with self.changed:
            lines.append(None)  # the end of the stream
            self.changed.notify_all()

    def wait_for(self, pattern, count=1, timeout=30):
        """Waits until `count` lines of stdout match the regular expression."""
        def found():
            return len([line for line in self.out if line and re.search(pattern, line)]) >= count
        with self.changed:
            assert self.changed.wait_for(lambda: found() or None in self.out, timeout) and found(), self.output()

    def finish(self, timeout=30):
        self.process.wait(timeout=timeout)
        for reader in self.readers:
            reader.join(timeout)
        return self.process.returncode

    def output(self):
        return "".join(line for line in self.out + self.err if line)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.finish()
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.mark.timeout(120)
@pytest.mark.parametrize("watcher", ["plant/17/temperature"], indirect=True)
def test_telemetry_delivers_every_reading_across_an_outage(broker, relay, watcher):
    # The outage is the relay's: the watcher, connected to the broker itself, misses
    # nothing meanwhile.
    running = Running("telemetry", broker, "--port", str(relay.port), "--readings", "400", "--interval", "0.05")
    try:
        running.wait_for(r"^telemetry: delivered .*\"reading\": 3,")
        relay.refuse()
        relay.cut()
        running.wait_for(r"^telemetry: \d+ reading\(s\) wait for the broker")
        relay.accept()
        # Connected again, with the control topic subscribed once more: "stop" ends it.
        running.wait_for(r"^telemetry: connected, listening on", count=2)
        control = Peer(broker.port, lambda message: None)
        control.publish("plant/17/control", "stop")
        control.close()
        assert running.finish() == 0, running.output()
    finally:
        running.close()
    out, err = "".join(running.out[:-1]), "".join(running.err[:-1])
    assert "telemetry: stop requested" in out
    assert "telemetry: connection lost (code -1)" in out
    # The SDK's lines went to the logging module, at their levels.
    assert re.search(r"WARNING tarvo_sdk: Connection lost: ", err), err
    assert re.search(r"INFO tarvo_sdk: Reconnected successfully to ", err), err
    assert "[SDK]" not in out + err
    # Every reading taken reached the broker, those of the outage after it.
    taken = int(re.search(r"^telemetry: done, (\d+) readings taken, 0 undelivered$", out, re.M).group(1))
    received = set()
    while len(received) < taken:
        received.add(json.loads(watcher.take())["reading"])
    assert received == set(range(1, taken + 1))



@pytest.mark.timeout(90)
@pytest.mark.parametrize("watcher", ["devices/+/ack"], indirect=True)
def test_command_listener_acknowledges_live_commands_and_skips_retained_ones(broker, relay, watcher):
    sender = Peer(broker.port, lambda message: None)
    sender.client.publish("devices/d1/cmd", "factory-reset", qos=1, retain=True).wait_for_publish(10)
    running = Running("command_listener", broker, "--port", str(relay.port), "--commands", "2")
    try:
        skipped = r"^listener: skipped retained command 'factory-reset' for d1$"
        running.wait_for(skipped)
        # The retained command comes again with the subscription renewed after a
        # reconnect, and is skipped again.
        relay.cut()
        running.wait_for(r"^listener: listening on", count=2)
        running.wait_for(skipped, count=2)
        sender.publish("devices/d2/cmd", "reboot")
        sender.publish("devices/d3/cmd", "blink")
        assert running.finish() == 0, running.output()
    finally:
        running.close()
        sender.close()
    out = "".join(running.out[:-1])
    assert "executes 'factory-reset'" not in out
    assert "listener: done, 2 command(s) executed" in out
    assert sorted(json.loads(watcher.take())["command"] for _ in range(2)) == ["blink", "reboot"]
