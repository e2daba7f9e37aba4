"""Losing the connection and getting it back: the events and console lines of a loss,
the reconnect loop's doubling delay and its cap, and how stop, connect and handler
replacement meet a loop that is waiting or attempting.

Scenarios whose console lines are checked run whole in a child interpreter, with a
broker and relay of their own, and write what they observed to a JSON file: the lines
are written unflushed and can only be read once the child has exited. The child's
connection handler flushes the C streams and writes "EVENT <connected> <code>" to both,
so each event shows where it came among the lines."""

import json
import random
import re
import socket
import sys
import textwrap
import threading
import time

import pytest

from tarvo_testsupport import Broker, Relay, run_script, wait_until
from test_handlers import MAIN, TESTS_DIR, Peer, barrier, make_sdk

pytestmark = pytest.mark.timeout(90)

class TimedRelay(Relay):
    """A relay that also notes when each TCP connection reached it, refused or not, and
    whether it opened with an MQTT 3.1 CONNECT: after a failed MQTT 3.1.1 attempt the
    library tries again at once with MQTT 3.1, on a connection of its own."""

    def __init__(self, target_port):
        self.connections_seen = []  # (monotonic time, MQTT 3.1 fallback)
        super().__init__(target_port)

    def on_accept(self, sock):
        moment = time.monotonic()
        sock.settimeout(2)
        try:
            head = sock.recv(16, socket.MSG_PEEK)
        except OSError:
            head = b""
        sock.settimeout(None)
        self.connections_seen.append((moment, b"MQIsdp" in head))
        return super().on_accept(sock)

    def attempt_starts(self):
        """When the SDK's connection attempts began (its own connect counts as one)."""
        return [moment for moment, fallback in list(self.connections_seen) if not fallback]


CHILD_PRELUDE = """
import ctypes, json, os, sys, threading, time, uuid
from pathlib import Path
sys.path.insert(0, TESTS_DIR)
from tarvo_testsupport import Broker, wait_until
from test_reconnect import TimedRelay
import tarvo_sdk

MAIN = threading.get_ident()
broker = Broker(Path(TMP))
relay = TimedRelay(broker.port)
events = []
result = {}

libc = ctypes.CDLL(None)

def on_connection(connected, code):
    events.append([connected, code, "main" if threading.get_ident() == MAIN else threading.get_ident(),
                   time.monotonic()])
    libc.fflush(None)
    line = f"EVENT {connected} {code}\\n".encode()
    os.write(1, line)
    os.write(2, line)

def make_sdk(address=None, **options):
    sdk = tarvo_sdk.SDK()
    sdk.on_connection(on_connection)
    sdk.init("rc-" + uuid.uuid4().hex[:10], address or relay.address, "tcp", "u", "p", **options)
    return sdk

def failed_attempts(n, timeout=30):
    # the relay's first connection was the SDK's own connect
    assert wait_until(lambda: len(relay.attempt_starts()) >= n + 1, timeout), relay.connections_seen
    time.sleep(0.2)  # the relay has refused the last one

def lose(refuse=True):
    if refuse:
        relay.refuse()
    result["lost_at"] = time.monotonic()
    relay.cut()
"""

CHILD_EPILOGUE = """
result.setdefault("events", events)
result.setdefault("attempts", relay.attempt_starts())
result.setdefault("connections_seen", relay.connections_seen)
sdk = None  # a stopped SDK says "[SDK] Not connected" once more as it goes
result.setdefault("connections", relay.connections)
relay.close()
broker.kill()
Path(RESULT).write_text(json.dumps(result))
"""


def run_child(tmp_path, body, timeout=90):
    """Runs body after CHILD_PRELUDE in a fresh interpreter; returns (result, stdout lines,
    stderr lines)."""
    result_file = tmp_path / "result.json"
    script = (f"TESTS_DIR = {TESTS_DIR!r}\nTMP = {str(tmp_path)!r}\nRESULT = {str(result_file)!r}\n"
              + CHILD_PRELUDE + textwrap.dedent(body) + CHILD_EPILOGUE)
    process = run_script(script, timeout=timeout)
    out, err = process.stdout.decode(), process.stderr.decode()
    assert process.returncode == 0, f"child failed:\n{err}"
    return json.loads(result_file.read_text()), out.splitlines(), err.splitlines()


def delays(err_lines):
    """The D of every "[SDK] Reconnect failed, rc=N. Retrying in Ds" line."""
    found = []
    for line in err_lines:
        match = re.fullmatch(r"\[SDK\] Reconnect failed, rc=(-?\d+)\. Retrying in (\d+)s", line)
        if match:
            found.append(int(match.group(2)))
    return found


def waits(result, attempts):
    """The time from the end of each of these attempts to the start of the next one. An
    attempt ends with its last connection (the library's MQTT 3.1 retry, if it made one),
    which the relay refuses at once, so what is left is the loop's own wait."""
    seen = [moment for moment, _fallback in result["connections_seen"]]
    found = []
    for start, following in zip(attempts, attempts[1:]):
        last = max(moment for moment in seen if start <= moment < following)
        found.append(following - last)
    return found


def shape(events):
    """Events as (connected, code, thread), the thread being "main" or "other"."""
    return [(c, code, thread if thread == "main" else "other") for c, code, thread, _ in events]


# --- a loss, the lines and the events -------------------------------------------------------


@pytest.mark.parametrize("cause", ["relay-cut", "broker-restart"])
def test_a_loss_and_its_reconnection(tmp_path, cause):
    body = textwrap.dedent({
        "relay-cut": """
            sdk = make_sdk()
            address = relay.address
            assert sdk.connect()
            lose()
            failed_attempts(3)
            relay.accept()
        """,
        "broker-restart": """
            sdk = make_sdk(broker.address)
            address = broker.address
            assert sdk.connect()
            broker.kill()
            time.sleep(2.5)
            broker.start()
        """,
    }[cause]) + textwrap.dedent("""
        result["lost"] = wait_until(lambda: len(events) >= 2 and not sdk.is_connected(), 10)
        assert wait_until(lambda: len(events) >= 3, 20), events
        result["reconnected"] = sdk.is_connected()
        sdk.stop()
        result["address"] = address
    """)
    result, out, err = run_child(tmp_path, body)
    assert result["reconnected"] is True
    events = result["events"]
    assert shape(events) == [(True, 0, "main"), (False, -1, "other"), (True, 0, "other"), (False, 0, "main")]
    assert events[1][2] != events[0][2] and events[2][2] != events[0][2]

    address = result["address"]
    failures = len(delays(err))
    assert failures >= 2
    assert out == ([f"[SDK] Connected to tcp://{address}", "EVENT True 0", "EVENT False -1"]
                   + ["[SDK] Attempting to reconnect..."] * (failures + 1)
                   + [f"[SDK] Reconnected successfully to tcp://{address}", "EVENT True 0",
                      "[SDK] Disconnected", "EVENT False 0", "[SDK] Not connected"])
    assert err[:3] == ["EVENT True 0", "[SDK] Connection lost: unknown", "EVENT False -1"]
    assert len(err) == 3 + failures + 2 and err[-2:] == ["EVENT True 0", "EVENT False 0"]


@pytest.mark.parametrize("cap, expected", [
    pytest.param(1, [1, 1, 1], id="cap-1"),
    pytest.param(3, [1, 2, 3, 3], id="cap-3"),
    pytest.param(10, [1, 2, 4], id="cap-10"),
    pytest.param(0, [1, 0, 0, 0], id="cap-0"),
    pytest.param(-5, [1, 0, 0, 0], id="cap-negative"),
])
def test_the_delay_doubles_up_to_its_cap(tmp_path, cap, expected):
    result, out, err = run_child(tmp_path, f"""
        sdk = make_sdk(maxReconnectInterval={cap})
        assert sdk.connect()
        lose()
        failed_attempts({len(expected) + 1})
        sdk.stop()
    """)
    assert delays(err)[:len(expected)] == expected
    attempts = result["attempts"][1:]
    loss_reported = result["events"][1][3]  # on the loop's thread, right before its first attempt
    assert attempts[0] - loss_reported < 0.9  # the first attempt is made at once, not after 1 s
    gaps = waits(result, attempts)
    for delay, gap in zip(expected, gaps):
        # The relay times connections on its accepting thread, which a loaded machine can
        # hold up at either end of a wait: the margin allows that, and still tells every
        # delay from the next or previous whole second.
        assert abs(gap - delay) < 0.9, (expected, gaps)
    assert out.count("[SDK] Attempting to reconnect...") == len(delays(err))


def test_without_auto_reconnect_the_loss_is_final(tmp_path):
    result, out, err = run_child(tmp_path, """
        sdk = make_sdk(autoReconnect=False)
        assert sdk.connect()
        lose(refuse=False)
        assert wait_until(lambda: len(events) == 2, 10)
        time.sleep(2.5)
        result["connected"] = sdk.is_connected()
        sdk.disconnect()
        result["events_after_disconnect"] = len(events)
        sdk.stop()
        result["address"] = relay.address
    """)
    assert result["connected"] is False
    assert result["connections"] == 1 and len(result["attempts"]) == 1
    assert shape(result["events"]) == [(True, 0, "main"), (False, -1, "other")]
    assert "[SDK] Connection lost: unknown" in err
    assert not any("Attempting" in line or "Reconnected" in line for line in out)
    assert result["events_after_disconnect"] == 2
    assert out == [f"[SDK] Connected to tcp://{result['address']}", "EVENT True 0", "EVENT False -1"] \
        + ["[SDK] Not connected"] * 3


def test_a_failed_connect_is_retried_at_its_interval_until_the_broker_is_up(tmp_path):
    result, out, err = run_child(tmp_path, """
        relay.refuse()
        sdk = make_sdk(connectRetry=True, connectRetryInterval=2)
        result["connect"] = sdk.connect()
        failed_attempts(2)
        relay.accept()
        assert wait_until(lambda: events, 10), events
        result["connected"] = sdk.is_connected()
        sdk.stop()
        result["address"] = relay.address
    """)
    assert result["connect"] is False and result["connected"] is True
    assert shape(result["events"]) == [(True, 0, "other"), (False, 0, "main")]
    # Every wait is the interval, also the first (the connect had just failed), whatever
    # maxReconnectInterval (1) says.
    gaps = waits(result, result["attempts"])
    assert len(gaps) >= 3 and all(abs(gap - 2) < 0.9 for gap in gaps), gaps
    retries = len(gaps)
    assert err[0] == "[SDK] connect failed, rc=-1" and delays(err) == [2] * (retries - 1)
    assert out == ["[SDK] Attempting to reconnect..."] * retries + [
        f"[SDK] Connected to tcp://{result['address']}", "EVENT True 0",
        "[SDK] Disconnected", "EVENT False 0", "[SDK] Not connected"]


# --- stop and connect against a running loop -------------------------------------------------


def test_stop_cuts_a_waiting_loop_short(tmp_path):
    result, out, err = run_child(tmp_path, """
        sdk = make_sdk(maxReconnectInterval=60)
        assert sdk.connect()
        lose()
        failed_attempts(3)  # at about 0, 1 and 3 s; the loop now waits 4 s
        time.sleep(0.3)
        started = time.monotonic()
        sdk.stop()
        result["stop_took"] = time.monotonic() - started
        result["attempts_at_stop"] = len(relay.attempt_starts())
        time.sleep(0.5)
    """)
    assert result["stop_took"] < 2.0  # waiting out the 4 s would take over 3 s
    assert len(result["attempts"]) == result["attempts_at_stop"] == 4
    assert delays(err) == [1, 2, 4]
    assert out.count("[SDK] Attempting to reconnect...") == 3
    assert shape(result["events"])[-1] == (False, -1, "other")  # stop on a lost connection: no (False, 0)


def test_stop_waits_for_an_attempt_in_progress(tmp_path):
    result, out, err = run_child(tmp_path, """
        import socket
        silent = socket.create_server(("127.0.0.1", 0))  # takes connections, never answers
        sdk = make_sdk(connectTimeout=4)
        assert sdk.connect()
        relay.target_port = silent.getsockname()[1]
        lose(refuse=False)
        failed_attempts(1)
        time.sleep(0.5)
        started = time.monotonic()
        sdk.stop()
        result["stop_started"] = started
        result["stop_returned"] = time.monotonic()
        result["connected"] = sdk.is_connected()
    """)
    # The attempt ends when its connect timeout runs out and the library's MQTT 3.1 retry,
    # on what time is left, fails too (on a loaded machine it may find none left and
    # send nothing): stop returned only after that, with over 3 s of the attempt to go
    # when it began, and nothing connected after it returned.
    assert result["stop_returned"] - result["stop_started"] >= 1.0
    assert all(moment <= result["stop_returned"] for moment, _fallback in result["connections_seen"])
    assert result["connected"] is False
    assert out.count("[SDK] Attempting to reconnect...") == 1
    assert not any("Reconnected" in line for line in out)


def test_an_application_connect_ends_a_waiting_loop(tmp_path):
    result, out, err = run_child(tmp_path, """
        sdk = make_sdk(maxReconnectInterval=60)
        assert sdk.connect()
        lose()
        failed_attempts(2)  # the loop now waits 2 s
        relay.accept()
        result["connect"] = sdk.connect()
        time.sleep(3.5)  # past the end of that wait
        result["connected"] = sdk.is_connected()
        sdk.stop()
        result["address"] = relay.address
    """)
    assert result["connect"] is True and result["connected"] is True
    assert result["connections"] == 2 and len(result["attempts"]) == 4
    connected = f"[SDK] Connected to tcp://{result['address']}"
    assert out == [connected, "EVENT True 0", "EVENT False -1"] + ["[SDK] Attempting to reconnect..."] * 2 + [
        connected, "EVENT True 0", "[SDK] Disconnected", "EVENT False 0", "[SDK] Not connected"]
    assert delays(err) == [1, 2]
    assert shape(result["events"]) == [(True, 0, "main"), (False, -1, "other"), (True, 0, "main"),
                                       (False, 0, "main")]


def test_a_new_loss_starts_again_at_one_second(tmp_path):
    result, out, err = run_child(tmp_path, """
        sdk = make_sdk(maxReconnectInterval=60)
        assert sdk.connect()
        lose()
        failed_attempts(2)
        relay.accept()
        assert wait_until(lambda: len(events) == 3, 10)
        time.sleep(0.2)
        result["second_loss_from"] = len(relay.attempt_starts())
        lose()
        assert wait_until(lambda: len(relay.attempt_starts()) > result["second_loss_from"], 10)
        time.sleep(0.2)
        relay.accept()
        assert wait_until(lambda: len(events) == 5, 10)
        sdk.stop()
        result["address"] = relay.address
    """)
    assert delays(err) == [1, 2, 1]
    second_run = result["attempts"][result["second_loss_from"]:]
    assert abs(waits(result, second_run)[0] - 1) < 0.9  # 1 s, not the 4 s the first run would wait next
    assert out.count(f"[SDK] Reconnected successfully to tcp://{result['address']}") == 2
    assert [(c, code) for c, code, _ in shape(result["events"])] == [
        (True, 0), (False, -1), (True, 0), (False, -1), (True, 0), (False, 0)]


# --- in-process: what the application sees -------------------------------------------------


@pytest.fixture
def timed_relay(broker):
    r = TimedRelay(broker.port)
    yield r
    r.close()


@pytest.fixture
def sdks(timed_relay):
    made = []

    def factory(**options):
        made.append(make_sdk(timed_relay.address, **options))
        return made[-1]

    yield factory
    for sdk in made:
        sdk.on_message(None)
        sdk.on_connection(None)
        sdk.stop()


@pytest.fixture
def persistent_broker(tmp_path):
    """A broker that keeps sessions and retained messages across a restart (SIGTERM)."""
    # Started as root (in the sandbox), the broker would write its store as user mosquitto,
    # who cannot reach the test's directory.
    b = Broker(tmp_path, extra_config=f"persistence true\npersistence_location {tmp_path}/\nuser root\n")
    yield b
    b.kill()


def restart_cleanly(broker):
    broker.process.terminate()  # a clean exit writes the sessions it keeps
    broker.process.wait(timeout=10)
    broker.start()


@pytest.mark.parametrize("loss, clean_session, resume, kept, resubscribed", [
    ("cut", True, False, False, False),
    ("cut", False, False, True, False),
    ("cut", True, True, False, True),
    ("restart", True, True, False, True),
    ("restart", False, True, True, False),
])
def test_resubscription_after_reconnects(persistent_broker, loss, clean_session, resume, kept, resubscribed):
    """Each SUBSCRIBE brings the retained message again: with resumeSubs the SDK subscribes
    once per reconnect that found no session kept, and not at all when it was kept. What
    was unsubscribed stays so."""
    relay = TimedRelay(persistent_broker.port)
    peer = Peer(persistent_broker)
    retained, news, events = [], [], []
    sdk = make_sdk(relay.address, cleanSession=clean_session, resumeSubs=resume)
    try:
        peer.client.publish("cfg/mode", b"eco", qos=1, retain=True).wait_for_publish(10)
        sdk.on_message(lambda topic, payload: (retained if topic == "cfg/mode" else news).append(payload))
        sdk.on_connection(lambda connected, code: events.append((connected, code)))
        assert sdk.connect() and sdk.subscribe("cfg/#", 1) and sdk.subscribe("news", 1) and sdk.subscribe("gone", 1)
        sdk.unsubscribe("gone")
        for round in (1, 2):
            if loss == "cut":
                relay.cut()
            else:
                peer.close()
                restart_cleanly(persistent_broker)
                peer = Peer(persistent_broker)
            assert wait_until(lambda: len(events) == 1 + 2 * round, 20), events
            for topic in ("news", "gone"):
                peer.publish(topic, f"{topic} {round}".encode())
            # The first barrier has the news read, and so acknowledged; the second has the
            # broker read that acknowledgement, sent ahead of it, before the next restart
            # (else the broker keeps the news in flight, and sends it again after).
            barrier(sdk)
            barrier(sdk)
        assert events == [(True, 0)] + [(False, -1), (True, 0)] * 2
        assert retained == ["eco"] * (3 if resubscribed else 1)
        assert news == (["news 1", "news 2"] if kept or resubscribed else [])
    finally:
        sdk.stop()
        peer.close()
        relay.close()


def test_a_connection_handler_can_resubscribe_and_publish_after_a_reconnect(sdks, broker, timed_relay):
    peer = Peer(broker, subscriptions=["status"])
    received = []
    holder = []

    def on_connection(connected, code):
        if connected:
            sdk = holder[0]
            assert sdk.subscribe("news", 1)
            sdk.publish("status", "online", 1)

    try:
        sdk = sdks(cleanSession=True)
        holder.append(sdk)
        sdk.on_message(lambda topic, payload: received.append(payload))
        sdk.on_connection(on_connection)
        assert sdk.connect()
        timed_relay.cut()
        assert peer.received.wait_for(2, 15) and peer.received.messages == [("status", b"online")] * 2
        peer.publish("news", b"fresh")
        assert wait_until(lambda: received == ["fresh"])
    finally:
        holder.clear()
        peer.close()


def test_a_raising_connection_handler_on_the_reconnect_thread_is_unraisable(sdks, timed_relay, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    events = []
    sdk = sdks()
    assert sdk.connect()

    def handler(connected, code):
        events.append((connected, code, threading.get_ident()))
        raise ValueError(f"refused {connected}")

    sdk.on_connection(handler)
    timed_relay.cut()
    assert wait_until(lambda: len(events) == 2 and len(unraisable) == 2, 15), (events, unraisable)
    assert [(c, code) for c, code, _ in events] == [(False, -1), (True, 0)]
    assert MAIN not in {thread for _, _, thread in events}
    assert [str(u.exc_value) for u in unraisable] == ["refused False", "refused True"]
    assert all(u.exc_type is ValueError for u in unraisable)
    assert sdk.is_connected()


@pytest.mark.parametrize("replacement", [None, "other"])
def test_replacing_the_connection_handler_waits_for_its_call_on_the_reconnect_thread(sdks, timed_relay,
                                                                                     replacement):
    entered, finished = threading.Event(), threading.Event()

    def slow(connected, code):
        entered.set()
        time.sleep(1.0)
        finished.set()

    sdk = sdks()
    assert sdk.connect()
    sdk.on_connection(slow)
    timed_relay.cut()
    assert entered.wait(10)
    sdk.on_connection(None if replacement is None else (lambda c, code: None))
    assert finished.is_set()


def test_a_handler_on_the_reconnect_thread_cannot_stop_its_object(sdks, timed_relay):
    outcomes = []
    sdk = sdks()
    assert sdk.connect()

    def handler(connected, code):
        try:
            sdk.stop()
            outcomes.append(None)
        except RuntimeError as error:
            outcomes.append(str(error))

    sdk.on_connection(handler)
    timed_relay.cut()
    assert wait_until(lambda: len(outcomes) == 2, 15)
    assert all("inside a handler" in o for o in outcomes)
    assert sdk.is_connected()


@pytest.mark.timeout(120)
def test_losses_in_quick_succession_keep_the_events_in_step(sdks, timed_relay):
    """Connections cut at random moments, also while a reconnection is under way: every
    loss reports (False, -1), every reconnection (True, 0), strictly in turn."""
    rng = random.Random(7)
    events = []
    lock = threading.Lock()

    def handler(connected, code):
        with lock:
            events.append((connected, code))

    sdk = sdks(maxReconnectInterval=0)
    sdk.on_connection(handler)
    assert sdk.connect()
    for _ in range(30):
        time.sleep(rng.uniform(0.0, 0.3))
        timed_relay.cut()
    assert wait_until(sdk.is_connected, 15)
    time.sleep(0.5)
    assert wait_until(sdk.is_connected, 15)
    with lock:
        seen = list(events)
    assert seen[0] == (True, 0) and seen[-1] == (True, 0)
    for earlier, later in zip(seen, seen[1:]):
        assert earlier != later, seen
    assert set(seen) == {(True, 0), (False, -1)}
