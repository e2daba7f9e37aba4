"""Many clients: N SDK objects in one process, all connected at once, each subscribed
to a topic shared by all and to one of its own; a peer process (paho-mqtt) publishes M
messages to the shared topic and one to each client's own, all at QoS 1. Then every
object is dropped (its last reference goes), and the process's threads and file
descriptors must come back to what they were before the first was made."""

import gc
import subprocess
import sys
import time

import tarvo_sdk

from soaklib import (Broker, MessageCounter, fd_targets, fds_now, mib, peak_rss, rss_now, scenario_main, settle,
                     threads_now, wait_until, warm_up_library)

DEFAULTS = {
    "clients": 200,
    "messages": 10,
    "watchdog": 300,
    "seed": None,
}

PEER = """
import sys
import paho.mqtt.client as mqtt
port, clients, messages, tag = (int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id="soak-peer-" + tag)
client.connect("127.0.0.1", port)
client.loop_start()
infos = [client.publish(f"many/{tag}/all", f"all-{i}", qos=1) for i in range(messages)]
infos += [client.publish(f"many/{tag}/{n}", f"own-{n}", qos=1) for n in range(clients)]
for info in infos:
    info.wait_for_publish(30)
client.disconnect()
client.loop_stop()
"""


def run(p, report):
    n, m, tag = p["clients"], p["messages"], str(p["seed"])
    broker = Broker(p["workdir"])
    try:
        warm_up_library(broker.address)
        gc.collect()
        threads_idle, fds_idle, rss_idle = threads_now(), fds_now(), rss_now()
        idle_targets = fd_targets()

        started = time.monotonic()
        clients, inboxes = [], []
        failed = 0
        for i in range(n):
            inbox = MessageCounter()
            sdk = tarvo_sdk.SDK()
            sdk.on_message(inbox)
            sdk.init(f"soak-many-{tag}-{i}", broker.address, "tcp", "u", "p")
            ok = sdk.connect() and sdk.subscribe(f"many/{tag}/all", 1) and sdk.subscribe(f"many/{tag}/{i}", 1)
            failed += 0 if ok else 1
            clients.append(sdk)
            inboxes.append(inbox)
        connect_all = time.monotonic() - started
        threads_connected, fds_connected = threads_now(), fds_now()

        expected = n * m + n
        peer = subprocess.run([sys.executable, "-c", PEER, str(broker.port), str(n), str(m), tag],
                              timeout=120, capture_output=True)
        wait_until(lambda: sum(i.count for i in inboxes) >= expected, 60)
        time.sleep(0.5)  # anything beyond the expected count would show now
        delivered = sum(i.count for i in inboxes)
        short = sum(1 for i in inboxes if i.count != m + 1)
        rss_connected = rss_now()

        started = time.monotonic()
        del sdk, inbox
        clients.clear()
        gc.collect()
        drop_all = time.monotonic() - started
        threads_end = settle(threads_now, threads_idle, timeout=10)
        fds_end = settle(fds_now, fds_idle, timeout=10)
        if fds_end != fds_idle:
            leaked = {fd: target for fd, target in fd_targets().items() if idle_targets.get(fd) != target}
            report.note(f"descriptors left after the drop: {leaked}")
        peak = peak_rss()
    finally:
        broker.kill()

    report.figure("clients", f"{n} (connect+subscribe all {connect_all:.1f} s, failed {failed})")
    report.figure("delivered/expected", f"{delivered}/{expected}")
    report.figure("peak RSS", f"{mib(peak)} (idle {mib(rss_idle)}, connected {mib(rss_connected)}, "
                  f"{(rss_connected - rss_idle) / n / 1024:.0f} KiB per client)")
    report.figure("threads idle/connected/after drop", f"{threads_idle}/{threads_connected}/{threads_end}")
    report.figure("fds idle/connected/after drop", f"{fds_idle}/{fds_connected}/{fds_end}")
    report.figure("drop all", f"{drop_all:.1f} s")

    report.bound(failed == 0, f"{failed} clients did not connect and subscribe")
    report.bound(peer.returncode == 0, f"the peer failed: {peer.stderr[-300:]!r}")
    report.bound(delivered == expected and short == 0,
                 f"delivered {delivered} of {expected}; {short} clients got another count than {m + 1}")
    report.bound(threads_end == threads_idle, f"threads {threads_end} after the drop, {threads_idle} before")
    report.bound(fds_end == fds_idle, f"descriptors {fds_end} after the drop, {fds_idle} before")
    report.console["[SDK] Connected to"] = n + 1  # and the warm-up client
    report.console["[SDK] Disconnected"] = n + 1


if __name__ == "__main__":
    scenario_main("many clients", run, DEFAULTS)
