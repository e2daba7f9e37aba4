"""Command listener: executes the commands sent to devices/<id>/cmd and acknowledges
each on devices/<id>/ack, from its message handler.

A command left retained on the broker comes again with every new subscription (at
start, and after each reconnect); the handler asks for the message's retained flag
and skips such stale commands, so a retained "factory-reset" never runs by surprise.
It runs until Ctrl-C, or until it has executed --commands commands.

    python3 examples/command_listener.py --host 127.0.0.1 --port 1883
    mosquitto_pub -p 1883 -t devices/d17/cmd -m reboot -q 1

(`./dev demo command_listener` starts a throwaway Mosquitto and passes its port in
TARVO_BROKER_PORT.)
"""

import argparse
import json
import os
import threading
import time

import tarvo_sdk

COMMANDS = "devices/+/cmd"

parser = argparse.ArgumentParser(description="Execute and acknowledge commands sent to devices/+/cmd.")
parser.add_argument("--host", default="127.0.0.1", help="the broker's host")
parser.add_argument("--port", type=int, default=int(os.environ.get("TARVO_BROKER_PORT", "1883")))
parser.add_argument("--commands", type=int, default=0, help="end after this many commands (0: run until Ctrl-C)")
args = parser.parse_args()

sdk = tarvo_sdk.SDK()
executed = 0
enough = threading.Event()


def on_command(topic: str, payload: str, *, retained: bool) -> None:
    # Naming "retained" after topic and payload asks the SDK for the message's flag.
    global executed
    device = topic.split("/")[1]
    if retained:
        print(f"listener: skipped retained command {payload!r} for {device}", flush=True)
        return
    print(f"listener: {device} executes {payload!r}", flush=True)
    ack = {"command": payload, "status": "done", "time": time.time()}
    # Publishing from the handler is allowed: at QoS 1 the SDK sends without waiting for
    # the broker's acknowledgement, which this very thread reads after the handler.
    if not sdk.publish(f"devices/{device}/ack", json.dumps(ack), qos=1):
        print(f"listener: the acknowledgement for {device} was not sent", flush=True)
    executed += 1
    if executed == args.commands:
        enough.set()


def on_connection(connected: bool, code: int) -> None:
    if connected:  # after connect() and after every reconnect
        sdk.subscribe(COMMANDS, qos=1)
        print("listener: listening on", COMMANDS, flush=True)
    elif code != 0:
        print("listener: connection lost, the SDK reconnects by itself", flush=True)


sdk.on_message(on_command)
sdk.on_connection(on_connection)
sdk.init(f"listener-{os.getpid()}", f"{args.host}:{args.port}", "tcp", "", "")
if not sdk.connect():
    raise SystemExit("listener: could not connect")
try:
    enough.wait()  # Ctrl-C ends the wait with KeyboardInterrupt
except KeyboardInterrupt:
    pass
sdk.stop()
print(f"listener: done, {executed} command(s) executed", flush=True)
