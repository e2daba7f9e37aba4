"""paho-mqtt 2.1 (pure Python), the client Python users pick today, as tarvo_sdk's peer.

loop_start() (network loop on paho's thread), MQTT 3.1.1, clean session, keepalive 60.
Every mode prints one JSON object as its last line on stdout ("sub" and "reply" print
READY first, once subscribed). ADDR is host:port. Payloads are bytes, paho's own type.

  pub   ADDR TOPIC N SIZE QOS WAIT SUB MAX_S
        WAIT=1: wait_for_publish() after every publish (QoS 0: written to the socket by
        the loop thread; QoS 1: PUBACK in). WAIT=0: publish all N, then wait for the last
        one only. Reports their CPU time too. SUB=1: subscribed to TOPIC at QOS, arrivals
        counted.
  sub   ADDR TOPIC N QOS IDLE_S MAX_S      arrivals counted in on_message
  rtt   ADDR TOPIC N SIZE WARM             QoS 0 to its own topic, waits for it, N times
  reply ADDR REQ_TOPIC REPLY_TOPIC N IDLE_S MAX_S
                                           on_message answers each request with a QoS 1
                                           publish to REPLY_TOPIC
  rss   ADDR N                             resident memory with 1, then N, idle clients
"""

import os
import sys
import threading
import time

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

from benchlib import Arrivals, cpu_s, emit, latency_summary, payload_of, payloads, pct, ready, resident_memory


def connected_client(name, addr, on_message=None):
    c = mqtt.Client(callback_api_version=CallbackAPIVersion.VERSION2, client_id=f"{name}-{os.getpid()}",
                    protocol=mqtt.MQTTv311, clean_session=True)
    connected = threading.Event()
    c.on_connect = lambda *_: connected.set()
    c.on_message = on_message
    # An address with a scheme (ssl://host:port, for the TLS figures) is a TLS one.
    scheme, _, addr = addr.rpartition("://")
    if scheme:
        c.tls_set(ca_certs=os.environ["TARVO_BENCH_CA"])
    host, port = addr.rsplit(":", 1)
    c.connect(host, int(port), 60)
    c.loop_start()
    if not connected.wait(10):
        sys.exit("connect timeout")
    return c


def subscribe(c, topic, qos):
    subscribed = threading.Event()
    c.on_subscribe = lambda *_: subscribed.set()
    c.subscribe(topic, qos)
    if not subscribed.wait(10):
        sys.exit("subscribe timeout")


def stop(c):
    c.disconnect()
    c.loop_stop()


def mode_pub(addr, topic, n, size, qos, wait, sub, max_s):
    arrivals = Arrivals()
    c = connected_client("ppub", addr, arrivals.handler if sub else None)
    if sub:
        subscribe(c, topic, qos)
    data = [p.encode() for p in payloads(size, n)]
    nd = len(data)
    pc = time.perf_counter_ns
    pub = c.publish
    lat = []
    errors = 0
    info = None
    cpu0 = cpu_s()
    t_first_rt = time.time_ns()
    t0 = pc()
    deadline = t0 + int(max_s * 1e9)
    for i in range(n):
        a = pc()
        info = pub(topic, data[i % nd], qos)
        if wait:
            info.wait_for_publish(10)
            errors += not info.is_published()
        b = pc()
        lat.append(b - a)
        if b > deadline:
            break
    if not wait and info is not None:
        info.wait_for_publish(60)
        errors += not info.is_published()
    elapsed = (pc() - t0) / 1e9
    cpu = cpu_s() - cpu0
    done = len(lat)
    if sub:
        arrivals.wait(done, 2.0, 30.0)
    end_s = (time.time_ns() - t_first_rt) / 1e9
    _, _, last, _ = arrivals.state()
    stop(c)
    emit(mode="pub", n_done=done, elapsed_s=elapsed, rate=done / elapsed, cpu_s=cpu, errors=errors,
         arrived=arrivals.count, last_arrival_s=(last - t_first_rt) / 1e9 if sub else 0.0, end_s=end_s, **latency_summary(lat))


def mode_sub(addr, topic, n, qos, idle_s, max_s):
    arrivals = Arrivals()
    c = connected_client("psub", addr, arrivals.handler)
    subscribe(c, topic, qos)
    ready()
    cpu0 = cpu_s()
    arrivals.wait(n, idle_s, max_s)
    cpu = cpu_s() - cpu0
    stop(c)
    emit(mode="sub", cpu_s=cpu, **arrivals.summary())


def mode_rtt(addr, topic, n, size, warm):
    got = threading.Event()
    expect = [None]

    def on_message(_client, _userdata, msg):
        if msg.payload == expect[0]:
            got.set()

    c = connected_client("prtt", addr, on_message)
    subscribe(c, topic, 0)
    pc = time.perf_counter_ns
    lat = []
    timeouts = 0
    for i in range(warm + n):
        p = payload_of(size, i).encode()
        expect[0] = p
        got.clear()
        a = pc()
        c.publish(topic, p, 0)
        ok = got.wait(2.0)
        b = pc()
        if not ok:
            timeouts += 1
        elif i >= warm:
            lat.append(b - a)
    stop(c)
    lat.sort()
    emit(mode="rtt", n_ok=len(lat), timeouts=timeouts, p50_us=pct(lat, 50) / 1e3, p99_us=pct(lat, 99) / 1e3,
         max_us=lat[-1] / 1e3 if lat else -1)


def mode_reply(addr, req_topic, reply_topic, n, idle_s, max_s):
    arrivals = Arrivals()
    max_call = 0
    pc = time.perf_counter_ns

    def on_message(client, _userdata, msg):
        nonlocal max_call
        a = pc()
        client.publish(reply_topic, msg.payload, 1)
        max_call = max(max_call, pc() - a)
        arrivals.handler()

    c = connected_client("preply", addr, on_message)
    subscribe(c, req_topic, 1)
    ready()
    arrivals.wait(n, idle_s, max_s)
    time.sleep(0.2)  # the loop thread sends the last replies and takes their PUBACKs
    stop(c)
    emit(mode="reply", handled=arrivals.count, max_call_ms=max_call / 1e6)


def mode_rss(addr, n):
    emit(mode="rss", **resident_memory(lambda i: connected_client(f"prss{i}", addr), n, stop))


MODES = {
    "pub": (mode_pub, (str, str, int, int, int, int, int, float)),
    "sub": (mode_sub, (str, str, int, int, float, float)),
    "rtt": (mode_rtt, (str, str, int, int, int)),
    "reply": (mode_reply, (str, str, str, int, float, float)),
    "rss": (mode_rss, (str, int)),
}

if __name__ == "__main__":
    run, types = MODES[sys.argv[1]]
    run(*(kind(arg) for kind, arg in zip(types, sys.argv[2:], strict=True)))
