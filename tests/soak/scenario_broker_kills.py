"""Broker kills: one client with both handlers and a subscription publishes to its own
topic at QoS 1 and receives the messages back, while its broker is killed (SIGKILL, by
PID) and restarted on the same port, again and again, at random intervals.

How kills and reconnects are counted. The schedule is: up for U seconds, kill, down for
D seconds, restart (U and D drawn from [min_gap, max_gap] by a seeded RNG). A kill ends
a session only if the client had one; when U is shorter than the client's way back
(its back-off wait is up to maxReconnectInterval, 1 s), the next kill finds it still
waiting, ends nothing, and one reconnect answers both kills. So:

- a kill is *effective* when a loss (False, -1) reaches the connection handler after
  it and before the next kill. Nothing else breaks the connection, so a loss in that
  window can only come from that kill;
- every kill at which is_connected() was True just before the SIGKILL must be
  effective (else the loss was missed); a kill that finds the client not connected is
  *merged* with the next, unless a connect was in flight and got its CONNACK just
  before the kill (then it is effective too, which the rule above counts right);
- the bound is reconnects == losses == effective kills, with events alternating, and
  at most one loss per window. The client ends connected, so every loss needs its own
  reconnect.

The reconnect delay of a restart is from the restart (the broker process started)
to the (True, 0) that follows it, for restarts whose reconnect came before the next
kill. It must stay within the back-off cap plus a margin for the connection itself.
"""

import random
import time

import tarvo_sdk

from soaklib import (Broker, ConnectionEvents, MessageCounter, Publisher, fd_targets, fds_now, final_delivery,
                     scenario_main, seconds, settle, threads_now, wait_until, warm_up_library)

DEFAULTS = {
    "kills": 50,
    "min_gap": 0.2,
    "max_gap": 3.0,
    "publish_interval": 0.02,
    "max_reconnect_interval": 1,
    "delay_margin": 2.0,
    "final_messages": 20,
    "watchdog": 600,
    "seed": None,
}


def run(p, report):
    rng = random.Random(p["seed"])
    broker = Broker(p["workdir"])
    try:
        warm_up_library(broker.address)
        threads_idle, fds_idle = threads_now(), fds_now()
        fds_idle_targets = fd_targets()
        topic = f"soak/kills/{p['seed']}"

        events = ConnectionEvents()
        inbox = MessageCounter(prefix="final-")
        sdk = tarvo_sdk.SDK()

        def resubscribe(connected, code):
            # Mosquitto forgets subscriptions when killed: the documented way back is to
            # subscribe again from the connection handler.
            if connected and code == 0:
                sdk.subscribe(topic, 1)

        events.then = resubscribe
        sdk.on_message(inbox)
        sdk.on_connection(events)
        sdk.init(f"soak-kills-{p['seed']}", broker.address, "tcp", "u", "p",
                 maxReconnectInterval=p["max_reconnect_interval"])
        if not report.bound(sdk.connect(), "the first connect failed"):
            return

        publishing = Publisher(sdk, topic, p["publish_interval"])
        time.sleep(1.0)
        threads_before = threads_now()

        kills = []
        for _ in range(p["kills"]):
            time.sleep(rng.uniform(p["min_gap"], p["max_gap"]))
            was_connected = sdk.is_connected()
            killed_at = time.monotonic()
            broker.kill()
            time.sleep(rng.uniform(p["min_gap"], p["max_gap"]))
            restarted_at = time.monotonic()
            broker.start()
            kills.append({"at": killed_at, "connected": was_connected, "restart": restarted_at})

        hangs = 0
        bound_s = p["max_reconnect_interval"] + p["delay_margin"]
        if not wait_until(sdk.is_connected, bound_s + 10):
            hangs += 1
            report.note("not reconnected after the last restart")
        time.sleep(0.5)
        end = time.monotonic()

        # Delivery after the run: everything published now comes back.
        delivered = final_delivery(sdk, topic, inbox, p["final_messages"])

        threads_after = settle(threads_now, threads_before, timeout=5)
        if not publishing.stop():
            hangs += 1
            report.note("the publisher thread did not end")
        items = events.snapshot()
        sdk.on_connection(None)
        sdk.on_message(None)
        sdk.stop()
        del sdk
        threads_end = settle(threads_now, threads_idle, timeout=5)
        fds_end = settle(fds_now, fds_idle, timeout=5)
        if fds_end != fds_idle:
            report.note(f"descriptors idle {fds_idle_targets}, after stop {fd_targets()}")
    finally:
        broker.kill()

    # --- analysis ----------------------------------------------------------------------
    losses = [t for c, code, _m, t in items if not c and code == -1]
    reconnects = [t for c, code, main, t in items if c and code == 0 and not main]
    effective = missed = spurious = 0
    bounds = [k["at"] for k in kills] + [end]
    spurious += sum(1 for t in losses if t < bounds[0])
    delays = []
    for k, kill in enumerate(kills):
        window = [t for t in losses if bounds[k] <= t < bounds[k + 1]]
        effective += 1 if window else 0
        spurious += max(len(window) - 1, 0)
        if kill["connected"] and not window:
            missed += 1
        back = [t for t in reconnects if kill["restart"] <= t < bounds[k + 1]]
        if back:
            delays.append(back[0] - kill["restart"])
    merged = len(kills) - effective

    report.figure("kills", len(kills))
    report.figure("effective", effective)
    report.figure("merged", merged)
    report.figure("losses", len(losses))
    report.figure("reconnects", len(reconnects))
    report.figure("reconnect delay median/max", seconds(delays) + f" (of {len(delays)})")
    report.figure("publish max", f"{max(publishing.call_times, default=0):.2f} s")
    report.figure("delivery after", f"{delivered}/{p['final_messages']}")
    report.figure("threads before/after", f"{threads_before}/{threads_after}")
    report.figure("threads/fds idle before/after stop", f"{threads_idle}/{threads_end}, {fds_idle}/{fds_end}")
    report.figure("hangs", hangs)

    report.bound(len(reconnects) == len(losses) == effective,
                 f"reconnects {len(reconnects)}, losses {len(losses)}, effective kills {effective} differ")
    report.bound(missed == 0, f"{missed} kills of a connected client brought no loss")
    report.bound(spurious == 0, f"{spurious} losses no kill explains")
    report.bound(not events.problems(), "events out of step: " + "; ".join(events.problems()[:5]))
    report.bound(not delays or max(delays) <= bound_s,
                 f"a reconnect took {max(delays, default=0):.2f} s after its restart (bound {bound_s} s)")
    report.bound(delivered == p["final_messages"], f"only {delivered} of the final messages came back")
    report.bound(threads_after == threads_before, f"threads {threads_before} before, {threads_after} after")
    report.bound(threads_end == threads_idle and fds_end == fds_idle,
                 f"after stop: threads {threads_end} (idle {threads_idle}), fds {fds_end} (idle {fds_idle})")
    report.bound(hangs == 0, f"{hangs} hangs")
    report.console["[SDK] Connection lost"] = len(losses)
    report.console["[SDK] Reconnected successfully"] = len(reconnects)


if __name__ == "__main__":
    scenario_main("broker kills", run, DEFAULTS)
