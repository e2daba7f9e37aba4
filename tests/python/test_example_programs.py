"""The examples under examples/, run as `./dev demo NAME` runs them, against a real
broker, with a paho-mqtt peer watching the wire."""

import json
import os
import queue
import re
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt
import pytest

from tarvo_testsupport import HOST, REPO, Peer, wait_until


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


NOT_CONNECTED = "[SDK] publish \N{EM DASH} not connected".encode()


@pytest.mark.timeout(120)
@pytest.mark.parametrize("watcher", ["plant/17/temperature"], indirect=True)
def test_telemetry_keeps_publishing_across_a_broker_restart(broker, watcher):
    command, env = example("telemetry", broker, "--readings", "400", "--interval", "0.1")
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        # The module writes its lines to stderr unbuffered: read as they come, they show when
        # a reading has been dropped. (A reader, too, keeps a full pipe from blocking the child.)
        err_lines = []
        reader = threading.Thread(target=lambda: err_lines.extend(iter(process.stderr.readline, b"")), daemon=True)
        reader.start()
        try:
            received = [json.loads(watcher.take())["reading"] for _ in range(3)]
            broker.kill()
            assert wait_until(lambda: any(NOT_CONNECTED in line for line in err_lines), 30), err_lines
            broker.start()
            # The example reconnects by itself and goes on publishing: wait for the first
            # reading after the gap that the outage left in the sequence.
            deadline = time.monotonic() + 30
            while (reading := json.loads(watcher.take(30))["reading"]) <= received[-1] + 1:
                assert time.monotonic() < deadline
                received.append(reading)
            received.append(reading)
            # It renewed its subscription to the control topic after reconnecting (the
            # restarted broker had forgotten it), so "stop" ends it long before reading 400.
            control = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id="telemetry-control")
            control.connect(HOST, broker.port)
            control.loop_start()
            for _ in range(40):
                control.publish("plant/17/control", "stop", qos=1).wait_for_publish(5)
                if process.poll() is not None:
                    break
                time.sleep(0.25)
            control.loop_stop()
            control.disconnect()
            stdout = process.stdout.read()
            process.wait(timeout=30)
            reader.join(30)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    out, err = stdout.decode(), b"".join(err_lines).decode()
    assert process.returncode == 0, out + err
    assert "telemetry: stop requested" in out
    assert out.count("telemetry: connected") == 2  # connect() and the reconnect
    assert "telemetry: connection lost (code -1)" in out
    # Readings published while disconnected were reported and dropped, not queued.
    dropped = err.count(NOT_CONNECTED.decode())
    assert dropped >= 1
    published = int(re.findall(r'"reading": (\d+)', out)[-1])
    assert reading <= published < 400
    while not watcher.messages.empty():
        received.append(json.loads(watcher.messages.get())["reading"])
    assert len(set(range(1, published + 1)) - set(received)) >= dropped
