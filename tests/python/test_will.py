"""will_set and will_clear: the will a broker publishes for a client whose connection
ends without a disconnect. The client runs in a process of its own, connected to a real
Mosquitto through a relay; a paho-mqtt peer sees what the broker publishes when the
process is killed or the relay cut, and when it disconnects first."""

import pytest
import tarvo_sdk

from sdk_helpers import Peer, Received, SdkProcess, peer  # noqa: F401  (peer is a fixture)

pytestmark = pytest.mark.timeout(60)

CLIENT = """
import threading
s = tarvo_sdk.SDK()
s.on_connection(lambda connected, code: connected and print("UP", flush=True))
{before_init}
s.init("will-client", RELAY, "tcp", "user", "secret", {init_options})
{after_init}
assert s.connect()
{after_connect}
print("READY", flush=True)
threading.Event().wait()
"""

# (code before init, after init, after connect, init's options, what the peer sees when
# the client's process is killed). "cut" in the after-connect code: the relay cuts the
# connection once the client is READY, and the client is killed once it is UP again.
WILLS = {
    "set before init": ('s.will_set("will/t", "gone", 1)', "", "", "", [Received(b"will/t", b"gone", 1, False)]),
    "set after init, retained, bytes": (
        "", 's.will_set("will/t", b"\\x00\\xff", qos=2, retain=True)', "", "",
        [Received(b"will/t", b"\x00\xff", 2, True)]),
    "without a payload": ("", 's.will_set(topic="will/t")', "", "", [Received(b"will/t", b"", 0, False)]),
    "largest payload": ("", 's.will_set("will/t", "x" * 65535)', "", "",
                        [Received(b"will/t", b"x" * 65535, 0, False)]),
    "Enterprise": ('s.will_set("will/t", "sealed", 1)', "", "", "edition='Enterprise'",
                   [Received(b"will/t", b"sealed", 1, False)]),
    "a refused will_set keeps the will": (
        's.will_set("will/t", "kept")\ntry:\n    s.will_set("will/+", "refused")\nexcept ValueError:\n    pass',
        "", "", "", [Received(b"will/t", b"kept", 0, False)]),
    # The connection cut had the first will; the reconnect sends the one set meanwhile.
    "changed while connected, sent from the reconnect": (
        's.will_set("will/t", "first", 1)', "", 's.will_set("will/t", "again", 1)  # cut', "",
        [Received(b"will/t", b"first", 1, False), Received(b"will/t", b"again", 1, False)]),
    "cleared": ('s.will_set("will/t", "gone")', "s.will_clear()", "", "", []),
    "after a clean disconnect": ('s.will_set("will/t", "gone")', "", "s.disconnect()", "", []),
}


@pytest.mark.parametrize("case", WILLS)
def test_the_will_is_published_when_the_connection_dies(broker, relay, peer, case):
    before_init, after_init, after_connect, init_options, expected = WILLS[case]
    client = SdkProcess(
        f"RELAY = {relay.address!r}\n"
        + CLIENT.format(before_init=before_init, after_init=after_init, after_connect=after_connect,
                        init_options=init_options),
        broker,
    )
    try:
        client.wait_for("READY")
        if "# cut" in after_connect:
            relay.cut()
            assert peer.next() == expected[0]
            client.wait_for("UP")
    finally:
        client.kill()
    if not expected:
        # The broker handled the client's end before the peer's later publication.
        peer.publish("fence", b"", qos=1)
        assert peer.until(b"fence") == []
        return
    assert peer.next() == expected[-1]


WILL_REFUSALS = [
    (lambda s: s.will_set("will/+"), ValueError),
    (lambda s: s.will_set("will/#", "x"), ValueError),
    (lambda s: s.will_set(""), ValueError),
    (lambda s: s.will_set("a\x00b"), ValueError),
    (lambda s: s.will_set(b"\xff"), ValueError),
    (lambda s: s.will_set("t", qos=3), ValueError),
    (lambda s: s.will_set("t", qos=-1), ValueError),
    (lambda s: s.will_set("t", "x" * 65536), ValueError),
    (lambda s: s.will_set(None), TypeError),
    (lambda s: s.will_set("t", 5), TypeError),
    (lambda s: s.will_set("t", qos=1.0), TypeError),
    (lambda s: s.will_set("t", retained=True), TypeError),
]


@pytest.mark.parametrize("call, error", WILL_REFUSALS, ids=[
    "plus", "hash", "empty", "nul", "not-utf8", "qos-3", "qos-negative", "payload-65536", "topic-None", "payload-int",
    "qos-float", "paho-publish-keyword"])
@pytest.mark.parametrize("when", ["before init", "after init"])
def test_a_will_publish_would_refuse_raises_at_the_call(call, error, when):
    sdk = tarvo_sdk.SDK()
    if when == "after init":
        sdk.init("will-client", "127.0.0.1:1", "tcp", "user", "secret")
    with pytest.raises(error):
        call(sdk)
    sdk.stop()
