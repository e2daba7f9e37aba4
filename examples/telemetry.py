"""Telemetry: publish JSON temperature readings at QoS 1 about once a second.

Run it with `./dev demo telemetry` (the demo broker's port arrives in
TARVO_BROKER_PORT), or against a broker of yours with --host and --port. Restart
the broker while it runs: the SDK reports the lost connection, drops the readings
published meanwhile (its console says "[SDK] publish — not connected" for each) and
reconnects by itself; the loop simply keeps publishing. Publishing "stop" to plant/17/control ends it early.
"""

import argparse
import json
import os
import random
import sys
import threading
import time

import tarvo_sdk

TOPIC = "plant/17/temperature"
CONTROL = "plant/17/control"

parser = argparse.ArgumentParser(description="Publish JSON temperature readings at QoS 1.")
parser.add_argument("--host", default="127.0.0.1", help="the broker's host")
parser.add_argument("--port", type=int, default=int(os.environ.get("TARVO_BROKER_PORT", "1883")))
parser.add_argument("--readings", type=int, default=30, help="how many readings to publish")
parser.add_argument("--interval", type=float, default=1.0, help="seconds between readings")
args = parser.parse_args()

sdk = tarvo_sdk.SDK()
stop_requested = threading.Event()


def on_connection(connected: bool, code: int) -> None:
    # (True, 0) comes from connect() and, after a loss, from the SDK's reconnect
    # thread. The SDK does not renew subscriptions when it reconnects, and a broker
    # that restarted has forgotten them: subscribe here, on every (re)connection.
    if connected:
        print("telemetry: connected, listening on", CONTROL)
        sdk.subscribe(CONTROL, qos=1)
    elif code == 0:
        print("telemetry: disconnected")  # by disconnect() or stop()
    else:
        print(f"telemetry: connection lost (code {code}), the SDK reconnects by itself")


def on_message(topic: str, payload: str) -> None:
    # Runs on the library's thread: keep it short and hand work to the main loop.
    if payload.strip() == "stop":
        stop_requested.set()


sdk.on_connection(on_connection)
sdk.on_message(on_message)
sdk.init(f"telemetry-{os.getpid()}", f"{args.host}:{args.port}", "tcp", "", "")
if not sdk.connect():
    # No retry here: the SDK reconnects by itself only after a connection it had is lost.
    sys.exit("telemetry: could not connect")

for number in range(1, args.readings + 1):
    reading = json.dumps({"reading": number, "celsius": round(random.uniform(19.0, 23.0), 2), "time": time.time()})
    print(f"telemetry: publishing {reading} to {TOPIC}")
    # publish never raises for a connection problem: while disconnected the SDK drops
    # the reading and says so on its console. At QoS 1 it waits for the broker's ack.
    sdk.publish(TOPIC, reading, qos=1)
    if stop_requested.wait(args.interval):
        print("telemetry: stop requested on", CONTROL)
        break

sdk.stop()
print("telemetry: done")
