"""Every operation from every calling context while messages keep arriving: each call
completes within 2 s, or is refused at once where the README says so, and the connection
survives. The library has one receiving thread for every client of the process; a call
that waits for it while it waits for the caller would stall here for 10-20 s."""

import itertools
import queue
import threading
import time
import uuid

import paho.mqtt.client as mqtt
import pytest

import tarvo_sdk
from tarvo_testsupport import HOST, Relay, wait_until

pytestmark = pytest.mark.timeout(60)

CONTEXTS = ["main", "connect-handler", "reconnect-handler", "message-handler", "other-thread", "other-client-handler"]
OPERATIONS = ["subscribe", "unsubscribe", "publish-0", "publish-1", "publish-2", "on_message", "on_connection",
              "is_connected"]
ARRIVALS = ["retained", "stream"]

ON_LIBRARY_THREAD = {"message-handler", "other-client-handler"}
IN_OWN_HANDLER = {"connect-handler", "reconnect-handler", "message-handler"}
CALL_BOUND_S = 2.0  # the stall this catches lasts 10-20 s


def expected(context, operation):
    if operation in ("on_message", "on_connection") and context in IN_OWN_HANDLER:
        return "RuntimeError"
    if operation in ("subscribe", "unsubscribe") and context in ON_LIBRARY_THREAD:
        return "refused"
    return "completed"


class Streamer:
    """A paho-mqtt peer that publishes to a topic about 1,000 times a second until closed
    (at most 30 s), and sends single messages on demand."""

    def __init__(self, port, topic):
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"streamer-{uuid.uuid4().hex[:8]}")
        self.client.connect(HOST, port, keepalive=30)
        self.client.loop_start()
        self.topic = topic
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._stream, daemon=True)

    def start_streaming(self):
        self.thread.start()

    def _stream(self):
        for i in range(30_000):
            if self.done.wait(0.001):
                return
            self.client.publish(self.topic, str(i), qos=0)

    def send(self, topic, payload="", retain=False):
        info = self.client.publish(topic, payload, qos=1, retain=retain)
        info.wait_for_publish(10)
        assert info.is_published()

    def close(self):
        self.done.set()
        if self.thread.is_alive():
            self.thread.join(10)
        self.client.disconnect()
        self.client.loop_stop()


class Client:
    """An SDK object with recording handlers; `hook` runs on the handler's thread."""

    def __init__(self, address, name):
        self.sdk = tarvo_sdk.SDK()
        self.topics = []
        self.events = []
        self.lock = threading.Lock()
        self.message_hook = None
        self.connection_hook = None
        self.sdk.on_message(self.on_message)
        self.sdk.on_connection(self.on_connection)
        self.sdk.init(f"{name}-{uuid.uuid4().hex[:8]}", address, "tcp", "u", "p", keepAlive=10)

    def on_message(self, topic, payload):
        with self.lock:
            self.topics.append(topic)
        if self.message_hook and self.message_hook(topic):
            self.message_hook = None

    def on_connection(self, connected, code):
        with self.lock:
            self.events.append((connected, code))
        if self.connection_hook and connected:
            hook, self.connection_hook = self.connection_hook, None
            hook()

    def count(self, topic):
        with self.lock:
            return self.topics.count(topic)


@pytest.mark.parametrize(
    "context, operation, arrival",
    list(itertools.product(CONTEXTS, OPERATIONS, ARRIVALS)),
    ids=["-".join(case) for case in itertools.product(CONTEXTS, OPERATIONS, ARRIVALS)],
)
def test_call_from_context_while_messages_arrive(broker, capfd, context, operation, arrival):
    base = f"ctx/{uuid.uuid4().hex[:10]}"
    relay = Relay(broker.port)  # cut for the reconnect context
    peer = Streamer(broker.port, f"{base}/stream")
    a = Client(relay.address, "a")
    b = Client(broker.address, "b") if context == "other-client-handler" else None
    results = queue.Queue()
    try:
        peer.send(f"{base}/cfg", "retained", retain=True)
        if arrival == "stream":
            peer.start_streaming()
        filter_with_arrivals = f"{base}/cfg" if arrival == "retained" else f"{base}/stream"

        operations = {
            "subscribe": lambda: a.sdk.subscribe(f"{base}/extra", 1),
            "unsubscribe": lambda: a.sdk.unsubscribe(filter_with_arrivals),
            "publish-0": lambda: a.sdk.publish(f"{base}/out", "x", 0),
            "publish-1": lambda: a.sdk.publish(f"{base}/out", "x", 1),
            "publish-2": lambda: a.sdk.publish(f"{base}/out", "x", 2),
            "on_message": lambda: a.sdk.on_message(a.on_message),
            "on_connection": lambda: a.sdk.on_connection(a.on_connection),
            "is_connected": lambda: a.sdk.is_connected(),
        }

        def timed_call():
            start = time.monotonic()
            try:
                outcome = ("returned", operations[operation]())
            except Exception as error:  # the verdict is checked on the test's thread
                outcome = ("raised", error)
            results.put((outcome, time.monotonic() - start))

        def subscribe_then_call():
            # What a handler restoring its subscriptions does: the arrivals start at once.
            assert a.sdk.subscribe(filter_with_arrivals, 1)
            timed_call()

        def on_trigger(topic):
            if topic == f"{base}/go":
                timed_call()
                return True
            return False

        if context == "connect-handler":
            a.connection_hook = subscribe_then_call
        assert a.sdk.connect()
        if context == "main":
            subscribe_then_call()
        elif context == "other-thread":
            threading.Thread(target=subscribe_then_call, daemon=True).start()
        elif context == "reconnect-handler":
            a.connection_hook = subscribe_then_call
            relay.cut()
        elif context in ON_LIBRARY_THREAD:
            target = a if context == "message-handler" else b
            if b is not None:
                assert b.sdk.connect()
            assert target.sdk.subscribe(f"{base}/go", 1)
            assert a.sdk.subscribe(filter_with_arrivals, 1)
            target.message_hook = on_trigger
            peer.send(f"{base}/go")

        (kind, value), seconds = results.get(timeout=20)
        want = expected(context, operation)
        if want == "RuntimeError":
            assert kind == "raised" and isinstance(value, RuntimeError), value
            assert "cannot be called from inside a handler of the same object" in str(value)
        else:
            assert kind == "returned", value
            if operation == "subscribe":
                assert value is (want == "completed")
            if operation == "is_connected":
                assert value is True
        assert seconds < CALL_BOUND_S, f"{operation} from {context} took {seconds:.2f} s"

        # The receiving thread still serves this client, whose connection was never lost
        # but by the relay's cut.
        assert a.sdk.subscribe(f"{base}/probe", 1)
        peer.send(f"{base}/probe")
        assert wait_until(lambda: a.count(f"{base}/probe") == 1, 10)
        if arrival == "retained" and operation != "unsubscribe":
            assert wait_until(lambda: a.count(f"{base}/cfg") >= 1, 10)
        assert a.events.count((False, -1)) == (1 if context == "reconnect-handler" else 0), a.events
        assert a.sdk.is_connected()
        if want == "refused":
            topic = f"{base}/extra" if operation == "subscribe" else filter_with_arrivals
            assert f"[SDK] {operation} failed on '{topic}', rc=-1" in capfd.readouterr().err.splitlines()
    finally:
        for client in (a, b):
            if client is not None:
                client.sdk.stop()
        peer.close()
        relay.close()
