"""Request and reply: a responder that squares numbers and a requester that asks it.

Both are SDK objects in this one process, each with its own connection. The
responder replies from inside its message handler; the requester sends one
request at a time and waits for its reply. Run it with `./dev demo request_reply`
(the demo broker's port arrives in TARVO_BROKER_PORT), or against a broker of yours:

    python3 examples/request_reply.py --host 127.0.0.1 --port 1883 --requests 5
"""

import argparse
import json
import os
import sys
import threading

import tarvo_sdk

REQUESTS = "demo/square/requests"

parser = argparse.ArgumentParser(description="Request/reply between two SDK objects.")
parser.add_argument("--host", default="127.0.0.1", help="the broker's host")
parser.add_argument("--port", type=int, default=int(os.environ.get("TARVO_BROKER_PORT", "1883")))
parser.add_argument("--requests", type=int, default=5, help="how many requests to send")
parser.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for each reply")
args = parser.parse_args()
broker = f"{args.host}:{args.port}"

# --- the responder ---------------------------------------------------------------

responder = tarvo_sdk.SDK()


def answer(topic: str, payload: str) -> None:
    request = json.loads(payload)
    reply = {"id": request["id"], "square": request["value"] ** 2}
    # Publishing from inside a message handler is allowed; the SDK sends the reply
    # without waiting for its acknowledgement (which the library's thread, busy
    # running this handler, could not read anyway).
    responder.publish(request["reply_to"], json.dumps(reply), qos=1)


def responder_connection(connected: bool, code: int) -> None:
    # The SDK does not renew subscriptions after a reconnect: subscribe on every (True, 0).
    if connected:
        responder.subscribe(REQUESTS, qos=1)


responder.on_message(answer)
responder.on_connection(responder_connection)
responder.init(f"responder-{os.getpid()}", broker, "tcp", "", "")

# --- the requester ---------------------------------------------------------------

requester = tarvo_sdk.SDK()
client_id = f"requester-{os.getpid()}"
reply_topic = f"demo/square/replies/{client_id}"
replies: dict[int, int] = {}  # request id -> square
arrived: dict[int, threading.Event] = {}  # request id -> set when its reply is in


def take_reply(topic: str, payload: str) -> None:
    reply = json.loads(payload)
    replies[reply["id"]] = reply["square"]
    if (event := arrived.get(reply["id"])) is not None:
        event.set()


def requester_connection(connected: bool, code: int) -> None:
    if connected:
        requester.subscribe(reply_topic, qos=1)


requester.on_message(take_reply)
requester.on_connection(requester_connection)
requester.init(client_id, broker, "tcp", "", "")

# --- the conversation ------------------------------------------------------------

# connect() calls the connection handler before it returns, so both are subscribed
# once both calls have returned True.
if not (responder.connect() and requester.connect()):
    sys.exit("request_reply: could not connect")

failures = 0
for request_id in range(1, args.requests + 1):
    arrived[request_id] = threading.Event()
    request = {"id": request_id, "value": request_id, "reply_to": reply_topic}
    # True once the broker has the request: only then is a reply worth waiting for.
    sent = requester.publish(REQUESTS, json.dumps(request), qos=1)
    if sent and arrived[request_id].wait(args.timeout) and replies[request_id] == request_id**2:
        print(f"request_reply: {request_id} squared is {replies[request_id]}")
    else:
        print(f"request_reply: no right reply to request {request_id} within {args.timeout} s")
        failures += 1

requester.stop()
responder.stop()
print(f"request_reply: {args.requests - failures} of {args.requests} requests answered")
sys.exit(1 if failures else 0)
