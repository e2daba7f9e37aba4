"""A Python signal handler that raises ends any waiting call at once, and a forked child
leaves its parent's connection alone."""

import json
import os
import signal
import socket
import threading
import time
import uuid

import pytest

import tarvo_sdk
from tarvo_testsupport import HOST, run_script

pytestmark = pytest.mark.timeout(90)

BOUND_S = 2.0  # the library waits these calls out for 10-20 s


class Interrupt(Exception):
    pass


def interrupted_after(call, delay=0.5):
    """Runs call() with SIGUSR1 raising Interrupt `delay` s in; returns the seconds from
    the signal to the exception."""
    raised_at = []

    def handler(signum, frame):
        raised_at.append(time.monotonic())
        raise Interrupt()

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        with pytest.raises(Interrupt):
            call()
        return time.monotonic() - raised_at[0]
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)


def timed(call):
    start = time.monotonic()
    call()
    return time.monotonic() - start


@pytest.fixture
def silent_server():
    """Accepts TCP connections (in the kernel's backlog) and never answers."""
    with socket.create_server((HOST, 0)) as listener:
        yield f"{HOST}:{listener.getsockname()[1]}"


def sdk_for(address, **options):
    sdk = tarvo_sdk.SDK()
    sdk.init(f"sig-{uuid.uuid4().hex[:8]}", address, "tcp", "u", "p", **options)
    return sdk


@pytest.mark.parametrize("call", ["connect", "publish", "subscribe", "unsubscribe", "disconnect", "stop", "init"])
def test_a_raising_signal_handler_ends_a_waiting_call(call, silent_server, fake_server):
    mute_broker = fake_server  # grants the session, then never answers
    if call == "connect":
        sdk = sdk_for(silent_server, connectTimeout=20)
        waiting = sdk.connect
    else:
        sdk = sdk_for(mute_broker.address)
        assert sdk.connect()
        publish = lambda: sdk.publish("t", b"x", 1)  # noqa: E731
        if call in ("disconnect", "stop", "init"):
            # An interrupted publish stays in flight, and the library's disconnect waits
            # for it.
            assert interrupted_after(publish) < BOUND_S
        waiting = {
            "publish": publish,
            "subscribe": lambda: sdk.subscribe("t", 1),
            "unsubscribe": lambda: sdk.unsubscribe("t"),
            "disconnect": sdk.disconnect,
            "stop": sdk.stop,
            "init": lambda: sdk.init("again", mute_broker.address, "tcp", "u", "p"),
        }[call]
    assert interrupted_after(waiting) < BOUND_S
    # Whatever still runs in the background, stop leaves a stopped client at once, or
    # (waiting for a message in flight, as disconnect does) can be interrupted too.
    start = time.monotonic()
    try:
        interrupted_after(sdk.stop)
    except pytest.fail.Exception:
        pass  # returned before the signal
    assert time.monotonic() - start < BOUND_S
    assert not sdk.is_connected()
    sdk.publish("t", "x", 0)
    assert sdk.connect() is False


FORK_SCRIPT = """
    import json, os, sys, time, tarvo_sdk
    events, messages = [], []
    sdk = tarvo_sdk.SDK()
    sdk.on_connection(lambda connected, code: events.append([connected, code]))
    sdk.on_message(lambda topic, payload: messages.append(payload))
    sdk.init("parent-{tag}", "{address}", "tcp", "u", "p")
    assert sdk.connect() and sdk.subscribe("fork/{tag}", 1)
    pid = os.fork()
    if pid == 0:
        sdk.publish("fork/{tag}", "from the child", 1)
        child = tarvo_sdk.SDK()
        start = time.monotonic()
        try:
            child.init("child-{tag}", "{address}", "tcp", "u", "p")
            init_error = None
        except RuntimeError as error:
            init_error = str(error)
        print("CHILD", json.dumps([sdk.is_connected(), init_error, time.monotonic() - start]), flush=True)
        sdk.stop()
        sys.exit(0)  # and the exit hook
    _, status = os.waitpid(pid, 0)
    sdk.publish("fork/{tag}", "from the parent", 1)
    deadline = time.monotonic() + 10
    while not messages and time.monotonic() < deadline:
        time.sleep(0.01)
    print("PARENT", json.dumps([status, sdk.is_connected(), events, messages]), flush=True)
    sdk.stop()
"""


def test_a_forked_child_leaves_the_parents_connection_alone(broker):
    tag = uuid.uuid4().hex[:8]
    result = run_script(FORK_SCRIPT.format(tag=tag, address=broker.address), timeout=60)
    out, err = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == 0, err
    lines = dict(line.split(" ", 1) for line in out.splitlines() if line.startswith(("CHILD ", "PARENT ")))
    child_connected, init_error, init_seconds = json.loads(lines["CHILD"])
    assert child_connected is False
    assert "fork" in init_error and init_seconds < BOUND_S
    status, parent_connected, events, messages = json.loads(lines["PARENT"])
    assert status == 0
    assert parent_connected is True and events == [[True, 0]], "the child ended the parent's session"
    assert messages == ["from the parent"]
    assert "[SDK] publish \u2014 not connected" in err.splitlines()
