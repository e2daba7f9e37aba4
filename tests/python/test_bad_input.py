"""Bad input. Property-based (hypothesis) over every method's arguments: each argument
is either taken by the conversion rules or the call raises TypeError before anything
happens, nothing crashes, and after every example the same object still connects,
publishes and receives. Then a server that answers CONNECT with malformed, truncated
or foreign packets: the attempt fails with a library code and the object stays usable.
Last, requests the conversions accept but MQTT cannot carry (strings over 65,535
bytes, keepAlive beyond 16 bits, malformed topic filters): they must be refused, not
sent cut short or cost the session.

TARVO_BAD_INPUT_EXAMPLES sets the examples per property (./dev soak runs 200)."""

import ctypes
import operator
import os
import re
import socket
import time
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvo_sdk
from tarvo_testsupport import Peer, TcpServer, wait_until
from fake_server import packet, read_packet

EXAMPLES = int(os.environ.get("TARVO_BAD_INPUT_EXAMPLES", "50"))
PROPERTY = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
pytestmark = pytest.mark.timeout(120 + EXAMPLES)
LIBC = ctypes.CDLL(None)


# --- values, and what the conversion rules make of them ----------------------------------

class RaisingIndex:
    def __index__(self):
        raise ValueError("__index__ raised")


class RaisingBool:
    def __bool__(self):
        raise ValueError("__bool__ raised")


class RaisingRepr:
    """Raising __repr__ and __str__: what a TypeError message would show of it."""

    def __repr__(self):
        raise ValueError("__repr__ raised")

    __str__ = __repr__


class IndexOf:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingCall:
    def __call__(self, *args):
        raise RuntimeError("handler raised")


class StrSubclass(str):
    pass


LONE_SURROGATES = st.text(st.characters(categories=["Cs"]), min_size=1, max_size=3)
VALUES = st.one_of(
    st.text(max_size=40),
    st.tuples(st.text(max_size=10), LONE_SURROGATES).map("".join),
    st.text(max_size=10).map(StrSubclass),
    st.binary(max_size=40),
    st.binary(max_size=40).map(bytearray),
    st.integers(),
    st.integers(min_value=2**31 - 2, max_value=2**31 + 2),
    st.integers(min_value=-2**31 - 2, max_value=-2**31 + 2),
    st.integers(min_value=2**32, max_value=2**80),
    st.integers(min_value=-3, max_value=3).map(IndexOf),
    st.integers(min_value=2**31, max_value=2**64).map(IndexOf),
    st.floats(),
    st.none(),
    st.booleans(),
    st.complex_numbers(max_magnitude=10),
    st.just(RaisingIndex()),
    st.just(RaisingBool()),
    st.just(RaisingRepr()),
    st.just(RaisingCall()),
    st.just(memoryview(b"mv")),
    st.lists(st.integers(), max_size=2),
    st.just(object()),
)


def has_lone_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def valid_filter(value):
    """Whether a topic filter is well formed (non-empty, '#' only as the whole last
    level, '+' only as a whole level)."""
    text = value if isinstance(value, str) else bytes(value).decode("utf-8", "replace")
    if not text:
        return False
    levels = text.split("/")
    for i, level in enumerate(levels):
        if ("#" in level and (level != "#" or i != len(levels) - 1)) or ("+" in level and level != "+"):
            return False
    return True


def rejected_by_mosquitto(code_point):
    """Code points Mosquitto takes for malformed UTF-8 in a topic: it drops the session."""
    return (code_point <= 0x1F or 0x7F <= code_point <= 0x9F or 0xFDD0 <= code_point <= 0xFDEF
            or code_point & 0xFFFE == 0xFFFE)


def broker_rejects(value):
    text = value if isinstance(value, str) else bytes(value).decode("utf-8", "replace")
    return any(rejected_by_mosquitto(ord(c)) for c in text)


def takes_text(value):
    if isinstance(value, str):
        return not has_lone_surrogate(value)
    return isinstance(value, (bytes, bytearray))


def takes_int(value):
    if isinstance(value, float):
        return False
    try:
        number = operator.index(value)
    except Exception:
        return False
    return -2**31 <= number < 2**31


def takes_bool(value):
    """None, or anything with a numeric truth value (__bool__) that does not raise."""
    if value is None:
        return True
    if getattr(type(value), "__bool__", None) is None:
        return False
    try:
        bool(value)
    except Exception:
        return False
    return True


def takes_handler(value):
    return value is None or callable(value)


TAKES = {"text": takes_text, "int": takes_int, "bool": takes_bool, "handler": takes_handler}
GOOD = {"text": st.sampled_from(["t", "a/b", b"bin", bytearray(b"ba")]),
        "int": st.sampled_from([0, 1, True, IndexOf(2)]),
        "bool": st.sampled_from([False, True, None, 0, 1.5]),
        "handler": st.sampled_from([None, print])}


def argument(kind):
    """Mostly values of the right kind, often anything at all."""
    return st.one_of(GOOD[kind], VALUES)


def expect(call, kinds, values):
    """Calls; returns True when the arguments were taken. Raises AssertionError when the
    outcome is not the one the conversion rules give."""
    taken = all(TAKES[kind](value) for kind, value in zip(kinds, values))
    try:
        call()
    except TypeError:
        assert not taken, f"TypeError for arguments the rules take: {values!r:.300}"
        return False
    assert taken, f"arguments the rules refuse were taken: {values!r:.300}"
    return True


# --- one client, checked after every example --------------------------------------------

class Client:
    """An SDK on the test broker, subscribed to a check topic, and the check itself."""

    def __init__(self, broker):
        self.broker = broker
        self.topic = f"check/{uuid.uuid4().hex}"
        self.seen = []
        self.sdk = tarvo_sdk.SDK()
        self.configure()

    def handler(self, topic, payload):
        if topic == self.topic:
            self.seen.append(payload)

    def configure(self):
        self.sdk.on_message(self.handler)
        self.sdk.on_connection(None)
        self.sdk.init(f"bad-input-{uuid.uuid4().hex[:8]}", self.broker.address, "tcp", "u", "p",
                      maxReconnectInterval=1, connectTimeout=5)
        assert self.sdk.connect()
        assert self.sdk.subscribe(self.topic, 1)

    def assert_usable(self):
        """The object connects (or is connected again by its loop), publishes and
        receives. A few tries: the broker may have just dropped a session."""
        self.sdk.on_message(self.handler)
        for _ in range(3):
            if not wait_until(self.sdk.is_connected, 3):
                self.sdk.connect()
            marker = uuid.uuid4().hex
            if self.sdk.subscribe(self.topic, 1):
                self.sdk.publish(self.topic, marker, 1)
                if wait_until(lambda: marker in self.seen, 5):
                    return
        raise AssertionError("the object no longer connects, publishes and receives")

    def close(self):
        self.sdk.on_message(None)
        self.sdk.on_connection(None)
        self.sdk.stop()


@pytest.fixture
def client(broker):
    c = Client(broker)
    yield c
    c.close()


METHODS = {
    "publish": ["text", "text", "int", "bool"],
    "subscribe": ["text", "int"],
    "unsubscribe": ["text"],
    "on_message": ["handler"],
    "on_connection": ["handler"],
}


@pytest.mark.parametrize("method", list(METHODS))
@PROPERTY
@given(data=st.data())
def test_arguments_are_taken_or_refused_with_type_error(client, method, data):
    kinds = METHODS[method]
    values = [data.draw(argument(kind), label=kind) for kind in kinds]
    if method in ("subscribe", "unsubscribe", "publish") and takes_text(values[0]) and (
            not valid_filter(values[0]) or broker_rejects(values[0])):
        # Mosquitto drops the session for these: they have their own tests below, and
        # waiting out a reconnect here would only slow this one down.
        values[0] = "t/x"
    bound = getattr(client.sdk, method)
    expect(lambda: bound(*values), kinds, values)
    client.assert_usable()


@pytest.mark.parametrize("method, keywords", [
    ("publish", ["topic", "payload", "qos", "retained"]),
    ("subscribe", ["topic", "qos"]),
])
@PROPERTY
@given(data=st.data())
def test_keyword_arguments_follow_the_same_rules(client, method, keywords, data):
    kinds = METHODS[method]
    values = [data.draw(argument(kind), label=name) for kind, name in zip(kinds, keywords)]
    if takes_text(values[0]) and (not valid_filter(values[0]) or broker_rejects(values[0])):
        values[0] = "t/x"  # as above
    bound = getattr(client.sdk, method)
    expect(lambda: bound(**dict(zip(keywords, values))), kinds, values)
    client.assert_usable()


@pytest.mark.parametrize("method", ["connect", "disconnect", "stop", "is_connected", "unsubscribe"])
@PROPERTY
@given(extra=st.lists(VALUES, min_size=1, max_size=3))
def test_extra_arguments_raise_type_error(client, method, extra):
    # unsubscribe takes one positional argument: a second one is too many
    args = (["t"] + extra) if method == "unsubscribe" else extra
    with pytest.raises(TypeError):
        getattr(client.sdk, method)(*args)
    client.assert_usable()


INIT = [("clientId", "text"), ("brokerHost", "text"), ("protocol", "text"), ("username", "text"),
        ("password", "text"), ("cleanSession", "bool"), ("resumeSubs", "bool"), ("connectRetry", "bool"),
        ("autoReconnect", "bool"), ("connectRetryInterval", "int"), ("maxReconnectInterval", "int"),
        ("keepAlive", "int"), ("pingTimeout", "int"), ("writeTimeout", "int"), ("orderMatters", "bool"),
        ("connectTimeout", "int"), ("edition", "text")]


@PROPERTY
@given(data=st.data())
def test_init_arguments_are_taken_or_refused_before_anything_happens(client, data):
    """A refused init leaves the earlier configuration connected; a taken one may still
    raise RuntimeError when the library refuses the address or client id. Nothing here
    connects to what the example made up: the check re-inits for the test broker."""
    values = [data.draw(argument(kind), label=name) for name, kind in INIT]
    kinds = [kind for _name, kind in INIT]
    taken = all(TAKES[kind](value) for kind, value in zip(kinds, values))
    assert client.sdk.is_connected()
    try:
        client.sdk.init(*values)
    except TypeError:
        assert not taken, f"TypeError for arguments the rules take: {values!r:.300}"
        assert client.sdk.is_connected(), "a refused init ended the earlier configuration"
    except RuntimeError as error:
        assert taken and str(error).startswith("SDK::init \u2014 MQTTClient_create failed: "), error
    else:
        assert taken, f"arguments the rules refuse were taken: {values!r:.300}"
    client.configure()
    client.assert_usable()


@PROPERTY
@given(cleanSession=argument("bool"), autoReconnect=argument("bool"), keepAlive=st.integers(0, 65535),
       maxReconnectInterval=argument("int"), writeTimeout=argument("int"), connectTimeout=st.integers(2, 2_147_483),
       edition=st.sampled_from(["Community", "Enterprise", "", "x"]))
def test_any_options_connect_to_a_real_broker(client, cleanSession, autoReconnect, keepAlive, maxReconnectInterval,
                                              writeTimeout, connectTimeout, edition):
    """Option values within the ranges MQTT and the library can hold, against the test
    broker (which lets anyone in, tokens included): connect succeeds."""
    options = dict(cleanSession=cleanSession, autoReconnect=autoReconnect, keepAlive=keepAlive,
                   maxReconnectInterval=maxReconnectInterval, writeTimeout=writeTimeout,
                   connectTimeout=connectTimeout, edition=edition)
    try:
        client.sdk.init("bad-input-options", client.broker.address, "tcp", "u", "p", **options)
    except TypeError:
        assert not all(TAKES[kind](options[name]) for name, kind in INIT if name in options)
    else:
        assert client.sdk.connect() is True, options
    client.configure()
    client.assert_usable()


# 1 s is left out: the library fails most connects with it within 0.2 s, which ones by
# chance (the README says so), so no assertion about it could hold every time.
@pytest.mark.parametrize("connect_timeout", [2, 2_147_484, 2_147_483_647])
def test_any_positive_connect_timeout_connects(broker, connect_timeout):
    """connectTimeout is an int of seconds. The library multiplies it by 1,000 in an
    int, so from 2,147,484 s on every connect fails at once with rc=-1, as if nothing
    answered, while the broker is right there."""
    sdk = tarvo_sdk.SDK()
    sdk.init("long-timeout", broker.address, "tcp", "u", "p", connectTimeout=connect_timeout)
    try:
        assert sdk.connect()
    finally:
        sdk.stop()


ZERO_TIMEOUT_ROUNDS = """
import os, sys
import tarvo_sdk
address, timeout = sys.argv[1], int(sys.argv[2])
sdk = tarvo_sdk.SDK()
for _ in range(8):
    sdk.init("zero-timeout", address, "tcp", "u", "p", connectTimeout=timeout)
    sdk.connect()
    sdk.init("zero-timeout", address, "tcp", "u", "p")
    assert sdk.connect()
def name(task):
    try:
        with open(f"/proc/self/task/{task}/comm") as comm:
            return comm.read().strip()
    except FileNotFoundError:  # a thread that ended since the listing
        return None
names = [name(task) for task in os.listdir("/proc/self/task")]
print("library threads:", names.count("MQTTClient_run"), flush=True)
sdk.stop()
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize("connect_timeout", [0, -2**31])
def test_a_zero_connect_timeout_leaves_no_library_thread_behind(broker, connect_timeout):
    """connectTimeout 0 (and -2**31, which the library's x1000 turns into 0): each
    connect returns before the library's receiving thread has started, the next one
    starts another, and with a few of them running at once the process crashes in
    libpaho-mqtt3c. Run in a child, so a crash fails this test only."""
    import subprocess
    import sys
    child = subprocess.run([sys.executable, "-c", ZERO_TIMEOUT_ROUNDS, broker.address, str(connect_timeout)],
                           capture_output=True, timeout=100)
    assert child.returncode == 0, f"exit {child.returncode}: {child.stderr[-600:]!r}"
    assert b"library threads: 1\n" in child.stdout, child.stdout[-300:]


# --- a server that answers CONNECT with anything -----------------------------------------

class AnsweringServer(TcpServer):
    """Reads each CONNECT and answers with `answer` (then closes, or keeps the socket
    open when `close` is false) -- or, in relay mode, forwards to the real broker."""

    def __init__(self, broker_port):
        self.broker_port = broker_port
        self.answer, self.close_after, self.relay = b"", True, False
        super().__init__()

    def on_accept(self, sock):
        return self.answer, self.close_after, self.relay

    def serve(self, sock, answer, close_after, relay):
        if relay:
            self.forward_to(sock, self.broker_port)
            return
        try:
            sock.settimeout(5)
            read_packet(sock)
            sock.sendall(answer)
            if close_after:
                sock.shutdown(socket.SHUT_RDWR)
            else:
                while sock.recv(4096):
                    pass
        except (OSError, ValueError, ConnectionError):
            pass


ANSWERS = st.one_of(
    st.binary(max_size=64),                                                     # garbage
    st.integers(0, 255).map(lambda rc: bytes([0x20, 2, 0, rc])),                # any return code
    st.tuples(st.integers(0, 255), st.integers(0, 255)).map(lambda f: bytes([0x20, 2, *f])),
    st.sampled_from([b"\x20", b"\x20\x02", b"\x20\x02\x00", b"\x20\x03\x00\x00", b"\x20\x00",
                     b"\x20\xff\xff\xff\xff", b"\x20\xff\xff\xff\x7f", b"\x2f\x02\x00\x00"]),  # truncated, malformed
    st.tuples(st.integers(0, 15), st.binary(max_size=8)).map(lambda t: packet(t[0] << 4, t[1])),  # another packet first
    st.binary(min_size=1, max_size=16).map(lambda junk: b"\x20\x02\x00\x00" + junk),  # a CONNACK and then junk
    st.binary(max_size=16).map(lambda body: packet(0x20, body)),                # a CONNACK of any length
)


@pytest.fixture
def answering(broker):
    server = AnsweringServer(broker.port)
    sdk = tarvo_sdk.SDK()
    sdk.init(f"bad-server-{uuid.uuid4().hex[:8]}", server.address, "tcp", "u", "p", autoReconnect=False,
             connectTimeout=2)
    yield server, sdk
    sdk.stop()
    server.close()


def connect_and_read_console(sdk, capfd):
    capfd.readouterr()
    result = sdk.connect()
    LIBC.fflush(None)
    out, err = capfd.readouterr()
    return result, out, err


@settings(max_examples=max(EXAMPLES // 2, 10), deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(answer=ANSWERS, close_after=st.booleans())
def test_a_malformed_answer_to_connect_fails_the_attempt_with_a_code(answering, capfd, answer, close_after):
    server, sdk = answering
    server.answer, server.close_after, server.relay = answer, close_after, False
    started = time.monotonic()
    connected, out, err = connect_and_read_console(sdk, capfd)
    assert time.monotonic() - started < 2 * 2 + 10, "connect outlasted its timeout"
    accepting = len(answer) >= 4 and answer[0] >> 4 == 2 and answer[3] == 0
    if connected:
        assert accepting, f"connected on an answer that accepts nothing: {answer!r} ({out!r}, {err!r})"
        sdk.disconnect()
        # A session the server closes at once can cost the next one (the soak scenario
        # "stale loss" shows it); here the library settles first, so that this test
        # stays about the answer.
        time.sleep(0.3)
    else:
        failures = [line for line in err.splitlines() if line.startswith("[SDK] connect failed, rc=")]
        assert len(failures) == 1 and failures[0][len("[SDK] connect failed, rc="):].lstrip("-").isdigit(), err
        if answer[:3] == b"\x20\x02\x00" and len(answer) == 4 and 1 <= answer[3] <= 5:
            assert failures[0] == f"[SDK] connect failed, rc={answer[3]}", (answer, err)
    # the same object, the same address, now relayed to the real broker
    server.relay = True
    connected, _out, err = connect_and_read_console(sdk, capfd)
    assert connected, err
    topic = f"after/{uuid.uuid4().hex}"
    seen = []
    sdk.on_message(lambda t, p: seen.append(p))
    assert sdk.subscribe(topic, 1)
    sdk.publish(topic, "back", 1)
    assert wait_until(lambda: seen == ["back"], 5)
    sdk.on_message(None)
    sdk.disconnect()


class HandshakeAnswerer(TcpServer):
    """Reads a TLS client's first flight and answers it with `answer`, or with nothing
    (None), then keeps the socket open until the client leaves."""

    def __init__(self, answer):
        self.answer = answer
        super().__init__()

    def serve(self, sock):
        try:
            sock.recv(65536)
            if self.answer is not None:
                sock.sendall(self.answer)
            while sock.recv(4096):
                pass
        except OSError:
            pass


@pytest.mark.parametrize("answer", [
    pytest.param(bytes(range(256)) * 4, id="garbage"),
    pytest.param(b"\x16\x03\x03\x00\x40\x02\x00\x00\x3c\x03\x03", id="server-hello-cut-short"),
    pytest.param(b"\x16\x03\x03\xff\xff" + bytes(64), id="record-too-long"),
    pytest.param(b"\x15\x03\x03\x00\x02\x02\x28", id="alert"),
    pytest.param(None, id="stall"),
])
def test_a_tls_handshake_answered_badly_fails_the_attempt_by_its_timeout(pki, capfd, answer):
    server = HandshakeAnswerer(answer)
    sdk = tarvo_sdk.SDK()
    sdk.tls_set(ca_certs=pki.crt("ca"))
    sdk.init(f"bad-tls-{uuid.uuid4().hex[:8]}", server.address, "ssl", "u", "p", autoReconnect=False,
             connectTimeout=2)
    try:
        started = time.monotonic()
        connected, out, err = connect_and_read_console(sdk, capfd)
        assert time.monotonic() - started < 2 + 10, "connect outlasted its timeout"
    finally:
        sdk.stop()
        server.close()
    assert not connected and "Connected" not in out
    assert re.fullmatch(r"\[SDK\] connect failed, rc=-?\d+( \(TLS: [^\n]+\))?\n", err), err


# --- accepted by the conversions, but beyond what MQTT can carry --------------------------

@pytest.fixture
def watched(broker):
    """A connected client with a connection handler, and a peer subscribed to '#'."""
    events, seen = [], []
    sdk = tarvo_sdk.SDK()
    sdk.on_connection(lambda connected, code: events.append((connected, code)))
    sdk.init(f"limits-{uuid.uuid4().hex[:8]}", broker.address, "tcp", "u", "p", maxReconnectInterval=1)
    assert sdk.connect()
    peer = Peer(broker.port, lambda message: seen.append(message.topic))
    peer.subscribe("#", qos=0)
    yield sdk, events, seen
    peer.close()
    sdk.on_connection(None)
    sdk.stop()


def assert_session_kept(sdk, events, seen):
    """The broker handles a session's packets in order, so once a QoS 1 marker sent
    after the call under test reaches the peer, a session that call cost has been lost
    already: the loss was reported before any reconnect could resend the marker."""
    marker = f"marker/{uuid.uuid4().hex}"
    sdk.publish(marker, "x", 1)
    assert wait_until(lambda: marker in seen, 10), f"the marker never arrived: {events}"
    assert (False, -1) not in events, f"the session was lost: {events}"


LONG = "abc" + "d" * 65536  # 65,539 bytes: its 16-bit length field would say 3


@pytest.mark.parametrize("call", [
    pytest.param(lambda sdk: sdk.publish(LONG, "payload", 0), id="publish"),
    pytest.param(lambda sdk: sdk.subscribe(LONG, 0), id="subscribe"),
])
def test_a_topic_longer_than_mqtt_allows_is_refused_not_cut(watched, capfd, call):
    """MQTT strings carry a 16-bit length. Sent as is, 65,539 bytes announce 3: the
    broker reads topic 'abc' (and the rest as payload) or drops the session as
    malformed. Either way one bad call publishes elsewhere or costs the session."""
    sdk, events, seen = watched
    call(sdk)
    assert_session_kept(sdk, events, seen)
    capfd.readouterr()  # the failure lines quote all 65,539 bytes
    assert "abc" not in seen, "a message went to topic 'abc'"


@pytest.mark.parametrize("code_point", [0x01, 0x85, 0xFFFF])
def test_a_topic_the_broker_takes_for_malformed_is_refused(watched, code_point):
    """Mosquitto drops the session of a client that publishes to a topic holding a
    control character or a noncharacter, as it does for a wildcard in a topic (which
    the module refuses for that reason)."""
    sdk, events, seen = watched
    sdk.publish(f"a{chr(code_point)}b", "x", 0)
    assert_session_kept(sdk, events, seen)


@pytest.mark.parametrize("qos", [1, 2])
def test_a_publication_the_broker_refuses_is_not_resent_forever(broker, qos):
    """With cleanSession=False (the default) the library resends unacknowledged QoS 1
    and 2 messages after every reconnect. A message the broker drops the session for
    then drops every new session too: the client loops through losses and reconnects
    for as long as it lives."""
    events = []
    sdk = tarvo_sdk.SDK()
    sdk.on_connection(lambda connected, code: events.append((connected, code)))
    sdk.init("poison", broker.address, "tcp", "u", "p", maxReconnectInterval=1)
    try:
        assert sdk.connect()
        sdk.publish("a\x01b", "x", qos)
        time.sleep(5.0)
        losses = events.count((False, -1))
        assert losses <= 1, f"{losses} losses in 5 s after one publication"
    finally:
        sdk.on_connection(None)
        sdk.stop()


@pytest.mark.parametrize("method, topic_filter", [("subscribe", "a#"), ("subscribe", ""), ("unsubscribe", "a/#/b")])
def test_a_malformed_filter_does_not_cost_the_session(watched, method, topic_filter):
    """Mosquitto drops a session that sends a malformed filter, as it does one that
    publishes to a wildcard topic (which the module refuses for that reason)."""
    sdk, events, seen = watched
    getattr(sdk, method)(topic_filter)
    assert_session_kept(sdk, events, seen)


class DroppingOnSubscribe(TcpServer):
    """Grants every session; the first one it drops when its SUBSCRIBE comes in."""

    def __init__(self):
        self.sessions = 0
        super().__init__()

    def on_accept(self, sock):
        self.sessions += 1
        return (self.sessions == 1,)

    def serve(self, sock, drop_on_subscribe):
        try:
            read_packet(sock)
            sock.sendall(b"\x20\x02\x00\x00")
            while True:
                kind, _body = read_packet(sock)
                if kind >> 4 == 8 and drop_on_subscribe:
                    sock.shutdown(socket.SHUT_RDWR)
                    return
                if kind >> 4 == 12:  # PINGREQ
                    sock.sendall(b"\xd0\x00")
        except (OSError, ValueError, ConnectionError):
            pass


@pytest.mark.timeout(60)
def test_a_subscribe_cut_off_by_a_lost_session_does_not_hold_the_reconnection():
    """The server drops the session while a subscribe waits for its SUBACK. The reconnect
    loop gets a new session while the subscribe still waits (the library gives up only
    after 10 s); the give-up ends that session, one more loss, and the loop gets
    another. The subscribe fails, and the client ends up connected."""
    server = DroppingOnSubscribe()
    events = []
    sdk = tarvo_sdk.SDK()
    sdk.on_connection(lambda connected, code: events.append((connected, code)))
    sdk.init("cut-off", server.address, "tcp", "u", "p", maxReconnectInterval=1)
    up, lost = (True, 0), (False, -1)
    try:
        assert sdk.connect()
        assert sdk.subscribe("a/b", 0) is False
        assert events[:3] == [up, lost, up], "the reconnection waited for the subscribe"
        assert wait_until(lambda: len(events) >= 5 and sdk.is_connected(), 10), events
        assert events == [up, lost, up, lost, up]
    finally:
        sdk.on_connection(None)
        sdk.stop()
        server.close()


def suback(msgid, *codes):
    return packet(0x90, msgid.to_bytes(2, "big") + bytes(codes))


def unsuback(msgid):
    return packet(0xB0, msgid.to_bytes(2, "big"))


class SendingUnasked(TcpServer):
    """Grants the session and sends `unasked` right behind the CONNACK; then answers each
    SUBSCRIBE with a SUBACK granting the QoS asked for, each UNSUBSCRIBE with its
    UNSUBACK, and pings."""

    def __init__(self, unasked):
        self.unasked = unasked
        super().__init__()

    def serve(self, sock):
        try:
            read_packet(sock)
            sock.sendall(b"\x20\x02\x00\x00" + self.unasked)
            while True:
                kind, body = read_packet(sock)
                if kind >> 4 == 8:
                    sock.sendall(suback(int.from_bytes(body[:2], "big"), body[-1] & 3))
                elif kind >> 4 == 10:
                    sock.sendall(unsuback(int.from_bytes(body[:2], "big")))
                elif kind >> 4 == 12:
                    sock.sendall(b"\xd0\x00")
        except (OSError, ValueError, ConnectionError):
            pass


@pytest.mark.timeout(60)
@pytest.mark.parametrize("unasked", [
    suback(999, 0x80),
    unsuback(998),
    suback(997, 0) + suback(996, 0) + unsuback(995) + unsuback(994),
], ids=["suback-refusing", "unsuback", "two-of-each"])
def test_answers_nobody_asked_for_are_not_taken_for_the_next_request(capfd, unasked):
    """An answer the server sends unasked is not the answer to the subscribe or
    unsubscribe that comes after it, nor does it shift each later request onto its
    predecessor's answer."""
    server = SendingUnasked(unasked)
    events = []
    sdk = tarvo_sdk.SDK()
    sdk.on_connection(lambda connected, code: events.append((connected, code)))
    sdk.init("unasked", server.address, "tcp", "u", "p", autoReconnect=False)
    try:
        assert sdk.connect()
        capfd.readouterr()
        subscribed = []
        for i in range(3):
            subscribed.append(sdk.subscribe(f"t/{i}", 1))
            sdk.unsubscribe(f"t/{i}")
        LIBC.fflush(None)
        assert subscribed == [True] * 3
        assert "failed" not in capfd.readouterr().err
        assert sdk.is_connected() and events == [(True, 0)]
    finally:
        sdk.on_connection(None)
        sdk.stop()
        server.close()


@pytest.mark.parametrize("field, options", [
    ("clientId", {}),
    ("username", {}),
    ("password", {}),
    ("password", {"edition": "Enterprise"}),
])
def test_connect_fields_longer_than_mqtt_allows_are_refused_not_cut(fake_server, capfd, field, options):
    """A client id, username or password of more than 65,535 bytes (for the Enterprise
    edition: a password whose token is that long) cannot go into a CONNECT. Sent with
    its length cut to 16 bits, the packet is malformed and its fields shifted: the
    connect must fail without sending it, with its failure line."""
    size = 50_000 if options.get("edition") == "Enterprise" else 65_537
    args = {"clientId": "c", "username": "u", "password": "p"}
    args[field] = "x" * size
    sdk = tarvo_sdk.SDK()
    sdk.init(args["clientId"], fake_server.address, "tcp", args["username"], args["password"], autoReconnect=False,
             connectTimeout=3, **options)
    connected, _out, err = connect_and_read_console(sdk, capfd)
    sdk.stop()
    assert not connected
    assert "[SDK] connect failed, rc=" in err
    assert fake_server.errors == [], f"a malformed CONNECT was sent: {fake_server.errors}"


@pytest.mark.parametrize("keep_alive", [65536, -1])
def test_a_keepalive_beyond_16_bits_is_not_sent_as_another(fake_server, keep_alive):
    """The CONNECT's keepalive field has 16 bits: 65,536 would go out as 0, which turns
    the keepalive off. Such a value must be refused (by init or connect), not sent
    as another one."""
    sdk = tarvo_sdk.SDK()
    try:
        sdk.init("keepalive", fake_server.address, "tcp", "u", "p", keepAlive=keep_alive, autoReconnect=False,
                 connectTimeout=3)
    except (TypeError, RuntimeError):
        return
    try:
        if sdk.connect():
            sent = fake_server.next_connect(timeout=5).keep_alive
            assert sent == keep_alive, f"keepAlive={keep_alive} went out as {sent}"
    finally:
        sdk.stop()
