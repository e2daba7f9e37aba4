"""Flaky network: the client reaches its broker through fault_relay.py, which breaks the
session at random intervals, one fault at a time, each kind in turn in a seeded random
order:

- drop: the relay closes both sides (the client reads EOF);
- reset: the client side is closed with an RST;
- stall: the relay stops forwarding either way, passing on nothing, not even the broker
  closing its side, for up to stall_factor x keepAlive. Only the client's keepalive can
  see this: libpaho-mqtt3c sends a PINGREQ once keepAlive seconds pass without traffic
  either way, and gives up 1.5 x keepAlive after that PINGREQ if nothing came back
  (MQTTProtocol_keepalive). The loss must come before the stall ends; the detection time
  is measured from the stall and from the unanswered PINGREQ (seen by the relay). The
  relay takes no new connection until the stall is over, so the client's reconnect,
  which comes as soon as it notices the loss, waits in the relay's listen backlog and
  meets a relay that forwards again: its delay counts from the end of the stall. The
  connectTimeout outlasts the stall, so that waiting attempt is never given up on;
- halfclose_client: the relay shuts down only its sending side towards the client;
- halfclose_broker: the relay shuts down only its sending side towards the broker,
  which then closes the connection.

A fault is sent only while a session is up (the relay saw a CONNACK accepting it and the
client its (True, 0)), so every fault must bring exactly one loss and one reconnect.
The client publishes to its own topic at QoS 1 all along and resubscribes from its
connection handler (cleanSession=True: the broker forgets the subscription).
"""

import random
import time

import tarvo_sdk

from soaklib import (Broker, ConnectionEvents, MessageCounter, Publisher, RelayProcess, final_delivery,
                     scenario_main, seconds, settle, threads_now, wait_until, warm_up_library)

KINDS = ["drop", "reset", "stall", "halfclose_client", "halfclose_broker"]

DEFAULTS = {
    "faults": 25,
    "keep_alive": 2,
    "stall_factor": 4,
    "min_gap": 0.2,
    "max_gap": 3.0,
    "publish_interval": 0.1,
    "prompt_detection": 1.0,   # drop, reset, half-close: the loss follows at once
    "detection_margin": 1.0,   # stall: above the library's own rule, for its 100 ms cycles and load
    "reconnect_bound": 3.0,    # loss (or end of a stall) to (True, 0): tries at once; a failed try waits 1 s
    "connect_timeout": 12,     # above the longest stall; a reconnect stuck this long breaks the bound
    "final_messages": 20,
    "watchdog": 600,
    "seed": None,
}


def run(p, report):
    rng = random.Random(p["seed"])
    keep_alive = p["keep_alive"]
    stall_s = p["stall_factor"] * keep_alive
    if p["connect_timeout"] <= stall_s:
        raise ValueError(f"connect_timeout {p['connect_timeout']} s must outlast a stall ({stall_s} s)")
    broker = Broker(p["workdir"])
    relay = RelayProcess(p["workdir"], broker.port)
    try:
        warm_up_library(broker.address)
        topic = f"soak/flaky/{p['seed']}"
        events = ConnectionEvents()
        inbox = MessageCounter(prefix="final-")
        sdk = tarvo_sdk.SDK()
        events.then = lambda connected, code: connected and code == 0 and sdk.subscribe(topic, 1)
        sdk.on_message(inbox)
        sdk.on_connection(events)
        sdk.init(f"soak-flaky-{p['seed']}", relay.address, "tcp", "u", "p", cleanSession=True,
                 keepAlive=keep_alive, maxReconnectInterval=1, connectTimeout=p["connect_timeout"])
        if not report.bound(sdk.connect(), "the first connect failed"):
            return
        sdk.subscribe(topic, 1)

        publishing = Publisher(sdk, topic, p["publish_interval"])
        time.sleep(1.0)
        threads_before = threads_now()

        order = []
        while len(order) < p["faults"]:
            batch = list(KINDS)
            rng.shuffle(batch)
            order += batch
        order = order[:p["faults"]]

        detection = {kind: [] for kind in KINDS}
        from_ping = []
        reconnect_delays = []
        undetected_stalls = 0
        hangs = 0
        done = 0
        for kind in order:
            # A session is up: the client heard (True, 0) and the relay passed its CONNACK.
            if not wait_until(lambda: events.snapshot()[-1][0] and relay.session_up(), 40):
                hangs += 1
                report.note(f"no session before fault {done + 1} ({kind})")
                break
            time.sleep(rng.uniform(p["min_gap"], p["max_gap"]))
            asked = time.monotonic()
            relay.send(f"stall {stall_s}" if kind == "stall" else kind)
            fault = relay.wait_for("fault", asked, 5)
            if fault is None:
                report.note(f"the relay did not apply fault {done + 1} ({kind}): "
                            f"{relay.events('fault_missed')[-1:]}")
                hangs += 1
                break
            lost = events.wait_for(False, fault["t"], stall_s + 10 if kind == "stall" else 10)
            if lost is None:
                hangs += 1
                report.note(f"fault {done + 1} ({kind}) brought no loss")
                break
            detection[kind].append(lost - fault["t"])
            reconnect_from = lost
            if kind == "stall":
                over = relay.wait_for("stall_over", fault["t"], fault["t"] + stall_s + 5 - time.monotonic())
                if over is None:
                    hangs += 1
                    report.note(f"fault {done + 1} (stall): the relay never ended the stall")
                    break
                reconnect_from = max(lost, over["t"])
                ping = relay.wait_for("pingreq", fault["t"], 0, conn=fault["conn"])
                if ping is not None:
                    from_ping.append(lost - ping["t"])
                if relay.wait_for("stall_end", fault["t"], 0, conn=fault["conn"]) is not None:
                    undetected_stalls += 1
            back = events.wait_for(True, lost, reconnect_from - time.monotonic() + p["connect_timeout"] + 10)
            if back is None:
                hangs += 1
                report.note(f"no reconnect after fault {done + 1} ({kind})")
                break
            reconnect_delays.append(back - reconnect_from)
            if back - reconnect_from > p["reconnect_bound"]:
                report.note(f"fault {done + 1} ({kind}): reconnected {back - reconnect_from:.2f} s after the "
                            f"{'stall' if kind == 'stall' else 'loss'}, relay saw {relay.describe_after(lost)}")
            done += 1

        wait_until(sdk.is_connected, 15)
        time.sleep(0.5)
        delivered = final_delivery(sdk, topic, inbox, p["final_messages"])
        threads_after = settle(threads_now, threads_before, timeout=5)
        publishing.stop()
        items = events.snapshot()
        sdk.on_connection(None)
        sdk.on_message(None)
        sdk.stop()
        del sdk
    finally:
        relay.close()
        broker.kill()

    losses = sum(1 for c, code, _m, _t in items if not c and code == -1)
    reconnects = sum(1 for c, code, main, _t in items if c and code == 0 and not main)
    prompt = [d for kind in KINDS if kind != "stall" for d in detection[kind]]
    stall_bound = 2.5 * keep_alive + p["detection_margin"]
    ping_bound = 1.5 * keep_alive + p["detection_margin"]

    report.figure("faults", f"{done}/{len(order)} (" + " ".join(
        f"{kind} {len(detection[kind])}" for kind in KINDS) + ")")
    report.figure("losses", losses)
    report.figure("reconnects", reconnects)
    report.figure("detection drop/reset/half-close median/max", seconds(prompt))
    report.figure(f"stall detection (keepAlive {keep_alive}) from stall median/max", seconds(detection["stall"]))
    report.figure("from unanswered PINGREQ median/max", seconds(from_ping))
    report.figure("reconnect delay (from loss or stall end) median/max", seconds(reconnect_delays))
    report.figure("delivery after", f"{delivered}/{p['final_messages']}")
    report.figure("threads before/after", f"{threads_before}/{threads_after}")
    report.figure("hangs", hangs)

    report.bound(done == len(order), f"only {done} of {len(order)} faults went through")
    report.bound(losses == reconnects == done, f"faults {done}, losses {losses}, reconnects {reconnects}")
    report.bound(not events.problems(), "events out of step: " + "; ".join(events.problems()[:5]))
    report.bound(not prompt or max(prompt) <= p["prompt_detection"],
                 f"a closed connection was noticed after {max(prompt, default=0):.2f} s")
    report.bound(undetected_stalls == 0, f"{undetected_stalls} stalls outlasted their {p['stall_factor']} x keepAlive "
                 "without the keepalive noticing")
    report.bound(not detection["stall"] or max(detection["stall"]) <= stall_bound,
                 f"a stall was noticed after {max(detection['stall'], default=0):.2f} s (bound {stall_bound} s)")
    report.bound(not from_ping or max(from_ping) <= ping_bound,
                 f"a stall was noticed {max(from_ping, default=0):.2f} s after the unanswered PINGREQ "
                 f"(bound {ping_bound} s)")
    report.bound(len(from_ping) == len(detection["stall"]), "a stall was noticed without a PINGREQ")
    report.bound(not reconnect_delays or max(reconnect_delays) <= p["reconnect_bound"],
                 f"a reconnect took {max(reconnect_delays, default=0):.2f} s (bound {p['reconnect_bound']} s)")
    report.bound(delivered == p["final_messages"], f"only {delivered} of the final messages came back")
    report.bound(threads_after == threads_before, f"threads {threads_before} before, {threads_after} after")
    report.bound(hangs == 0, f"{hangs} hangs")
    report.console["[SDK] Connection lost"] = losses
    report.console["[SDK] Reconnected successfully"] = reconnects


if __name__ == "__main__":
    scenario_main("flaky network", run, DEFAULTS)
