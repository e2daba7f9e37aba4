"""A short tour of the module for valgrind memcheck (run by scenario_memcheck.py as
`valgrind python3 memcheck_roundtrip.py BROKER_PORT`): both handlers, QoS 0/1/2 round
trips, binary payloads, refused requests, conversion errors, a broker restart with a
reconnect, the Enterprise edition's sealing, stop, a repeated init, and a client
dropped while connected. Waits are generous: everything runs 20-50 times slower."""

import gc
import subprocess
import sys
import threading
import time
from pathlib import Path

import tarvo_sdk

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from tarvo_testsupport import wait_for_port, wait_until  # noqa: E402

PORT = int(sys.argv[1])
CONFIG = sys.argv[2]
ADDRESS = f"127.0.0.1:{PORT}"


def start_broker():
    process = subprocess.Popen(["mosquitto", "-c", CONFIG], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(PORT, 30)
    return process


received = []
events = []
lock = threading.Lock()


def on_message(topic, payload):
    with lock:
        received.append((topic, payload))


def on_connection(connected, code):
    with lock:
        events.append((connected, code))


broker = start_broker()
failures = []
try:
    sdk = tarvo_sdk.SDK()
    sdk.on_message(on_message)
    sdk.on_connection(on_connection)
    sdk.init("memcheck", ADDRESS, "tcp", "user", "secret", maxReconnectInterval=1)
    if not sdk.connect():
        failures.append("connect")
    sdk.subscribe("mc/#", 2)
    for qos in (0, 1, 2):
        for i in range(5):
            sdk.publish(f"mc/{qos}", f"text {i} \u00e9", qos)
        sdk.publish(f"mc/{qos}", b"\x00\xff binary", qos)
    if not wait_until(lambda: len(received) >= 18, 60):
        failures.append(f"received {len(received)} of 18")
    # refused before the library, and conversion errors
    sdk.publish("mc/+", "x", 0)
    sdk.publish("mc/q", "x", 7)
    sdk.subscribe("mc/\0", 0)
    for bad in (lambda: sdk.publish(1, "x"), lambda: sdk.publish("t", "x", 2**40),
                lambda: sdk.on_message(42), lambda: sdk.subscribe("t", "q")):
        try:
            bad()
            failures.append("a bad argument was accepted")
        except TypeError:
            pass
    sdk.unsubscribe("mc/#")

    # a raising handler goes to the unraisable hook
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(u.exc_type)
    sdk.on_message(lambda t, p: 1 / 0)
    sdk.subscribe("mc/raise", 0)
    sdk.publish("mc/raise", "x", 1)
    wait_until(lambda: unraisable, 30)
    sdk.on_message(on_message)
    sdk.subscribe("mc/#", 1)

    # loss and reconnect
    broker.kill()
    broker.wait()
    if not wait_until(lambda: not sdk.is_connected(), 60):
        failures.append("loss not seen")
    time.sleep(1)
    broker = start_broker()
    if not wait_until(sdk.is_connected, 120):
        failures.append("no reconnect")
    sdk.subscribe("mc/#", 1)
    sdk.publish("mc/back", "again", 1)
    wait_until(lambda: ("mc/back", "again") in received, 60)
    sdk.disconnect()
    sdk.stop()

    # Enterprise: sealing at every connect (Mosquitto here lets anyone in)
    sdk.init("memcheck-ent", ADDRESS, "tcp", "user", "sealed secret", edition="Enterprise")
    if not sdk.connect():
        failures.append("enterprise connect")
    sdk.disconnect()
    sdk.connect()
    # a repeated init ends the earlier configuration while connected
    sdk.init("memcheck-again", ADDRESS, "tcp", "user", "secret")
    sdk.connect()
    sdk.on_message(None)
    sdk.on_connection(None)
    del sdk

    # disconnect while messages are being handled, with cleanSession=True (the library
    # then empties its queue of messages not yet handled)
    flood = tarvo_sdk.SDK()
    flood.init("memcheck-flood", ADDRESS, "tcp", "user", "secret")
    flood.connect()
    victim = tarvo_sdk.SDK()
    victim.on_message(lambda topic, payload: time.sleep(0.003))
    victim.init("memcheck-victim", ADDRESS, "tcp", "user", "secret", cleanSession=True)
    for _ in range(8):
        victim.connect()
        victim.subscribe("mc/flood", 0)
        for i in range(200):
            flood.publish("mc/flood", f"flood {i}", 0)
        time.sleep(0.3)
        victim.disconnect()
    victim.on_message(None)
    victim.stop()
    flood.stop()
    del victim, flood

    # a client dropped while connected, with handlers that refer to nothing of its own
    other = tarvo_sdk.SDK()
    other.on_message(on_message)
    other.init("memcheck-drop", ADDRESS, "tcp", "user", "secret")
    other.connect()
    del other
    gc.collect()
finally:
    broker.kill()
    broker.wait()

print("ROUNDTRIP", "ok" if not failures else "failed: " + ", ".join(failures), len(received), len(events), flush=True)
