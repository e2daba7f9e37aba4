"""A Python signal handler that raises ends any waiting call at once, and a forked child
leaves its parent's connection alone."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
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
            # An interrupted publish stays in flight, given up: nothing waits for it since.
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
        if step == "call" and call in ("disconnect", "stop", "init"):
            assert taken is None, "waited for the publish the interrupt gave up"
        else:
            assert taken is not None and taken < BOUND_S, f"{step}: {taken}"
    assert connected is False and connected_again is False
    assert "[SDK] publish \u2014 not connected" in err.splitlines()
    assert "[SDK] connect \u2014 call init() first" in err.splitlines()


PUBLISH_EXIT_SCRIPT = """
    import os, signal, sys, threading, time, tarvo_sdk
    sdk = tarvo_sdk.SDK()
    sdk.init("exit", sys.argv[1], "tcp", "u", "p")
    assert sdk.connect()
    print("READY", flush=True)
    sys.stdin.readline()  # the broker is frozen now

    def ctrl_c():
        print("SIGINT", time.monotonic(), flush=True)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Timer(0.5, ctrl_c).start()
    try:
        sdk.publish("t", "x", 1)  # waits for an acknowledgement that cannot come
    finally:
        if sys.argv[2] == "stop":
            sdk.stop()
"""

# A connect on another thread waits for a CONNACK that does not come; the program ends,
# and its exit hook, stopping the client, waits for that connect (20 s) until Ctrl-C.
CONNECTING_EXIT_SCRIPT = """
    import atexit, os, signal, sys, threading, time, tarvo_sdk
    sdk = tarvo_sdk.SDK()
    sdk.init("exit", sys.argv[1], "tcp", "u", "p", connectTimeout=20)
    threading.Thread(target=sdk.connect, daemon=True).start()
    print("READY", flush=True)
    sys.stdin.readline()  # the connect waits for its CONNACK now

    def ctrl_c():
        print("SIGINT", time.monotonic(), flush=True)
        os.kill(os.getpid(), signal.SIGINT)

    # Registered after the module's exit hook, so run before it: the signal comes 0.5 s
    # into the hook's wait.
    atexit.register(lambda: threading.Timer(0.5, ctrl_c).start())
"""


@pytest.fixture
def frozen_server():
    """Accepts a connection, reads its CONNECT and never answers."""
    held = []

    def hold():
        held.append(listener.accept()[0])
        return held[0].recv(64)

    with socket.create_server((HOST, 0)) as listener:
        listener.settimeout(30)
        yield f"{HOST}:{listener.getsockname()[1]}", hold
        for sock in held:
            sock.close()


@pytest.mark.parametrize("ending", ["stop", "exit-hook", "exit-hook-waiting"])
def test_a_program_interrupted_at_a_frozen_broker_exits_promptly(broker, frozen_server, ending):
    """Neither stop nor the exit hook waits for the acknowledgement of a message the
    interrupt gave up (the library's disconnect would give it 10 s), and a Ctrl-C ends the
    exit hook's wait for a call still in progress (20 s)."""
    address, hold_connect = frozen_server
    waiting = ending == "exit-hook-waiting"
    with subprocess.Popen([sys.executable, "-c", textwrap.dedent(CONNECTING_EXIT_SCRIPT if waiting else
                                                                 PUBLISH_EXIT_SCRIPT),
                           address if waiting else broker.address, ending],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=script_env()) as process:
        try:
            assert process.stdout.readline() == b"READY\n"
            if waiting:
                assert hold_connect()
            else:
                os.kill(broker.process.pid, signal.SIGSTOP)
            out, err = process.communicate(b"go\n", timeout=40)
            exited_at = time.monotonic()
        finally:
            os.kill(broker.process.pid, signal.SIGCONT)
            if process.poll() is None:
                process.kill()
    assert process.returncode == -signal.SIGINT, err.decode()
    [sent_at] = [float(line.split()[1]) for line in out.splitlines() if line.startswith(b"SIGINT ")]
    took = exited_at - sent_at
    print(f"exited {took:.2f} s after SIGINT ({ending})")
    assert took < 5.0


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
