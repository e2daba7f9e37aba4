"""Binary payloads: struct-packed records sent as bytes and unpacked on arrival.

A message handler always receives the payload as str. Bytes that are not valid
UTF-8 arrive decoded with the "surrogateescape" error handler, so
payload.encode("utf-8", "surrogateescape") gives back exactly the bytes that were
published. Run it with `./dev demo binary` (the demo broker's port arrives in
TARVO_BROKER_PORT; 1883 otherwise).
"""

import os
import queue
import struct
import sys

import tarvo_sdk

TOPIC = "demo/binary/samples"
# One sample: sequence number, sensor id, reading, status flags (little-endian, 15 bytes).
SAMPLE = struct.Struct("<IHdB")
Sample = tuple[int, int, float, int]
SAMPLES: list[Sample] = [(1, 17, 21.5, 0x00), (2, 17, -0.125, 0xFF), (3, 4242, 1e300, 0x80), (4, 0, float("-inf"), 0x01)]

port = int(os.environ.get("TARVO_BROKER_PORT", "1883"))
received: queue.Queue[Sample] = queue.Queue()


def on_message(topic: str, payload: str) -> None:
    data = payload.encode("utf-8", "surrogateescape")  # the bytes as published
    received.put(SAMPLE.unpack(data))


def on_connection(connected: bool, code: int) -> None:
    if connected:  # on every (re)connection: the SDK does not renew subscriptions itself
        sdk.subscribe(TOPIC, qos=1)


sdk = tarvo_sdk.SDK()
sdk.on_message(on_message)
sdk.on_connection(on_connection)
sdk.init(f"binary-{os.getpid()}", f"127.0.0.1:{port}", "tcp", "", "")
if not sdk.connect():
    sys.exit("binary: could not connect")

mismatches = 0
for sample in SAMPLES:
    data = SAMPLE.pack(*sample)
    sdk.publish(TOPIC, data, qos=1)  # bytes are sent unchanged, NUL bytes included
    back: Sample | None = None
    try:
        back = received.get(timeout=5)
    except queue.Empty:
        pass
    verdict = "ok" if back == sample else "MISMATCH"
    mismatches += verdict != "ok"
    print(f"binary: sent {data.hex(' ')} {sample}, received {back}: {verdict}")

sdk.stop()
sys.exit(1 if mismatches else 0)
