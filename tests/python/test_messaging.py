"""publish, subscribe and unsubscribe against a real Mosquitto, with a paho-mqtt peer
watching what goes over the wire and the console lines read after the script exits."""

import json
import queue
import random
import signal
import sys
import threading
import time
import uuid

import pytest
import tarvo_sdk

from tarvo_testsupport import wait_until
from sdk_helpers import Peer, Received, peer, run_sdk  # noqa: F401  (peer is a fixture)

pytestmark = pytest.mark.timeout(60)

NOT_CONNECTED = (
    "[SDK] publish \u2014 not connected\n"
    "[SDK] subscribe \u2014 not connected\n"
    "[SDK] unsubscribe \u2014 not connected\n"
).encode()


@pytest.fixture
def sdk(broker):
    client = tarvo_sdk.SDK()
    client.init(f"sdk-{uuid.uuid4().hex[:8]}", broker.address, "tcp", "user", "secret")
    assert client.connect()
    yield client
    client.stop()


# --- what reaches a peer -------------------------------------------------------------


@pytest.mark.parametrize(
    "payload, wire",
    [
        ("plain", b"plain"),
        ("\u00e4", b"\xc3\xa4"),
        ("\u20ac\U0001f600", "\u20ac\U0001f600".encode()),
        (b"\x00a\x00\xff\xfe", b"\x00a\x00\xff\xfe"),
        (bytearray(b"\xff\x00\x01"), b"\xff\x00\x01"),
        ("", b""),
        (b"", b""),
        ("x" * 300_000, b"x" * 300_000),
    ],
    ids=["ascii", "umlaut", "astral", "bytes-nul-ff", "bytearray", "empty-str", "empty-bytes", "large"],
)
def test_payload_bytes_on_the_wire(sdk, peer, payload, wire):
    sdk.publish("p", payload)
    assert peer.next() == Received(b"p", wire, 0, False)


def test_a_bytearray_is_not_resized_under_its_publish(sdk, broker, peer):
    # With no forced thread switches, the resizing thread gets the interpreter lock only
    # once publish has released it; the frozen broker holds the publish until it tried.
    # A resize then would free the bytes under the library's copy.
    payload = bytearray(random.randbytes(100_000))
    sent = bytes(payload)
    released, refused = threading.Event(), []

    def resize():
        released.wait()
        try:
            payload.clear()
        except BufferError:
            refused.append(True)
        finally:
            broker.process.send_signal(signal.SIGCONT)

    resizer = threading.Thread(target=resize)
    resizer.start()
    interval = sys.getswitchinterval()
    broker.process.send_signal(signal.SIGSTOP)
    sys.setswitchinterval(1000)
    try:
        released.set()
        assert sdk.publish("p", payload, 1)
    finally:
        sys.setswitchinterval(interval)
        released.set()
        resizer.join(timeout=10)
    assert refused
    assert peer.next() == Received(b"p", sent, 1, False)


@pytest.mark.parametrize(
    "call, qos, retain",
    [
        (lambda s: s.publish("t", "x"), 0, False),
        (lambda s: s.publish("t", "x", 1), 1, False),
        (lambda s: s.publish("t", "x", 2), 2, False),
        (lambda s: s.publish("t", "x", 0, True), 0, True),
        (lambda s: s.publish("t", "x", 2, True), 2, True),
        (lambda s: s.publish("t", "x", qos=1, retained=True), 1, True),
        (lambda s: s.publish(topic="t", payload="x", retained=True), 0, True),
        (lambda s: s.publish("t", "x", retained=False, qos=2), 2, False),
        (lambda s: s.publish("t", "x", 1, None), 1, False),
        (lambda s: s.publish("t", "x", retained=None), 0, False),
    ],
    ids=["defaults", "q1-pos", "q2-pos", "retained-pos", "q2-retained-pos", "q1-retained-kw",
         "topic-payload-kw", "kw-reordered", "retained-None-pos", "retained-None-kw"],
)
def test_qos_and_retained_flag_as_received(sdk, peer, call, qos, retain):
    call(sdk)
    assert peer.next() == Received(b"t", b"x", qos, retain)


@pytest.mark.parametrize("qos", [0, 1, 2])
def test_retained_message_reaches_a_later_subscriber(sdk, broker, qos):
    sdk.publish("kept/here", "remember me", qos, True)
    sdk.publish("kept/not", "forget me", qos, False)
    # A round trip through the broker orders the check after both publications.
    sdk.publish("kept/fence", "", 1)
    late = Peer(broker.port, "kept/#")
    try:
        assert late.next() == Received(b"kept/here", b"remember me", qos, True)
        with pytest.raises(queue.Empty):
            late.next(timeout=0.5)
    finally:
        late.close()


def test_messages_of_each_qos_arrive_in_order(sdk, peer):
    # MQTT orders messages of one QoS; across QoS levels the broker may interleave.
    for i in range(30):
        sdk.publish(f"seq/{i % 3}", str(i), i % 3)
    got = [peer.next() for _ in range(30)]
    for qos in range(3):
        assert [(m.topic, m.payload, m.qos) for m in got if m.topic == f"seq/{qos}".encode()] == [
            (f"seq/{qos}".encode(), str(i).encode(), qos) for i in range(qos, 30, 3)
        ]


# A frozen broker reads nothing and acknowledges nothing; a killed one ends the
# connection while the publish waits. (broker's fate, QoS, publish's result)
BROKER_FAILURES = [
    ("frozen", 0, True),  # written to the socket: all QoS 0 promises
    ("frozen", 1, False),  # no acknowledgement within the 10 s
    ("killed", 1, False),
    ("killed", 2, False),
]


@pytest.mark.parametrize("fate, qos, result", BROKER_FAILURES, ids=[f"{f}-q{q}" for f, q, _ in BROKER_FAILURES])
def test_publish_result_when_the_broker_fails_mid_publish(sdk, broker, fate, qos, result):
    assert sdk.publish("t", "acknowledged", qos) is True
    broker.process.send_signal(signal.SIGSTOP)
    try:
        if fate == "frozen":
            assert sdk.publish("t", "unanswered", qos) is result
            return
        outcome = []
        publishing = threading.Event()

        def publish():
            publishing.set()
            outcome.append(sdk.publish("t", "cut off", qos))

        publisher = threading.Thread(target=publish)
        publisher.start()
        publishing.wait(10)
        started = time.monotonic()
        broker.kill()
        publisher.join(15)
        assert outcome == [result]
        # The loss, not the 10 s wait, ended it (a margin no loaded machine breaks).
        assert time.monotonic() - started < 8
    finally:
        if broker.process.poll() is None:
            broker.process.send_signal(signal.SIGCONT)


# --- not connected -------------------------------------------------------------------

# (what brings the client into the state, what reconnects it afterwards)
STATES = {
    "before-connect": ("", "s.connect()"),
    "after-disconnect": ("s.connect(); s.disconnect()", "s.connect()"),
    "after-stop": ("s.connect(); s.stop()", "s.init('sdk', ADDR, 'tcp', 'u', 'p'); s.connect()"),
}


@pytest.mark.parametrize("state", STATES)
def test_operations_when_not_connected_are_refused_and_send_nothing(broker, peer, state):
    setup, resume = STATES[state]
    console = run_sdk(
        f"""
        import json
        s = tarvo_sdk.SDK()
        s.init("sdk", ADDR, "tcp", "u", "p")
        {setup}
        mark("calls")
        published = s.publish("t", "x", 1, True)
        subscribed = s.subscribe("t", 1)
        s.unsubscribe("t")
        mark("resume")
        {resume}
        s.publish("done", "")
        mark("results")
        print(json.dumps([published, subscribed]))
        """,
        broker,
    )
    assert console.returncode == 0, console
    assert console.section("calls") == (b"", NOT_CONNECTED)
    assert json.loads(console.section("results")[0]) == [False, False]
    # Nothing was sent, nor kept to be sent once connected again.
    assert peer.until(b"done") == []


# --- calls the client or the library refuses -------------------------------------------

# The call runs on a connected client; afterwards the script subscribes to "fence", a
# second client publishes "a" then "fence", and the first client publishes "done". The
# peer must see exactly those: the failed call sent nothing, and the connection is up.
FAILURE_SCRIPT = """
import json, time
s = connected()
got = []
s.on_message(lambda topic, payload: got.append(topic))
mark("call")
result = {call}
mark("after")
s.subscribe("fence")
w = connected("witness")
w.publish("a", "from witness", 1)
w.publish("fence", "", 1)
for _ in range(500):
    if "fence" in got:
        break
    time.sleep(0.01)
connected_after = s.is_connected()
s.publish("done", "", 1)
mark("results")
print(json.dumps([repr(result), got, connected_after]))
"""

FAILURES = [
    # (call, console line on stderr, result)
    ("s.publish('t', 'x', 3)", b"[SDK] publish failed on 't', rc=-9\n", "False"),
    ("s.publish('t', 'x', -1)", b"[SDK] publish failed on 't', rc=-9\n", "False"),
    ("s.publish('', 'x')", b"[SDK] publish failed on '', rc=-5\n", "False"),
    ("s.publish('a/+', 'x')", b"[SDK] publish failed on 'a/+', rc=-5\n", "False"),
    ("s.publish('a/#', 'x', 1, True)", b"[SDK] publish failed on 'a/#', rc=-5\n", "False"),
    ("s.publish('#', 'x')", b"[SDK] publish failed on '#', rc=-5\n", "False"),
    ("s.publish(b'\\xff', 'x')", b"[SDK] publish failed on '\xff', rc=-5\n", "False"),
    ("s.publish('a\\x00b', 'x')", b"[SDK] publish failed on 'a\x00b', rc=-5\n", "False"),
    ("s.publish('a\\x00', 'x', 1)", b"[SDK] publish failed on 'a\x00', rc=-5\n", "False"),
    ("s.subscribe('t', 3)", b"[SDK] subscribe failed on 't', rc=-9\n", "False"),
    ("s.subscribe(b'\\xff')", b"[SDK] subscribe failed on '\xff', rc=-5\n", "False"),
    ("s.subscribe('a\\x00b')", b"[SDK] subscribe failed on 'a\x00b', rc=-5\n", "False"),
    ("s.unsubscribe('a\\x00b')", b"[SDK] unsubscribe failed on 'a\x00b', rc=-5\n", "None"),
]


@pytest.mark.parametrize("call, line, result", FAILURES, ids=[f[0] for f in FAILURES])
def test_refused_call_prints_one_line_sends_nothing_and_keeps_the_connection(broker, peer, call, line, result):
    console = run_sdk(FAILURE_SCRIPT.replace("{call}", call), broker)
    assert console.returncode == 0, console
    assert console.section("call") == (b"", line)
    assert json.loads(console.section("results")[0]) == [result, ["fence"], True]
    # In particular nothing reached "a" (a topic cut at its NUL) from the failed call,
    # and a NUL topic did not subscribe to "a".
    assert peer.until(b"done") == [
        Received(b"a", b"from witness", 1, False),
        Received(b"fence", b"", 1, False),
    ]


@pytest.mark.parametrize(
    "call",
    [
        "s.publish('t', 'x', 1.0)",
        "s.publish('t', None)",
        "s.publish(None, 'x')",
        "s.publish('t', 'x', '1')",
        "s.publish('t', 'x', 0, '')",
        "s.publish('t', 'x', 2147483648)",
        "s.publish('t', '\\ud800')",
        "s.subscribe('t', 1.0)",
        "s.subscribe(None)",
        "s.unsubscribe(topic='t')",
        "s.unsubscribe()",
        "s.unsubscribe('t', 't')",
    ],
)
def test_argument_conversion_failure_calls_nothing(broker, peer, call):
    console = run_sdk(
        f"""
        s = connected()
        mark("call")
        try:
            {call}
            outcome = "no error"
        except TypeError:
            outcome = "TypeError"
        mark("results")
        print(outcome)
        s.publish("done", "")
        """,
        broker,
    )
    assert console.returncode == 0, console
    assert console.section("call") == (b"", b"")
    assert console.section("results")[0] == b"TypeError\n"
    assert peer.until(b"done") == []


def test_successful_calls_write_only_their_own_lines(broker, peer):
    console = run_sdk(
        """
        s = connected()
        mark("publish")
        published = [s.publish("t", "0"), s.publish("t", "1", 1), s.publish("t", "2", 2, True)]
        mark("subscribe")
        ok = s.subscribe("t")
        mark("subscribe-kw")
        ok_kw = s.subscribe(topic="u/#", qos=2)
        mark("unsubscribe")
        s.unsubscribe("t")
        mark("results")
        print(published, ok, ok_kw)
        """,
        broker,
    )
    assert console.returncode == 0, console
    assert console.section("publish") == (b"", b"")
    assert console.section("subscribe") == (b"[SDK] Subscribed to: t\n", b"")
    assert console.section("subscribe-kw") == (b"[SDK] Subscribed to: u/#\n", b"")
    assert console.section("unsubscribe") == (b"[SDK] Unsubscribed from: t\n", b"")
    assert console.section("results")[0] == b"[True, True, True] True True\n"
    assert [peer.next() for _ in range(3)] == [
        Received(b"t", b"0", 0, False),
        Received(b"t", b"1", 1, False),
        Received(b"t", b"2", 2, True),
    ]


def test_subscription_and_unsubscription_take_effect(sdk, broker):
    got = []
    sdk.on_message(lambda topic, payload: got.append((topic, payload)))
    assert sdk.subscribe("in/#", 1)
    other = tarvo_sdk.SDK()
    other.init("other", broker.address, "tcp", "u", "p")
    assert other.connect()
    try:
        other.publish("in/x", "first", 1)
        assert wait_until(lambda: got == [("in/x", "first")])
        sdk.unsubscribe("in/#")
        other.publish("in/x", "second", 1)
        sdk.subscribe("fence", 1)
        other.publish("fence", "", 1)
        assert wait_until(lambda: len(got) == 2)
        assert got == [("in/x", "first"), ("fence", "")]
    finally:
        other.stop()
