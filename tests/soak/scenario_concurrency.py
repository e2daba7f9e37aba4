"""Concurrency: eight Python threads share one SDK and call publish, subscribe,
unsubscribe, is_connected, on_message and on_connection at random, while a peer
streams messages to it and the main thread disconnects, connects, and stops and
re-inits it at random (every other init with cleanSession=True).

Documented outcomes are fine: the "[SDK] ..." failure lines (checked by the runner
against the documented set), False from subscribe. Anything else a call does is an
error: an exception (RuntimeError is documented only for a handler calling back into its
own object, which this scenario never does), an unraisable exception from a handler.

A deadlock fails the run: every worker stamps its progress; when one has not finished a
call for stuck_after seconds (well above the longest documented wait: 10 s for an
acknowledgement, connectTimeout for a connect), every thread's stack is dumped and the
run ends as a hang. faulthandler's watchdog covers the main thread the same way.
"""

import faulthandler
import random
import subprocess
import sys
import threading
import time

import tarvo_sdk

from soaklib import (Broker, ConnectionEvents, MessageCounter, fds_now, scenario_main, settle, threads_now,
                     warm_up_library)

DEFAULTS = {
    "duration": 60,
    "threads": 8,
    "stream_rate": 500,
    "stuck_after": 40,
    "connect_timeout": 5,
    "watchdog": 300,
    "seed": None,
}

STREAMER = """
import sys, time
import paho.mqtt.client as mqtt
client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=sys.argv[3])
client.connect("127.0.0.1", int(sys.argv[1]))
client.loop_start()
rate = int(sys.argv[2])
while True:
    for i in range(rate // 50):
        client.publish("conc/stream/" + str(i % 4), "x" * 64, qos=i % 2)
    time.sleep(0.02)
"""

TOPICS = ["conc/stream/0", "conc/stream/1", "conc/stream/#", "conc/own/a", "conc/own/b", "conc/#", "conc/+/a"]
OWN = ["conc/own/a", "conc/own/b", "conc/stream/2"]


def run(p, report):
    seed = p["seed"]
    broker = Broker(p["workdir"])
    streamer = None
    try:
        warm_up_library(broker.address)
        threads_idle, fds_idle = threads_now(), fds_now()
        streamer = subprocess.Popen([sys.executable, "-c", STREAMER, str(broker.port), str(p["stream_rate"]),
                                     f"soak-streamer-{seed}"])

        unraisable = []
        sys.unraisablehook = lambda u: unraisable.append(f"{u.exc_type.__name__}: {u.exc_value} ({u.err_msg})")
        message_handlers = [MessageCounter(), MessageCounter(), None]
        connection_handlers = [ConnectionEvents(), ConnectionEvents(), None]

        sdk = tarvo_sdk.SDK()
        options = {"connectTimeout": p["connect_timeout"], "maxReconnectInterval": 1}

        inits = [0]

        def init():
            # Every other configuration cleans its session: a disconnect then also empties
            # the library's queue of messages not yet handled.
            inits[0] += 1
            sdk.init(f"soak-conc-{seed}", broker.address, "tcp", "u", "p", cleanSession=inits[0] % 2 == 0,
                     **options)

        init()
        sdk.on_message(message_handlers[0])
        sdk.connect()

        stop = threading.Event()
        ops = {}
        errors = []
        progress = {}
        lock = threading.Lock()

        def worker(index):
            rng = random.Random(seed * 100 + index)
            name = f"worker-{index}"
            while not stop.is_set():
                op = rng.choice(["publish", "publish", "publish", "subscribe", "unsubscribe", "is_connected",
                                 "on_message", "on_connection"])
                progress[name] = (time.monotonic(), op)
                try:
                    if op == "publish":
                        sdk.publish(rng.choice(OWN), "p" * rng.randrange(0, 200), rng.randrange(3),
                                    rng.random() < 0.05)
                    elif op == "subscribe":
                        result = sdk.subscribe(rng.choice(TOPICS), rng.randrange(3))
                        if not isinstance(result, bool):
                            raise TypeError(f"subscribe returned {result!r}")
                    elif op == "unsubscribe":
                        sdk.unsubscribe(rng.choice(TOPICS))
                    elif op == "is_connected":
                        if not isinstance(sdk.is_connected(), bool):
                            raise TypeError("is_connected returned no bool")
                    elif op == "on_message":
                        sdk.on_message(rng.choice(message_handlers))
                    else:
                        sdk.on_connection(rng.choice(connection_handlers))
                except Exception as error:  # every exception here is an error
                    with lock:
                        errors.append(f"{op}: {type(error).__name__}: {error}")
                progress[name] = (None, op)
                with lock:
                    ops[op] = ops.get(op, 0) + 1

        workers = [threading.Thread(target=worker, args=(i,), name=f"worker-{i}") for i in range(p["threads"])]
        for w in workers:
            w.start()

        rng = random.Random(seed)
        cycles = {"disconnect": 0, "connect": 0, "stop+init": 0}
        deadlocks = 0
        durations = []
        ends = time.monotonic() + p["duration"]
        while time.monotonic() < ends:
            faulthandler.dump_traceback_later(p["stuck_after"], exit=True)
            action = rng.choice(["disconnect", "connect", "connect", "stop+init"])
            started = time.monotonic()
            if action == "disconnect":
                sdk.disconnect()
            elif action == "connect":
                sdk.connect()
            else:
                sdk.stop()
                durations.append((time.monotonic() - started, "stop"))
                time.sleep(rng.uniform(0, 0.05))
                step = time.monotonic()
                init()
                durations.append((time.monotonic() - step, "init"))
                step = time.monotonic()
                sdk.connect()
                durations.append((time.monotonic() - step, "connect after init"))
            cycles[action] += 1
            durations.append((time.monotonic() - started, action))
            time.sleep(rng.uniform(0, 0.3))
            now = time.monotonic()
            stuck = [f"{name} in {op} for {now - since:.0f} s" for name, (since, op) in list(progress.items())
                     if since is not None and now - since > p["stuck_after"]]
            if stuck:
                deadlocks += 1
                report.note("stuck: " + "; ".join(stuck))
                faulthandler.dump_traceback(all_threads=True)
                break
        faulthandler.dump_traceback_later(p["stuck_after"] * 2, exit=True)
        stop.set()
        for w in workers:
            w.join(p["stuck_after"])
            if w.is_alive():
                deadlocks += 1
                report.note(f"{w.name} did not end")
        if deadlocks:
            faulthandler.dump_traceback(all_threads=True)
        received = sum(h.count for h in message_handlers if h is not None)
        sdk.on_message(None)
        sdk.on_connection(None)
        sdk.stop()
        del sdk
        threads_end = settle(threads_now, threads_idle, timeout=10)
        fds_end = settle(fds_now, fds_idle, timeout=5)
    finally:
        if streamer is not None:
            streamer.kill()
            streamer.wait(10)
        broker.kill()

    total = sum(ops.values())
    report.figure("operations", f"{total} (" + " ".join(f"{k} {v}" for k, v in sorted(ops.items())) + ")")
    report.figure("main", " ".join(f"{k} {v}" for k, v in cycles.items()))
    report.figure("main call max", " ".join(
        f"{action} {max((d for d, a in durations if a == action), default=0):.1f} s"
        for action in [*cycles, "stop", "init", "connect after init"]))
    report.figure("messages received", received)
    report.figure("errors", len(errors) + len(unraisable))
    report.figure("deadlocks", deadlocks)
    report.figure("threads/fds idle before/after", f"{threads_idle}/{threads_end}, {fds_idle}/{fds_end}")

    report.bound(not errors, f"{len(errors)} errors, first: {errors[:3]}")
    report.bound(not unraisable, f"{len(unraisable)} unraisable, first: {unraisable[:3]}")
    report.bound(deadlocks == 0, f"{deadlocks} deadlocks")
    report.bound(received > 0, "no message arrived")
    report.bound(threads_end == threads_idle, f"threads {threads_end} after, {threads_idle} idle")
    report.bound(fds_end == fds_idle, f"descriptors {fds_end} after, {fds_idle} idle "
                 f"({cycles['stop+init']} stop+init cycles)")


if __name__ == "__main__":
    scenario_main("concurrency", run, DEFAULTS)
