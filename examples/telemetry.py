"""Telemetry: JSON temperature readings at QoS 1 that ride out a broker restart.

publish() returns True once the broker has acknowledged a reading. A reading it
could not deliver (the broker is away, or the connection dropped before the
acknowledgement came) stays in a backlog and goes out again, oldest first, once
the client has reconnected by itself; so no reading is lost, and one whose
acknowledgement was lost may arrive twice (QoS 1 is "at least once"). The SDK's
own lines go to the logging module. Publishing "stop" to plant/17/control ends
it early.

    python3 examples/telemetry.py --host 127.0.0.1 --port 1883

(`./dev demo telemetry` starts a throwaway Mosquitto and passes its port in
TARVO_BROKER_PORT.)
"""

import argparse
import collections
import json
import logging
import os
import random
import threading
import time

import tarvo_sdk

TOPIC = "plant/17/temperature"
CONTROL = "plant/17/control"

parser = argparse.ArgumentParser(description="Publish JSON temperature readings at QoS 1.")
parser.add_argument("--host", default="127.0.0.1", help="the broker's host")
parser.add_argument("--port", type=int, default=int(os.environ.get("TARVO_BROKER_PORT", "1883")))
parser.add_argument("--readings", type=int, default=30, help="how many readings to take")
parser.add_argument("--interval", type=float, default=1.0, help="seconds between readings")
args = parser.parse_args()

logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(name)s: %(message)s")
sdk = tarvo_sdk.SDK()
sdk.enable_logger()  # "[SDK] Connection lost: ..." becomes a WARNING of logger "tarvo_sdk"
stop_requested = threading.Event()


def on_connection(connected: bool, code: int) -> None:
    # (True, 0) comes from connect() and, after a loss, from the SDK's reconnect
    # thread. A broker that restarted has forgotten the subscription: renew it.
    if connected:
        sdk.subscribe(CONTROL, qos=1)
        print("telemetry: connected, listening on", CONTROL, flush=True)
    elif code != 0:
        print(f"telemetry: connection lost (code {code}), the SDK reconnects by itself", flush=True)


def on_message(topic: str, payload: str) -> None:
    # Runs on the library's thread: keep it short and hand work to the main loop.
    if payload.strip() == "stop":
        stop_requested.set()


def send_backlog(backlog: collections.deque[str]) -> None:
    """Publishes the waiting readings, oldest first, until one is not delivered."""
    while backlog and sdk.publish(TOPIC, backlog[0], qos=1):
        print("telemetry: delivered", backlog.popleft(), flush=True)


sdk.on_connection(on_connection)
sdk.on_message(on_message)
sdk.init(f"telemetry-{os.getpid()}", f"{args.host}:{args.port}", "tcp", "", "")
if not sdk.connect():
    # A first connect that fails is not retried: only a connection once made is.
    raise SystemExit("telemetry: could not connect")

# Kept in memory, bounded: in a long outage the oldest readings give way.
backlog: collections.deque[str] = collections.deque(maxlen=10_000)
taken = 0
while taken < args.readings and not stop_requested.is_set():
    taken += 1
    backlog.append(json.dumps({"reading": taken, "celsius": round(random.uniform(19.0, 23.0), 2), "time": time.time()}))
    if sdk.is_connected():  # else publish would refuse at once, with an ERROR line
        send_backlog(backlog)
    if backlog:
        print(f"telemetry: {len(backlog)} reading(s) wait for the broker", flush=True)
    stop_requested.wait(args.interval)

if stop_requested.is_set():
    print("telemetry: stop requested on", CONTROL, flush=True)
send_backlog(backlog)  # a last try, if the broker is there
sdk.stop()
print(f"telemetry: done, {taken} readings taken, {len(backlog)} undelivered", flush=True)
raise SystemExit(1 if backlog else 0)
