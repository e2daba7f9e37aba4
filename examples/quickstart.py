"""A round trip with tarvo_sdk: connect, subscribe, publish at each QoS, receive the
messages in a handler, ride out a broker restart, stop.

Run it with `./dev demo`: it starts a throwaway Mosquitto on a free loopback port
(TARVO_BROKER_PORT), a mosquitto_sub peer that prints what it sees on demo/#, and
offers a script that restarts the broker (TARVO_BROKER_RESTART).
"""

import os
import subprocess
import threading
import time

import tarvo_sdk

port = int(os.environ.get("TARVO_BROKER_PORT", "1883"))
restart_broker = os.environ.get("TARVO_BROKER_RESTART")

received = threading.Semaphore(0)
subscribed = threading.Event()


def on_message(topic: str, payload: str) -> None:
    # Runs on the MQTT library's receiving thread: keep it short.
    print(f"handler received {topic}: {payload}", flush=True)
    received.release()


def on_connection(connected: bool, code: int) -> None:
    print(f"connection event: connected={connected} code={code}", flush=True)
    if connected:
        # Subscriptions are not renewed by a reconnect: (re)subscribe on every connect.
        sdk.subscribe("demo/#", qos=1)
        subscribed.set()
    else:
        subscribed.clear()


def publish_round(label: str) -> None:
    for qos in (0, 1, 2):
        sdk.publish(f"demo/qos{qos}", f"{label} at QoS {qos}", qos=qos)
    for _ in range(3):
        if not received.acquire(timeout=5):
            raise SystemExit("a message did not come back")


sdk = tarvo_sdk.SDK()
sdk.on_message(on_message)
sdk.on_connection(on_connection)
sdk.init("quickstart", f"127.0.0.1:{port}", "tcp", "", "", maxReconnectInterval=2)
if not sdk.connect():
    raise SystemExit("could not connect")

publish_round("hello")

if restart_broker:
    print("restarting the broker; the client reconnects by itself", flush=True)
    subprocess.run([restart_broker, "2"], check=True)
    if not subscribed.wait(timeout=15):
        raise SystemExit("the client did not reconnect")
    publish_round("after the restart")

time.sleep(0.2)  # let the peer print the last messages
sdk.stop()
