"""tarvo_sdk's side of the benchmark. Every mode prints one JSON object as its last line
on stdout ("sub", "reply" and "reconnect" print READY first, once subscribed or
connected). ADDR is host:port. Publishing failures show only as "[SDK] publish failed"
lines on stderr, which bench/run.py counts.

  pub       ADDR TOPIC N SIZE QOS SUB MAX_S    N publishes (each returns when done), their
                                               CPU time; SUB=1: subscribed to TOPIC, arrivals
                                               counted
  sub       ADDR TOPIC N QOS IDLE_S MAX_S      arrivals counted in the handler
  rtt       ADDR TOPIC N SIZE WARM             QoS 0 to its own topic, waits for it, N times
  reply     ADDR REQ_TOPIC REPLY_TOPIC N IDLE_S MAX_S
                                               the handler answers each request with a QoS 1
                                               publish to REPLY_TOPIC
  connect   ADDR EDITION N KEEP                N timed connect() calls (with disconnect between);
                                               KEEP=1: another client stays connected meanwhile,
                                               so the library's background thread keeps running
  many      ADDR TOPIC N                       the wall time to create, connect and subscribe
                                               (QoS 0, to TOPIC) N clients, one after another
  reconnect ADDR MAX_S                         connected; reports when the connection is lost
                                               and when it is back (the broker is restarted)
  rss       ADDR N                             resident memory with 1, then N, idle clients
"""

import os
import sys
import threading
import time

import tarvo_sdk
from benchlib import (Arrivals, connect_summary, cpu_s, emit, latency_summary, payload_of, payloads, pct, ready,
                      resident_memory)


def make_client(name, addr, handler=None, edition="Community", on_connection=None):
    sdk = tarvo_sdk.SDK()
    sdk.on_message(handler)
    sdk.on_connection(on_connection)
    # An address with a scheme (ssl://host:port, for the TLS figures) names its protocol.
    protocol, _, addr = addr.rpartition("://")
    if protocol:
        sdk.tls_set(ca_certs=os.environ["TARVO_BENCH_CA"])
    sdk.init(f"{name}-{os.getpid()}", addr, protocol or "tcp", "bench", "secret", True, edition=edition)
    return sdk


def ignore_message(_topic, _payload):
    pass


def connected_client(name, addr, handler=None):
    sdk = make_client(name, addr, handler)
    if not sdk.connect():
        sys.exit("connect failed")
    return sdk


def mode_pub(addr, topic, n, size, qos, sub, max_s):
    arrivals = Arrivals()
    sdk = connected_client("tpub", addr, arrivals.handler if sub else None)
    if sub and not sdk.subscribe(topic, qos):
        sys.exit("subscribe failed")
    data = payloads(size, n)
    nd = len(data)
    pc = time.perf_counter_ns
    pub = sdk.publish
    lat = []
    cpu0 = cpu_s()
    t_first_rt = time.time_ns()
    t0 = pc()
    deadline = t0 + int(max_s * 1e9)
    for i in range(n):
        a = pc()
        pub(topic, data[i % nd], qos)
        b = pc()
        lat.append(b - a)
        if b > deadline:
            break
    elapsed = (pc() - t0) / 1e9
    cpu = cpu_s() - cpu0
    done = len(lat)
    if sub:
        arrivals.wait(done, 2.0, 30.0)
    end_s = (time.time_ns() - t_first_rt) / 1e9
    _, _, last, _ = arrivals.state()
    sdk.stop()
    emit(mode="pub", n_done=done, elapsed_s=elapsed, rate=done / elapsed, cpu_s=cpu, arrived=arrivals.count,
         last_arrival_s=(last - t_first_rt) / 1e9 if sub else 0.0, end_s=end_s, **latency_summary(lat))


def mode_sub(addr, topic, n, qos, idle_s, max_s):
    arrivals = Arrivals()
    sdk = connected_client("tsub", addr, arrivals.handler)
    if not sdk.subscribe(topic, qos):
        sys.exit("subscribe failed")
    ready()
    cpu0 = cpu_s()
    arrivals.wait(n, idle_s, max_s)
    cpu = cpu_s() - cpu0
    sdk.stop()
    emit(mode="sub", cpu_s=cpu, **arrivals.summary())


def mode_rtt(addr, topic, n, size, warm):
    got = threading.Event()
    expect = [None]

    def on_message(_topic, payload):
        if payload == expect[0]:
            got.set()

    sdk = connected_client("trtt", addr, on_message)
    if not sdk.subscribe(topic, 0):
        sys.exit("subscribe failed")
    pc = time.perf_counter_ns
    lat = []
    timeouts = 0
    for i in range(warm + n):
        p = payload_of(size, i)
        expect[0] = p
        got.clear()
        a = pc()
        sdk.publish(topic, p, 0)
        ok = got.wait(2.0)
        b = pc()
        if not ok:
            timeouts += 1
        elif i >= warm:
            lat.append(b - a)
    sdk.stop()
    lat.sort()
    emit(mode="rtt", n_ok=len(lat), timeouts=timeouts, p50_us=pct(lat, 50) / 1e3, p99_us=pct(lat, 99) / 1e3,
         max_us=lat[-1] / 1e3 if lat else -1)


def mode_reply(addr, req_topic, reply_topic, n, idle_s, max_s):
    arrivals = Arrivals()
    max_call = 0
    pc = time.perf_counter_ns
    sdk = make_client("treply", addr)

    def on_message(_topic, payload):
        nonlocal max_call
        a = pc()
        sdk.publish(reply_topic, payload, 1)
        max_call = max(max_call, pc() - a)
        arrivals.handler()

    sdk.on_message(on_message)
    if not sdk.connect() or not sdk.subscribe(req_topic, 1):
        sys.exit("connect or subscribe failed")
    ready()
    arrivals.wait(n, idle_s, max_s)
    sdk.stop()
    emit(mode="reply", handled=arrivals.count, max_call_ms=max_call / 1e6)


def mode_connect(addr, edition, n, keep):
    keeper = connected_client("tkeep", addr) if keep else None
    sdk = make_client("tconn", addr, edition=edition)
    pc = time.perf_counter_ns
    lat = []
    failures = 0
    for i in range(n + 1):  # the first connect warms up and is not counted
        a = pc()
        ok = sdk.connect()
        b = pc()
        failures += not ok
        if i:
            lat.append(b - a)
        sdk.disconnect()
    sdk.stop()
    if keeper:
        keeper.stop()
    emit(mode="connect", edition=edition, failures=failures, **connect_summary(lat))


def mode_many(addr, topic, n):
    clients = []
    start = time.perf_counter()
    for i in range(n):
        sdk = connected_client(f"tmany{i}", addr, ignore_message)
        if not sdk.subscribe(topic, 0):
            sys.exit("subscribe failed")
        clients.append(sdk)
    wall_s = time.perf_counter() - start
    for sdk in clients:
        sdk.stop()
    emit(mode="many", clients=n, wall_s=wall_s)


def mode_reconnect(addr, max_s):
    events = []
    changed = threading.Event()

    def on_connection(is_connected, code):
        events.append((is_connected, code, time.time_ns()))
        changed.set()

    sdk = make_client("trecon", addr, on_connection=on_connection)
    if not sdk.connect():
        sys.exit("connect failed")
    ready()
    deadline = time.monotonic() + max_s
    while len(events) < 3 and time.monotonic() < deadline:  # up, lost, back
        changed.wait(0.1)
        changed.clear()
    sdk.stop()
    lost = next((t for up, _, t in events[1:] if not up), None)
    back = next((t for up, _, t in events[1:] if up), None)
    emit(mode="reconnect", lost_rt_ns=lost, back_rt_ns=back)


def mode_rss(addr, n):
    emit(mode="rss", **resident_memory(lambda i: connected_client(f"trss{i}", addr), n, lambda sdk: sdk.stop()))


MODES = {
    "pub": (mode_pub, (str, str, int, int, int, int, float)),
    "sub": (mode_sub, (str, str, int, int, float, float)),
    "rtt": (mode_rtt, (str, str, int, int, int)),
    "reply": (mode_reply, (str, str, str, int, float, float)),
    "connect": (mode_connect, (str, str, int, int)),
    "many": (mode_many, (str, str, int)),
    "reconnect": (mode_reconnect, (str, float)),
    "rss": (mode_rss, (str, int)),
}

if __name__ == "__main__":
    run, types = MODES[sys.argv[1]]
    run(*(kind(arg) for kind, arg in zip(types, sys.argv[2:], strict=True)))
