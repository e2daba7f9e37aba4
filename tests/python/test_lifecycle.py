"""init, connect, disconnect, stop and teardown of a client, against a real Mosquitto;
console lines are read from a script after it has exited."""

import json
import time

import pytest

from tarvo_testsupport import free_port
from sdk_helpers import run_sdk

pytestmark = pytest.mark.timeout(60)


def test_connect_before_init_is_refused(broker):
    console = run_sdk(
        """
        import json
        s = tarvo_sdk.SDK()
        mark("connect")
        result = s.connect()
        mark("disconnect")
        s.disconnect()
        mark("results")
        print(json.dumps([result, s.is_connected()]))
        """,
        broker,
    )
    assert console.returncode == 0, console
    assert console.section("connect") == (b"", "[SDK] connect \u2014 call init() first\n".encode())
    assert console.section("disconnect") == (b"[SDK] Not connected\n", b"")
    assert json.loads(console.section("results")[0]) == [False, False]


def test_lifecycle_lines_results_and_connection_events(broker):
    console = run_sdk(
        """
        import json
        events = []
        results = {}
        s = tarvo_sdk.SDK()
        s.on_connection(lambda connected, code: events.append([connected, code]))
        s.init("life", ADDR, "tcp", "u", "p")
        results["initialised"] = s.is_connected()
        mark("connect")
        results["connect"] = [s.connect(), s.is_connected(), list(events)]
        mark("connect-again")
        results["connect-again"] = [s.connect(), s.is_connected(), list(events)]
        mark("disconnect")
        s.disconnect()
        results["disconnect"] = [s.is_connected(), list(events)]
        mark("disconnect-again")
        s.disconnect()
        results["disconnect-again"] = list(events)
        mark("reconnect")
        results["reconnect"] = s.connect()
        mark("stop")
        s.stop()
        results["stop"] = [s.is_connected(), list(events)]
        mark("stop-again")
        s.stop()
        mark("connect-after-stop")
        results["connect-after-stop"] = s.connect()
        mark("init-after-stop")
        s.init("life", ADDR, "tcp", "u", "p")
        results["init-after-stop"] = s.connect()
        mark("stop-last")
        s.stop()
        mark("results")
        print(json.dumps([results, events]))
        """,
        broker,
    )
    assert console.returncode == 0, console
    connected_line = f"[SDK] Connected to tcp://{broker.address}\n".encode()
    assert console.section("connect") == (connected_line, b"")
    assert console.section("connect-again") == (b"[SDK] Already connected\n", b"")
    assert console.section("disconnect") == (b"[SDK] Disconnected\n", b"")
    assert console.section("disconnect-again") == (b"[SDK] Not connected\n", b"")
    assert console.section("reconnect") == (connected_line, b"")
    assert console.section("stop") == (b"[SDK] Disconnected\n", b"")
    assert console.section("stop-again") == (b"[SDK] Not connected\n", b"")
    assert console.section("connect-after-stop") == (b"", "[SDK] connect \u2014 call init() first\n".encode())
    assert console.section("init-after-stop") == (connected_line, b"")
    assert console.section("stop-last") == (b"[SDK] Disconnected\n", b"")

    results, events = json.loads(console.section("results")[0])
    up, down = [True, 0], [False, 0]
    assert results == {
        "initialised": False,
        # The handler has run by the time connect returns; a repeated connect calls it not.
        "connect": [True, True, [up]],
        "connect-again": [True, True, [up]],
        "disconnect": [False, [up, down]],
        "disconnect-again": [up, down],
        "reconnect": True,
        "stop": [False, [up, down, up, down]],
        "connect-after-stop": False,
        "init-after-stop": True,
    }
    assert events == [up, down, up, down, up, down]


def test_connect_to_nothing_fails_with_the_library_code():
    port = free_port()
    console = run_sdk(
        f"""
        import json
        events = []
        s = tarvo_sdk.SDK()
        s.on_connection(lambda connected, code: events.append([connected, code]))
        s.init("life", "127.0.0.1:{port}", "tcp", "u", "p", connectTimeout=2)
        mark("connect")
        result = s.connect()
        mark("results")
        print(json.dumps([result, s.is_connected(), events]))
        """
    )
    assert console.returncode == 0, console
    assert console.section("connect") == (b"", b"[SDK] connect failed, rc=-1\n")
    assert json.loads(console.section("results")[0]) == [False, False, []]


def test_init_while_connected_ends_the_earlier_connection(broker):
    console = run_sdk(
        """
        import json
        events = []
        s = connected("first")
        s.on_connection(lambda connected, code: events.append([connected, code]))
        mark("init")
        s.init("second", ADDR, "tcp", "u", "p")
        state = s.is_connected()
        mark("connect")
        s.connect()
        s.stop()
        mark("results")
        print(json.dumps([state, events]))
        """,
        broker,
    )
    assert console.returncode == 0, console
    # Ended as stop would, without a "Not connected" notice.
    assert console.section("init") == (b"[SDK] Disconnected\n", b"")
    assert json.loads(console.section("results")[0]) == [False, [[False, 0], [True, 0], [False, 0]]]


def test_failed_init_raises_prints_nothing_and_leaves_no_client(broker):
    console = run_sdk(
        """
        import json
        s = tarvo_sdk.SDK()
        mark("init")
        try:
            s.init("c", ADDR, "bogus", "u", "p")
            error = None
        except RuntimeError as e:
            error = str(e)
        mark("connect")
        result = s.connect()
        mark("results")
        print(json.dumps([error, result]))
        """,
        broker,
    )
    assert console.returncode == 0, console
    assert console.section("init") == (b"", b"")
    assert console.section("connect") == (b"", "[SDK] connect \u2014 call init() first\n".encode())
    assert json.loads(console.section("results")[0]) == ["SDK::init \u2014 MQTTClient_create failed: -14", False]


@pytest.mark.parametrize("dropper", ["main", "worker"])
def test_dropping_a_connected_client_disconnects_on_the_dropping_thread(broker, dropper):
    console = run_sdk(
        f"""
        import json, threading
        events = []
        s = connected()
        s.on_connection(lambda connected, code: events.append([connected, code, threading.get_ident()]))
        def drop():
            global s
            del s
        mark("drop")
        if {dropper!r} == "main":
            drop()
            ident = threading.get_ident()
        else:
            t = threading.Thread(target=drop)
            t.start()
            t.join()
            ident = t.ident
        mark("results")
        print(json.dumps([events, ident]))
        """,
        broker,
    )
    assert console.returncode == 0, console
    assert console.section("drop") == (b"[SDK] Disconnected\n", b"")
    events, ident = json.loads(console.section("results")[0])
    assert events == [[False, 0, ident]]
    assert console.section("exit") == (b"", b"")


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "activity",
    [
        "",
        "s.on_connection(lambda connected, code: None)",
        # A subscription fed by the client itself keeps the library's thread calling a
        # handler that needs the interpreter while it shuts down.
        """
        s.on_message(lambda topic, payload: None)
        s.on_connection(lambda connected, code: None)
        s.subscribe("loop/#", 1)
        for i in range(200):
            s.publish("loop/" + str(i), "x" * 100, i % 3)
        """,
    ],
    ids=["bare", "connection-handler", "messages-in-flight"],
)
def test_script_exiting_while_connected_exits_promptly_and_cleanly(broker, activity):
    console = run_sdk(
        f"""
        import textwrap, time
        s = connected()
        exec(textwrap.dedent({activity!r}))
        mark("ending")
        print(time.monotonic())
        """,
        broker,
        timeout=20,
    )
    exit_took = time.monotonic() - float(console.section("ending")[0])
    assert console.returncode == 0, console
    # Well under the library's 10 s disconnect wait that a stuck exit would sit out.
    assert exit_took < 3.0, console
    out, err = console.section("exit")
    assert out.count(b"[SDK] Disconnected\n") == 1, console
    assert err == b"", console


def test_ending_and_making_the_only_client_over_and_over_keeps_no_descriptors(broker):
    # The library sets its process-wide state up with its first client and down with
    # its last; a program that replaces its only client must not pay for each round.
    console = run_sdk(
        """
        import json, os
        counts = []
        for round in range(12):
            s = tarvo_sdk.SDK()
            s.init(f"round-{round}", ADDR, "tcp", "u", "p")
            if round % 2:
                s.connect()
            s.stop()
            del s
            counts.append(len(os.listdir("/proc/self/fd")))
        mark("results")
        print(json.dumps(counts))
        """,
        broker,
    )
    assert console.returncode == 0, console
    counts = json.loads(console.section("results")[0])
    assert counts == [counts[0]] * len(counts)
