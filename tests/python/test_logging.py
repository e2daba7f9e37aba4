"""enable_logger: the console lines as logging records, from every thread that writes
them, and back on the console after disable_logger or once the interpreter exits."""

import json
import re

import pytest

from sdk_helpers import run_sdk

SCRIPT = """
import json, logging, os, threading
from tarvo_testsupport import Relay

relay = Relay(int(ADDR.rsplit(":", 1)[1]))
records = []
seen = {"Connection lost": threading.Event(), "Reconnect failed": threading.Event(),
        "Reconnected successfully": threading.Event()}

class Keep(logging.Handler):
    def emit(self, record):
        entry = [record.name, record.levelname, record.getMessage()]
        records.append(entry)
        os.write(1, ("record " + json.dumps(entry) + "\\n").encode())
        for start, event in seen.items():
            if record.getMessage().startswith(start):
                event.set()
        # A logging handler that sends through the client it logs for: its line goes
        # to the console instead of round again.
        if record.getMessage().startswith("Connection lost"):
            s.publish("log/lost", record.getMessage())
        # Mid-attempt, on the reconnect thread: a disconnect would wait for itself.
        if record.getMessage().startswith("Attempting") and "refused in logger" not in records:
            try:
                s.disconnect()
            except RuntimeError:
                records.append("refused in logger")

logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.INFO)

s = tarvo_sdk.SDK()
try:
    s.enable_logger(5)
except TypeError:
    records.append("refused")
s.enable_logger()
s.init("logged", relay.address, "tcp", "user", "hunter2-secret")
mark("routed")
s.connect()
s.connect()
s.subscribe("a/#")
s.subscribe("a/+b")
s.publish("a/+", "x")
s.unsubscribe("a/#")
relay.refuse()
relay.cut()
seen["Connection lost"].wait(10)
seen["Reconnect failed"].wait(10)
relay.accept()
seen["Reconnected successfully"].wait(10)
s.disconnect()
s.publish("t", "x")
s.disconnect()
mark("console")
s.disable_logger()
s.connect()
mark("given")
s.enable_logger(logging.getLogger("app.mqtt"))
s.disconnect()
s.connect()
mark("results")
print(json.dumps(records))
"""


@pytest.mark.timeout(60)
def test_lines_become_records_from_every_thread_until_disabled(broker):
    console = run_sdk(SCRIPT, broker, timeout=50)
    assert console.returncode == 0, console
    routed_out, routed_err = console.section("routed")
    # The only console line: the one the logging handler's own publish caused.
    assert routed_err == "[SDK] publish \u2014 not connected\n".encode(), console
    assert b"[SDK]" not in routed_out, console
    records = json.loads(console.section("results")[0])
    assert records[0] == "refused"
    assert "refused in logger" in records
    address = records[1][2].removeprefix("Connected to ")
    lines = [tuple(record[1:]) for record in records[1:] if record[0] == "tarvo_sdk"]
    assert lines[:7] == [
        ("INFO", f"Connected to {address}"),
        ("INFO", "Already connected"),
        ("INFO", "Subscribed to: a/#"),
        ("ERROR", "subscribe failed on 'a/+b', rc=-5"),
        ("ERROR", "publish failed on 'a/+', rc=-5"),
        ("INFO", "Unsubscribed from: a/#"),
        ("WARNING", "Connection lost: unknown"),
    ]
    # The reconnect thread's lines, as many as the broker's restart took.
    reconnecting = lines[7:-3]
    assert reconnecting[0] == ("INFO", "Attempting to reconnect...")
    assert reconnecting[-1] == ("INFO", f"Reconnected successfully to {address}")
    failed = [line for line in reconnecting[:-1] if line != ("INFO", "Attempting to reconnect...")]
    assert failed and all(
        level == "WARNING" and re.fullmatch(r"Reconnect failed, rc=-?\d+\. Retrying in 1s", message)
        for level, message in failed
    ), reconnecting
    assert lines[-3:] == [("INFO", "Disconnected"), ("ERROR", "publish \u2014 not connected"), ("INFO", "Not connected")]
    assert not any("hunter2" in message for _, message in lines)

    # Disabled: the console, byte for byte as without a logger.
    assert console.section("console") == (f"[SDK] Connected to {address}\n".encode(), b"")
    # Another logger, and the line written when the interpreter exits still reaches it.
    given = [record for record in records if record[0] == "app.mqtt"]
    assert given == [["app.mqtt", "INFO", "Disconnected"], ["app.mqtt", "INFO", f"Connected to {address}"]]
    exit_out, exit_err = console.section("exit")
    assert (exit_out, exit_err) == (b'record ["app.mqtt", "INFO", "Disconnected"]\n', b""), console
