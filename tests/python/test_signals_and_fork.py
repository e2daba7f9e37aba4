"""A Python signal handler that raises ends any waiting call at once, and a forked child
leaves its parent's connection alone."""

import json
import socket
import subprocess
import sys
import textwrap
import uuid

import pytest

from tarvo_testsupport import HOST, run_script, script_env

pytestmark = pytest.mark.timeout(90)

BOUND_S = 2.0  # the library waits these calls out for 10-20 s


# Each case runs in an interpreter of its own: what an interrupt leaves running in the
# background (a connect waiting out its timeout, a subscribe its 10 s) ends with it.
INTERRUPT_SCRIPT = """
    import json, os, signal, sys, threading, time, tarvo_sdk

    class Interrupt(Exception):
        pass

    def interrupted_after(call, delay=0.5):
        # Runs call() with SIGUSR1 raising Interrupt delay s in; returns the seconds from
        # the signal to the exception, or None when call returned first.
        sent_at = []
        def handler(signum, frame):
            raise Interrupt()
        def send():
            sent_at.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, handler)
        timer = threading.Timer(delay, send)
        timer.start()
        try:
            call()
        except Interrupt:
            return time.monotonic() - sent_at[0]
        finally:
            timer.cancel()
            signal.signal(signal.SIGUSR1, signal.SIG_DFL)
        return None

    CALL, ADDRESS = sys.argv[1], sys.argv[2]
    sdk = tarvo_sdk.SDK()
    sdk.init("sig", ADDRESS, "tcp", "u", "p", connectTimeout=20)
    publish = lambda: sdk.publish("t", b"x", 1)
    seconds = {}
    if CALL != "connect":
        assert sdk.connect()
        if CALL in ("disconnect", "stop", "init"):
            # An interrupted publish stays in flight: the library's disconnect waits for it.
            seconds["publish first"] = interrupted_after(publish)
    waiting = {
        "connect": sdk.connect,
        "publish": publish,
        "subscribe": lambda: sdk.subscribe("t", 1),
        "unsubscribe": lambda: sdk.unsubscribe("t"),
        "disconnect": sdk.disconnect,
        "stop": sdk.stop,
        "init": lambda: sdk.init("again", ADDRESS, "tcp", "u", "p"),
    }[CALL]
    seconds["call"] = interrupted_after(waiting)
    # Whatever still runs in the background, stop leaves a stopped client at once, or
    # (waiting for a message in flight, as disconnect does) can be interrupted too.
    start = time.monotonic()
    interrupted_after(sdk.stop)
    seconds["stop"] = time.monotonic() - start
    sdk.publish("t", "x", 0)
    print("RESULT", json.dumps([seconds, sdk.is_connected(), sdk.connect()]), flush=True)
    os._exit(0)  # leaves the background calls behind
"""


@pytest.fixture
def silent_server():
    """Accepts TCP connections (in the kernel's backlog) and never answers."""
    with socket.create_server((HOST, 0)) as listener:
        yield f"{HOST}:{listener.getsockname()[1]}"


@pytest.mark.parametrize("call", ["connect", "publish", "subscribe", "unsubscribe", "disconnect", "stop", "init"])
def test_a_raising_signal_handler_ends_a_waiting_call(call, silent_server, fake_server):
    address = silent_server if call == "connect" else fake_server.address  # grants, then never answers
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPT_SCRIPT), call, address],
                            capture_output=True, timeout=60, env=script_env())
    out, err = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == 0, err
    [line] = [line for line in out.splitlines() if line.startswith("RESULT ")]
    seconds, connected, connected_again = json.loads(line.split(" ", 1)[1])
    for step, taken in seconds.items():
        assert taken is not None and taken < BOUND_S, f"{step}: {taken}"
    assert connected is False and connected_again is False
    assert "[SDK] publish \u2014 not connected" in err.splitlines()
    assert "[SDK] connect \u2014 call init() first" in err.splitlines()


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
