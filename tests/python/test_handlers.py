"""on_message and on_connection: which callables are taken, what they receive and on
which thread, what happens to what they raise or return, what they may call on their
own object, and when the SDK lets go of them. Against a real Mosquitto and real peers
(paho-mqtt, mosquitto_pub); a scripted server only where a peer cannot send the packet."""

import functools
import gc
import json
import signal
import subprocess
import sys
import threading
import time
import uuid
import weakref
from pathlib import Path

import paho.mqtt.client as mqtt
import pytest

import tarvo_sdk
import tarvo_testsupport as support
from tarvo_testsupport import HOST, run_script, wait_until
from fake_server import FakeServer
from sdk_helpers import SdkProcess

pytestmark = pytest.mark.timeout(60)

MAIN = threading.get_ident()
TESTS_DIR = str(Path(__file__).resolve().parent)


def new_id(prefix="tarvo"):
    return f"{prefix}-{uuid.uuid4().hex[:12]}"


def make_sdk(address, **options):
    sdk = tarvo_sdk.SDK()
    sdk.init(new_id(), address, "tcp", "user", "secret", **options)
    return sdk


@pytest.fixture
def sdks(broker):
    """Makes SDK objects on the test broker; stops every one at the end."""
    made = []

    def factory(**options):
        sdk = make_sdk(broker.address, **options)
        made.append(sdk)
        return sdk

    yield factory
    for sdk in made:
        sdk.on_message(None)
        sdk.on_connection(None)
        sdk.stop()


class Inbox:
    """A message handler that records (topic, payload, thread) and can be waited on."""

    def __init__(self):
        self.items = []
        self.cond = threading.Condition()

    def __call__(self, topic, payload):
        with self.cond:
            self.items.append((topic, payload, threading.get_ident()))
            self.cond.notify_all()

    def wait_for(self, count, timeout=10.0):
        with self.cond:
            self.cond.wait_for(lambda: len(self.items) >= count, timeout)
            return list(self.items)

    @property
    def messages(self):
        with self.cond:
            return [(t, p) for t, p, _ in self.items]


class Peer(support.Peer):
    """A paho-mqtt client on the broker: publishes, and records what it receives."""

    def __init__(self, broker, subscriptions=()):
        self.received = Inbox()
        super().__init__(broker.port, lambda message: self.received(message.topic, message.payload))
        for topic in subscriptions:
            self.subscribe(topic, qos=1)


@pytest.fixture
def peer(broker):
    p = Peer(broker)
    yield p
    p.close()


def barrier(sdk):
    """Returns once every message the broker had routed to sdk before this call has been
    handled: the PUBACK of this publish comes after them on the same connection, and the
    library's one thread reads them in order."""
    sdk.publish("barrier/" + uuid.uuid4().hex, "", 1)


def subscribed_sdk(sdks, handler, topic="in/#"):
    sdk = sdks()
    sdk.on_message(handler)
    assert sdk.connect()
    assert sdk.subscribe(topic, 1)
    return sdk


# --- which callables are taken ---------------------------------------------------------


class CallableObject:
    def __init__(self):
        self.calls = []

    def __call__(self, first, second):
        self.calls.append((first, second))


class Recorder:
    def __init__(self):
        self.calls = []

    def method(self, first, second):
        self.calls.append((first, second))


def handler_of_kind(kind):
    """Returns (handler, calls) where calls() lists the argument pairs it received."""
    calls = []
    if kind == "function":
        def handler(first, second, /):
            calls.append((first, second))
        return handler, lambda: calls
    if kind == "lambda":
        return (lambda first, second: calls.append((first, second))), lambda: calls
    if kind == "bound method":
        recorder = Recorder()
        return recorder.method, lambda: recorder.calls
    if kind == "callable object":
        obj = CallableObject()
        return obj, lambda: obj.calls
    if kind == "builtin method":
        seen = {}
        return seen.__setitem__, lambda: list(seen.items())
    if kind == "partial":
        return functools.partial(lambda sink, a, b: sink.append((a, b)), calls), lambda: calls
    raise AssertionError(kind)


HANDLER_KINDS = ["function", "lambda", "bound method", "callable object", "builtin method", "partial"]


@pytest.mark.parametrize("kind", HANDLER_KINDS)
def test_any_callable_is_a_message_handler(sdks, peer, kind):
    handler, calls = handler_of_kind(kind)
    subscribed_sdk(sdks, handler, "a/b")
    peer.publish("a/b", b"\x68\x69")
    assert wait_until(lambda: calls() == [("a/b", "hi")], 10), calls()


@pytest.mark.parametrize("kind", HANDLER_KINDS)
def test_any_callable_is_a_connection_handler(sdks, kind):
    handler, calls = handler_of_kind(kind)
    sdk = sdks()
    sdk.on_connection(handler)
    assert sdk.connect()
    sdk.disconnect()
    assert calls() == [(True, 0), (False, 0)]
    assert all(type(c) is bool and type(code) is int for c, code in calls())


def test_messages_arrive_on_one_library_thread_as_str(sdks, peer):
    inbox = Inbox()
    subscribed_sdk(sdks, inbox)
    for i in range(20):
        peer.publish(f"in/{i}", f"payload {i}".encode())
    items = inbox.wait_for(20)
    assert [(t, p) for t, p, _ in items] == [(f"in/{i}", f"payload {i}") for i in range(20)]
    threads = {thread for _, _, thread in items}
    assert len(threads) == 1 and MAIN not in threads
    assert all(type(t) is str and type(p) is str for t, p, _ in items)


def test_thread_local_data_of_a_handler_survives_to_the_next_message(sdks, peer):
    local = threading.local()
    seen = []

    def handler(topic, payload):
        seen.append(getattr(local, "previous", None))
        local.previous = payload

    subscribed_sdk(sdks, handler)
    for payload in (b"one", b"two", b"three"):
        peer.publish("in/local", payload)
    assert wait_until(lambda: len(seen) == 3)
    assert seen == [None, "one", "two"]


def test_none_switches_the_message_handler_off_and_a_new_one_on(sdks, peer):
    first, second = Inbox(), Inbox()
    sdk = subscribed_sdk(sdks, first)
    peer.publish("in/1", b"one")
    first.wait_for(1)
    sdk.on_message(None)
    peer.publish("in/2", b"two")
    barrier(sdk)
    sdk.on_message(second)
    peer.publish("in/3", b"three")
    assert second.wait_for(1) and second.messages == [("in/3", "three")]
    assert first.messages == [("in/1", "one")]


def test_none_switches_the_connection_handler_off(sdks):
    calls = []
    sdk = sdks()
    sdk.on_connection(lambda c, code: calls.append((c, code)))
    sdk.on_connection(None)
    assert sdk.connect()
    sdk.disconnect()
    assert calls == []


BAD_CALLS = [
    pytest.param(lambda setter, good: setter(5), id="int"),
    pytest.param(lambda setter, good: setter("handler"), id="str"),
    pytest.param(lambda setter, good: setter(handler=good), id="keyword"),
    pytest.param(lambda setter, good: setter(), id="no-argument"),
    pytest.param(lambda setter, good: setter(good, good), id="two-arguments"),
]


@pytest.mark.parametrize("bad_call", BAD_CALLS)
def test_a_refused_message_handler_keeps_the_earlier_one(sdks, peer, bad_call):
    inbox = Inbox()
    sdk = subscribed_sdk(sdks, inbox)
    with pytest.raises(TypeError):
        bad_call(sdk.on_message, Inbox())
    peer.publish("in/x", b"still here")
    assert inbox.wait_for(1) and inbox.messages == [("in/x", "still here")]


@pytest.mark.parametrize("bad_call", BAD_CALLS)
def test_a_refused_connection_handler_keeps_the_earlier_one(sdks, bad_call):
    calls = []
    sdk = sdks()
    sdk.on_connection(lambda c, code: calls.append((c, code)))
    with pytest.raises(TypeError):
        bad_call(sdk.on_connection, lambda c, code: None)
    assert sdk.connect()
    sdk.disconnect()
    assert calls == [(True, 0), (False, 0)]


@pytest.mark.parametrize("value", [1, "ignored", object()], ids=["int", "str", "object"])
def test_a_handler_return_value_is_ignored(sdks, peer, value, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    received = []

    def handler(topic, payload):
        received.append(payload)
        return value

    sdk = subscribed_sdk(sdks, handler)
    sdk.on_connection(lambda c, code: value)
    for i in range(3):
        peer.publish("in/r", str(i).encode())
    assert wait_until(lambda: received == ["0", "1", "2"])
    sdk.disconnect()
    assert unraisable == []


# --- message flags -------------------------------------------------------------------


class DupRecorder:
    def __init__(self):
        self.calls = []

    def method(self, topic, payload, dup):
        self.calls.append((topic, payload, {"dup": dup}))


def flag_handler_of_form(form):
    """Returns (handler, calls, names): calls() lists (topic, payload, the flags received
    by keyword); names are the flags the form takes."""
    calls = []
    if form == "two arguments":
        return (lambda topic, payload: calls.append((topic, payload, {}))), lambda: calls, ()
    if form == "all, keyword-only":
        return (lambda topic, payload, *, retained, qos, dup: calls.append(
            (topic, payload, {"retained": retained, "qos": qos, "dup": dup}))), lambda: calls, ("retained", "qos", "dup")
    if form == "two of them, one defaulted":
        return (lambda topic, payload, qos, retained=None: calls.append(
            (topic, payload, {"qos": qos, "retained": retained}))), lambda: calls, ("qos", "retained")
    if form == "bound method":
        recorder = DupRecorder()
        return recorder.method, lambda: recorder.calls, ("dup",)
    if form == "partial":
        return functools.partial(lambda sink, topic, payload, *, retained: sink.append(
            (topic, payload, {"retained": retained})), calls), lambda: calls, ("retained",)
    if form == "**kwargs alone":  # called as a two-argument handler
        return (lambda topic, payload, **extra: calls.append((topic, payload, extra))), lambda: calls, ()
    raise AssertionError(form)


FLAG_FORMS = ["two arguments", "all, keyword-only", "two of them, one defaulted", "bound method", "partial",
              "**kwargs alone"]


@pytest.mark.parametrize("form", FLAG_FORMS)
def test_message_flags_reach_a_handler_that_names_them(sdks, peer, form):
    handler, calls, names = flag_handler_of_form(form)
    peer.publish("in/kept", b"old", qos=1, retain=True)
    sdk = sdks()
    sdk.on_message(handler)
    assert sdk.connect()
    assert sdk.subscribe("in/#", 2)
    for qos in range(3):
        peer.publish(f"in/q{qos}", b"new", qos=qos)
    assert wait_until(lambda: len(calls()) == 4), calls()
    expected = [("in/kept", "old", {"retained": True, "qos": 1, "dup": False})] + [
        (f"in/q{qos}", "new", {"retained": False, "qos": qos, "dup": False}) for qos in range(3)]
    assert sorted(calls()) == sorted(
        (topic, payload, {name: flags[name] for name in names}) for topic, payload, flags in expected)
    assert all(type(value) is (int if name == "qos" else bool)
               for _, _, got in calls() for name, value in got.items())


@pytest.mark.parametrize("form", ["two arguments", "all, keyword-only"])
def test_a_message_sent_again_comes_flagged_dup(broker, peer, form):
    """The broker sends a QoS 1 message again, flagged, to a session that never
    acknowledged it: its client was frozen when it came, then killed."""
    client_id = new_id("dup")
    first = SdkProcess(
        f"""
        s = connected({client_id!r}, cleanSession=False)
        assert s.subscribe("in/#", 1)
        print("READY", flush=True)
        import threading
        threading.Event().wait()
        """,
        broker,
    )
    try:
        first.wait_for("READY")
        first.signal(signal.SIGSTOP)
        peer.publish("in/again", b"twice", qos=1)  # acknowledged once sent on to the frozen client
    finally:
        first.kill()
    handler, calls, names = flag_handler_of_form(form)
    sdk = tarvo_sdk.SDK()
    try:
        sdk.on_message(handler)
        sdk.init(client_id, broker.address, "tcp", "user", "secret", cleanSession=False)
        assert sdk.connect()
        assert wait_until(lambda: calls())
        flags = {"retained": False, "qos": 1, "dup": True}
        assert calls() == [("in/again", "twice", {name: flags[name] for name in names})]
    finally:
        sdk.stop()


# --- text and binary -----------------------------------------------------------------


BYTES = [
    pytest.param(b"\xff\x00\xfe", id="ff-00-fe"),
    pytest.param(b"", id="empty"),
    pytest.param(b"\x00", id="nul"),
    pytest.param(b"abc\x00def", id="nul-inside"),
    pytest.param(b"\xed\xa0\x80", id="encoded-surrogate"),
    pytest.param(b"\xc0\x80", id="overlong-nul"),
    pytest.param(b"\xf4\x90\x80\x80", id="above-10ffff"),
    pytest.param(b"\xe2\x82", id="truncated"),
    pytest.param("é€".encode() + b"\x80" + "😀".encode(), id="valid-then-invalid"),
    pytest.param(bytes(range(256)) * 64, id="every-byte-16k"),
]


def as_bytes(text):
    return text.encode("utf-8", "surrogateescape")


@pytest.mark.parametrize("payload", BYTES)
def test_binary_payload_from_paho_round_trips(sdks, peer, payload):
    inbox = Inbox()
    subscribed_sdk(sdks, inbox)
    peer.publish("in/bin", payload)
    [(topic, text, _)] = inbox.wait_for(1)
    assert topic == "in/bin"
    assert type(text) is str and as_bytes(text) == payload


def test_a_burst_of_mixed_sizes_arrives_whole_and_in_order(sdks, peer):
    # The handler holds back the first message until all are published, so the rest
    # reach the client's socket together: packets that share a read, that a read splits,
    # and that are larger than one read.
    published = threading.Event()
    inbox = Inbox()

    def handler(topic, payload):
        published.wait(30)
        inbox(topic, payload)

    subscribed_sdk(sdks, handler)
    sizes = [0, 1, 127, 128, 16381, 16384, 40000, 3, 70000, 5]
    sent = [(f"in/burst/{i}", f"{i}:" + "x" * sizes[i % len(sizes)]) for i in range(100)]
    publications = [peer.client.publish(topic, payload, qos=1) for topic, payload in sent]
    for publication in publications:
        publication.wait_for_publish(10)
    published.set()
    received = inbox.wait_for(len(sent), timeout=30)
    assert [(topic, payload) for topic, payload, _ in received] == sent


@pytest.mark.parametrize("payload", [
    pytest.param(b"\xff\x00\xfe", id="ff-00-fe"),
    pytest.param("naïve ☃ 😀".encode(), id="utf8"),
])
def test_payload_from_mosquitto_pub_round_trips(sdks, broker, tmp_path, payload):
    inbox = Inbox()
    subscribed_sdk(sdks, inbox)
    source = tmp_path / "payload.bin"
    source.write_bytes(payload)
    subprocess.run(["mosquitto_pub", "-h", HOST, "-p", str(broker.port), "-q", "1", "-t", "in/pub",
                    "-f", str(source)], check=True, timeout=10)
    [(topic, text, _)] = inbox.wait_for(1)
    assert topic == "in/pub" and as_bytes(text) == payload


@pytest.mark.parametrize("text", ["hi", "naïve", "☃ snow", "😀 astral", "mixé\u0000nul", "\u200b", "a" * 70000])
def test_valid_utf8_arrives_decoded(sdks, peer, text):
    inbox = Inbox()
    subscribed_sdk(sdks, inbox, "in/#")
    peer.publish("in/ünï/☃", text.encode())
    [(topic, payload, _)] = inbox.wait_for(1)
    assert (topic, payload) == ("in/ünï/☃", text)


def publish_packet(topic: bytes, payload: bytes) -> bytes:
    """A QoS 0 PUBLISH, byte for byte (short enough for a one-byte length)."""
    body = len(topic).to_bytes(2, "big") + topic + payload
    assert len(body) < 128
    return bytes([0x30, len(body)]) + body


@pytest.mark.parametrize("topic", [
    pytest.param(b"t/\xff\xfe", id="invalid"),
    pytest.param(b"t/\xed\xa0\x80/x", id="encoded-surrogate"),
    pytest.param("t/ünï".encode(), id="valid"),
])
def test_topic_bytes_round_trip(topic):
    # Mosquitto drops a client whose topic is not UTF-8, so a scripted server sends it.
    server = FakeServer()
    inbox = Inbox()
    sdk = make_sdk(server.address, autoReconnect=False)
    try:
        sdk.on_message(inbox)
        assert sdk.connect()
        server.next_connect()
        server.sockets[0].sendall(publish_packet(topic, b"\xff"))
        [(text, payload, _)] = inbox.wait_for(1)
        assert as_bytes(text) == topic and as_bytes(payload) == b"\xff"
        if topic == "t/ünï".encode():
            assert text == "t/ünï"
    finally:
        sdk.stop()
        server.close()


# --- connection events -----------------------------------------------------------------


def on_new_thread(action):
    """Runs action on a new thread; returns (result, thread ident)."""
    seen = {}

    def run():
        seen["thread"] = threading.get_ident()
        seen["result"] = action()

    t = threading.Thread(target=run)
    t.start()
    t.join(30)
    assert not t.is_alive()
    return seen["result"], seen["thread"]


def test_connection_events_come_on_the_thread_that_causes_them(sdks):
    events = []
    sdk = sdks()
    sdk.on_connection(lambda c, code: events.append((c, code, threading.get_ident(), sdk.is_connected())))

    result, connecting = on_new_thread(lambda: (sdk.connect(), len(events)))
    assert result == (True, 1)  # delivered before connect returned
    _, disconnecting = on_new_thread(sdk.disconnect)
    assert sdk.connect()
    _, stopping = on_new_thread(sdk.stop)
    assert events == [
        (True, 0, connecting, True),
        (False, 0, disconnecting, False),
        (True, 0, MAIN, True),
        (False, 0, stopping, False),
    ]


def test_deallocation_delivers_the_disconnect_on_the_releasing_thread(broker):
    events = []
    sdk = make_sdk(broker.address)
    sdk.on_connection(lambda c, code: events.append((c, code, threading.get_ident())))
    assert sdk.connect()
    holder = [sdk]
    del sdk
    _, releasing = on_new_thread(holder.clear)
    assert events == [(True, 0, MAIN), (False, 0, releasing)]


@pytest.mark.parametrize("operation", ["connect", "disconnect", "stop"])
def test_connection_handler_exception_propagates_from_the_call(sdks, operation):
    sdk = sdks()
    failing = {"connect": True, "disconnect": False, "stop": False}[operation]

    def handler(connected, code):
        if connected == failing:
            raise ValueError(f"handler refused {connected}")

    sdk.on_connection(handler)
    if operation == "connect":
        with pytest.raises(ValueError, match="handler refused True"):
            sdk.connect()
        assert sdk.is_connected() is True
        return
    assert sdk.connect()
    with pytest.raises(ValueError, match="handler refused False"):
        getattr(sdk, operation)()
    assert sdk.is_connected() is False
    sdk.on_connection(None)
    sdk.stop()  # an interrupted stop can be completed


def test_connection_handler_exception_at_deallocation_is_unraisable(broker, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    sdk = make_sdk(broker.address)

    def handler(connected, code):
        if not connected:
            raise ValueError("refused at teardown")

    sdk.on_connection(handler)
    assert sdk.connect()
    del sdk
    gc.collect()
    assert [(u.exc_type, str(u.exc_value)) for u in unraisable] == [(ValueError, "refused at teardown")]


def test_message_handler_exception_is_unraisable_and_the_next_message_arrives(sdks, peer, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    received = []

    def handler(topic, payload):
        received.append(payload)
        if payload.startswith("raise"):
            raise KeyError(payload)

    subscribed_sdk(sdks, handler)
    for payload in (b"raise 1", b"fine", b"raise 2", b"fine again"):
        peer.publish("in/e", payload)
    assert wait_until(lambda: len(received) == 4)
    assert received == ["raise 1", "fine", "raise 2", "fine again"]
    assert wait_until(lambda: len(unraisable) == 2)
    assert [(u.exc_type, u.exc_value.args) for u in unraisable] == [(KeyError, ("raise 1",)), (KeyError, ("raise 2",))]
    assert all(u.exc_traceback is not None for u in unraisable)


def test_message_handler_exception_traceback_reaches_stderr(broker):
    result = run_script(f"""
        import time, tarvo_sdk
        got = []
        def handler(topic, payload):
            got.append(payload)
            if payload == "bad":
                raise ZeroDivisionError("handler blew up")
        sdk = tarvo_sdk.SDK()
        sdk.on_message(handler)
        sdk.init("tb-{uuid.uuid4().hex[:8]}", "{broker.address}", "tcp", "u", "p")
        assert sdk.connect() and sdk.subscribe("e", 1)
        sdk.publish("e", "bad", 1)
        sdk.publish("e", "good", 1)
        deadline = time.monotonic() + 10
        while len(got) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        sdk.stop()
        print("GOT", got, flush=True)
    """)
    err = result.stderr.decode()
    assert result.returncode == 0, err
    assert "GOT ['bad', 'good']" in result.stdout.decode()
    assert "Traceback" in err and "ZeroDivisionError: handler blew up" in err
    assert "message handler" in err


# --- calls from inside a handler -------------------------------------------------------


REENTRANT = {
    "on_message": lambda sdk: sdk.on_message(None),
    "on_connection": lambda sdk: sdk.on_connection(None),
    "connect": lambda sdk: sdk.connect(),
    "disconnect": lambda sdk: sdk.disconnect(),
    "stop": lambda sdk: sdk.stop(),
    "init": lambda sdk: sdk.init("again", "127.0.0.1:1", "tcp", "u", "p"),
}


@pytest.mark.timeout(30)
@pytest.mark.parametrize("operation", sorted(REENTRANT))
def test_message_handler_calling_back_into_its_object_is_refused(sdks, peer, operation):
    outcomes = []
    holder = []

    def handler(topic, payload):
        try:
            REENTRANT[operation](holder[0])
            outcomes.append(None)
        except RuntimeError as error:
            outcomes.append(str(error))
        outcomes.append(holder[0].is_connected())

    sdk = subscribed_sdk(sdks, handler)
    holder.append(sdk)
    peer.publish("in/r", b"x")
    assert wait_until(lambda: len(outcomes) == 2, 10)
    assert "inside a handler" in outcomes[0] and outcomes[1] is True
    # still fully working afterwards
    peer.publish("in/r", b"y")
    assert wait_until(lambda: len(outcomes) == 4, 10)
    assert sdk.is_connected()
    holder.clear()


@pytest.mark.timeout(30)
@pytest.mark.parametrize("operation", sorted(REENTRANT))
@pytest.mark.parametrize("event", ["connect", "disconnect"])
def test_connection_handler_calling_back_into_its_object_is_refused(sdks, operation, event):
    outcomes = []
    sdk = sdks()

    def handler(connected, code):
        try:
            REENTRANT[operation](sdk)
            outcomes.append(None)
        except RuntimeError as error:
            outcomes.append(str(error))

    if event == "connect":
        sdk.on_connection(handler)
        assert sdk.connect()
    else:
        assert sdk.connect()
        sdk.on_connection(handler)
        sdk.disconnect()
    assert len(outcomes) == 1 and "inside a handler" in outcomes[0]
    assert sdk.is_connected() is (event == "connect")


@pytest.mark.timeout(60)
@pytest.mark.parametrize("mode", ["burst", "ping-pong"])
@pytest.mark.parametrize("qos", [0, 1, 2])
def test_message_handler_replies_with_publish(sdks, broker, mode, qos):
    """A request/reply service: every request is answered from inside the handler."""
    peer = Peer(broker, subscriptions=["reply/#"])
    try:
        holder = []

        def serve(topic, payload):
            sdk = holder[0]
            assert sdk.is_connected()
            sdk.publish("reply/" + topic.split("/", 1)[1], "re:" + payload, qos)

        holder.append(subscribed_sdk(sdks, serve, "request/#"))
        count = 200 if mode == "burst" else 40  # a round trip through paho takes ~50 ms
        if mode == "burst":
            for i in range(count):
                peer.client.publish(f"request/{i}", f"{i}", qos=1)
            replies = peer.received.wait_for(count, 30)
        else:
            for i in range(count):
                peer.publish(f"request/{i}", f"{i}".encode())
                replies = peer.received.wait_for(i + 1, 10)
                assert len(replies) == i + 1, f"no reply to request {i}"
        got = sorted((t, p) for t, p, _ in replies)
        assert got == sorted((f"reply/{i}", f"re:{i}".encode()) for i in range(count))
    finally:
        peer.close()


def test_subscribe_unsubscribe_and_connect_from_a_message_handler_fail_at_once(broker):
    result = run_script(f"""
        import json, time, tarvo_sdk
        outcomes = []
        other = tarvo_sdk.SDK()
        other.init("other-{uuid.uuid4().hex[:8]}", "{broker.address}", "tcp", "u", "p")
        def handler(topic, payload):
            start = time.monotonic()
            subscribed = sdk.subscribe("other/topic", 1)
            middle = time.monotonic()
            unsubscribed = sdk.unsubscribe("in/#")
            end = time.monotonic()
            connected = other.connect()
            outcomes.append([subscribed, unsubscribed, connected, middle - start, end - middle,
                             time.monotonic() - end])
        sdk = tarvo_sdk.SDK()
        sdk.on_message(handler)
        sdk.init("sub-{uuid.uuid4().hex[:8]}", "{broker.address}", "tcp", "u", "p")
        assert sdk.connect() and sdk.subscribe("in/#", 1)
        sdk.publish("in/x", "go", 1)
        deadline = time.monotonic() + 30
        while not outcomes and time.monotonic() < deadline:
            time.sleep(0.01)
        sdk.on_message(None)
        sdk.stop()
        print("OUTCOMES", json.dumps(outcomes), flush=True)
    """)
    out, err = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == 0, err
    [line] = [l for l in out.splitlines() if "OUTCOMES" in l]
    [[subscribed, unsubscribed, connected, *times]] = json.loads(line.split("OUTCOMES", 1)[1])
    assert subscribed is False and unsubscribed is None and connected is False
    # At once: a request from the receiving thread cannot be answered, and waiting for
    # it would take 10-30 s.
    assert max(times) < 3.0
    assert "[SDK] subscribe failed on 'other/topic', rc=-1" in err.splitlines()
    assert "[SDK] connect failed, rc=-1" in err.splitlines()
    assert "[SDK] unsubscribe failed on 'in/#', rc=-1" in err.splitlines()
    assert "[SDK] Subscribed to: other/topic" not in out


@pytest.mark.timeout(30)
def test_replacing_a_handler_waits_for_its_running_call(sdks, peer):
    entered, finished = threading.Event(), threading.Event()

    def slow(topic, payload):
        entered.set()
        time.sleep(1.0)
        finished.set()

    sdk = subscribed_sdk(sdks, slow)
    peer.publish("in/slow", b"x")
    assert entered.wait(10)
    start = time.monotonic()
    sdk.on_message(None)
    assert finished.is_set(), "on_message returned while the replaced handler still ran"
    assert time.monotonic() - start < 5


# --- when handlers are released -----------------------------------------------------------


class Target:
    def __call__(self, first, second):
        pass


@pytest.mark.parametrize("setter", ["on_message", "on_connection"])
@pytest.mark.parametrize("replacement", [None, "other"])
def test_replacing_a_handler_frees_its_last_reference_during_the_call(setter, replacement):
    sdk = tarvo_sdk.SDK()
    target = Target()
    ref = weakref.ref(target)
    getattr(sdk, setter)(target)
    del target
    gc.collect()
    assert ref() is not None
    getattr(sdk, setter)(None if replacement is None else Target())
    assert ref() is None


@pytest.mark.parametrize("connected", [False, True])
def test_deallocation_frees_both_handlers(broker, connected):
    sdk = make_sdk(broker.address)
    on_message, on_connection = Target(), Target()
    refs = [weakref.ref(on_message), weakref.ref(on_connection)]
    sdk.on_message(on_message)
    sdk.on_connection(on_connection)
    del on_message, on_connection
    if connected:
        assert sdk.connect()
    del sdk
    assert [r() for r in refs] == [None, None]


def test_a_closure_over_its_own_sdk_keeps_it_alive_until_switched_off(broker):
    def build():
        sdk = make_sdk(broker.address)
        sdk.on_message(lambda topic, payload: sdk.publish("echo", payload))
        return weakref.ref(sdk)

    ref = build()
    gc.collect()
    sdk = ref()
    assert sdk is not None  # held by its own handler
    sdk.on_message(None)
    del sdk
    gc.collect()
    assert ref() is None
