"""./dev bench: tarvo_sdk against the raw Paho MQTT C client it wraps and against
paho-mqtt, the pure-Python client, on one local Mosquitto.

What users get is measured: tarvo_sdk as its wheel installs it (--wheel; without it, the
module on PYTHONPATH), raw Paho C linked as the SDK links the library (the floor of the
SDK's own overhead), and raw Paho C against the distribution's shared library.

Every figure of every contender runs in a fresh process (bench/pahoc_bench.c,
bench/tarvo_bench.py, bench/pypaho_bench.py). A round runs every figure once for every
contender, the contenders in an order that rotates from round to round, so machine
noise hits them alike; tarvo_sdk's ratios to its peers are taken within a round, and
their medians over the rounds are reported.

  python3 bench/run.py [--quick] [--rounds N] [--build-dir DIR] [--wheel WHEEL]

Writes bench/results/latest.json, bench/results/ratios.png and bench/results/latest.md
(the table README.md's performance section shows; --quick: quick.json, quick-ratios.png
and quick.md, so a quick check leaves the last full run in place). The Paho C harnesses
are DIR/bench/pahoc_bench and pahoc_bench_shared (bench/CMakeLists.txt; DIR defaults to
build/).
"""

import argparse
import json
import os
import platform
import select
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(REPO / "tests" / "support"))
from tarvo_testsupport import HOST, Broker, TestPki, TlsBroker  # noqa: E402

# On top of the shared broker's settings (no queue-length limit, an in-flight window of
# 1000: 0 or 65535 make Mosquitto log a line for every QoS 1 publish of a 3.1.1 client),
# what keeps the broker out of the measurement: no queue size limit either (never drop
# QoS 0 for a slow subscriber), and only the log lines that tell of trouble.
BROKER_CONFIG = """\
max_queued_bytes 0
log_dest stderr
log_type error
log_type warning
log_type notice
"""


@dataclass(frozen=True)
class Counts:
    pub_q0: int
    pub_q0_paho_wait: int  # paho-mqtt waiting for every QoS 0 publish: ~12k msg/s, and in no ratio
    pub_q1: int
    receive: int
    rtt: int
    requests: int
    connects: int  # each starts the library's thread, which costs a fixed 100 ms
    connects_running: int  # the thread already running: enough for a p50
    clients: int  # idle, for resident memory
    many_clients: int  # created, connected and subscribed one after another


FULL = Counts(pub_q0=100_000, pub_q0_paho_wait=20_000, pub_q1=20_000, receive=100_000, rtt=2_000, requests=10_000,
              connects=6, connects_running=50, clients=100, many_clients=200)
QUICK = Counts(pub_q0=10_000, pub_q0_paho_wait=2_000, pub_q1=2_000, receive=20_000, rtt=300, requests=2_000,
               connects=3, connects_running=50, clients=100, many_clients=100)

# Bounds on a single harness process, so a hang costs a bounded time, never the run.
MAX_S = 60.0
IDLE_S = 3.0
PROCESS_TIMEOUT_S = 120.0


# --- processes ---------------------------------------------------------------------

class HarnessError(Exception):
    pass


# What a failed measurement raises: it is recorded, and the run goes on.
MEASUREMENT_ERRORS = (HarnessError, TimeoutError, KeyError, ValueError, TypeError)


class Harness:
    """One process of a harness. stderr goes to a file (never a pipe that could fill)."""

    def __init__(self, cmd):
        self.cmd = [str(part) for part in cmd]
        self.stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(self.cmd, stdout=subprocess.PIPE, stderr=self.stderr, bufsize=0)

    def wait_ready(self, timeout=30.0):
        """Reads stdout up to the READY line (one byte at a time: nothing is buffered
        past it, so finish() sees the rest)."""
        deadline = time.monotonic() + timeout
        line = b""
        while line.strip() != b"READY":
            if line.endswith(b"\n"):
                line = b""
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.process.stdout], [], [], remaining)[0]:
                self.fail("no READY")
            byte = self.process.stdout.read(1)
            if not byte:
                self.fail("exited before READY")
            line += byte
        return self

    def finish(self, timeout=PROCESS_TIMEOUT_S):
        """The JSON object the harness printed last."""
        try:
            out, _ = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.fail(f"no result within {timeout:.0f} s")
        lines = [line for line in out.decode(errors="replace").splitlines() if line.startswith("{")]
        if self.process.returncode != 0:
            self.fail(f"exit status {self.process.returncode}")
        if not lines:
            self.fail("no result line on stdout")
        result = json.loads(lines[-1])
        result["sdk_publish_failures"] = self.stderr_text().count("[SDK] publish failed")
        return result

    def stderr_text(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def fail(self, why):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        tail = self.stderr_text().strip().splitlines()[-5:]
        raise HarnessError(f"{' '.join(self.cmd[:3])}...: {why}; stderr: {' | '.join(tail)}")


def run(cmd):
    return Harness(cmd).finish()


# --- contenders and figures ----------------------------------------------------------

TARVO = "tarvo_sdk"
C = "raw Paho C"
C_SHARED = "raw Paho C, shared lib"
PAHO = "paho-mqtt"
PAHO_NOWAIT = "paho-mqtt no wait"


@dataclass
class Context:
    broker: Broker
    counts: Counts
    c_bench: Path
    c_bench_shared: Path
    tarvo_python: Path
    round_index: int = 0
    serial: int = 0
    tls: object = None  # OverTls: the same measurements over TLS

    @property
    def addr(self):
        return self.broker.address

    def topic(self, name):
        self.serial += 1
        return f"bench/{name}/{self.round_index}/{self.serial}"


def harness(contender, ctx):
    if contender == C:
        return [ctx.c_bench]
    if contender == C_SHARED:
        return [ctx.c_bench_shared]
    if contender == TARVO:
        return [ctx.tarvo_python, BENCH / "tarvo_bench.py"]
    return [sys.executable, BENCH / "pypaho_bench.py"]


def publish(qos, size, sub=False):
    """N publishes, each awaited as the contender awaits one (see the harnesses)."""

    def measure(contender, ctx):
        n = ctx.counts.pub_q1 if qos else ctx.counts.pub_q0_paho_wait if contender == PAHO else ctx.counts.pub_q0
        args = [ctx.addr, ctx.topic("pub"), n, size, qos]
        if contender in (C, C_SHARED):
            variant = [1 if qos == 0 else 2]  # callbacks set; QoS 1: deliveryComplete + condvar
        elif contender == TARVO:
            variant = []
        else:
            variant = [0 if contender == PAHO_NOWAIT else 1]
        result = run(harness(contender, ctx) + ["pub", *args, *variant, int(sub), MAX_S])
        result["cpu_us_per_msg"] = 1e6 * result["cpu_s"] / max(result["n_done"], 1)
        result["cpu_ms_per_100k"] = 100 * result["cpu_us_per_msg"]
        return result

    return measure


def receive(contender, ctx):
    """QoS 0 messages from a raw C publisher into the contender's handler."""
    n, topic = ctx.counts.receive, ctx.topic("recv")
    sub = Harness(harness(contender, ctx) + ["sub", ctx.addr, topic, n, 0, IDLE_S, MAX_S]).wait_ready()
    run([ctx.c_bench, "pub", ctx.addr, topic, n, 16, 0, 0, 0, MAX_S])
    result = sub.finish()
    result["cpu_ms_per_100k"] = 1e3 * result["cpu_s"] * 100_000 / max(result["n_recv"], 1)
    return result


def round_trip(contender, ctx):
    return run(harness(contender, ctx) + ["rtt", ctx.addr, ctx.topic("rtt"), ctx.counts.rtt, 16, 100])


def many_clients(contender, ctx):
    return run(harness(contender, ctx) + ["many", ctx.addr, ctx.topic("many"), ctx.counts.many_clients])


def replies(contender, ctx):
    """A raw C requester sends QoS 1 requests, up to 32 awaiting their reply; the
    contender's handler replies at QoS 1."""
    n, req, rep = ctx.counts.requests, ctx.topic("req"), ctx.topic("rep")
    replier = Harness(harness(contender, ctx) + ["reply", ctx.addr, req, rep, n, IDLE_S, MAX_S]).wait_ready()
    result = run([ctx.c_bench, "req", ctx.addr, req, rep, n, IDLE_S, MAX_S])
    replier_result = replier.finish()
    result["max_call_ms"] = replier_result["max_call_ms"]
    result["sdk_publish_failures"] = replier_result["sdk_publish_failures"]
    return result


@dataclass
class Figure:
    key: str
    title: str
    contenders: tuple
    measure: object
    metrics: tuple  # (result key, label, unit)


PUB_METRICS = (("rate", "rate", "msg/s"), ("lat_p50_us", "per-call p50", "us"),
               ("lat_max_us", "per-call max", "us"), ("cpu_ms_per_100k", "CPU per 100k", "ms"),
               ("sdk_publish_failures", "publish failures", "count"))
ARRIVAL_METRICS = PUB_METRICS + (("arrived", "own messages received", "count"),)

FIGURES = (
    Figure("pub_q0_16", "publish QoS 0, 16 B", (TARVO, C, C_SHARED, PAHO, PAHO_NOWAIT), publish(0, 16), PUB_METRICS),
    Figure("pub_q0_1k", "publish QoS 0, 1 KiB", (TARVO, C, PAHO, PAHO_NOWAIT), publish(0, 1024), PUB_METRICS),
    Figure("pub_q1_16", "publish QoS 1, 16 B", (TARVO, C, C_SHARED, PAHO), publish(1, 16), PUB_METRICS),
    Figure("pub_q0_16_arrivals", "publish QoS 0, 16 B, own messages arriving", (TARVO, C, C_SHARED, PAHO_NOWAIT),
           publish(0, 16, sub=True), ARRIVAL_METRICS),
    Figure("pub_q1_16_arrivals", "publish QoS 1, 16 B, own messages arriving", (TARVO, C, PAHO),
           publish(1, 16, sub=True), ARRIVAL_METRICS),
    Figure("receive_q0_16", "receive QoS 0, 16 B", (TARVO, C, C_SHARED, PAHO), receive,
           (("rate", "rate", "msg/s"), ("n_recv", "received", "count"), ("max_gap_ms", "max gap", "ms"),
            ("cpu_ms_per_100k", "CPU per 100k", "ms"))),
    Figure("rtt", "round trip QoS 0, 16 B", (TARVO, C, PAHO), round_trip,
           (("p50_us", "p50", "us"), ("p99_us", "p99", "us"), ("timeouts", "timeouts", "count"))),
    Figure("replies", "QoS 1 replies from the handler", (TARVO, C, C_SHARED, PAHO), replies,
           (("rate", "replies/s", "msg/s"), ("replies", "replies", "count"), ("max_gap_ms", "max gap", "ms"),
            ("max_call_ms", "max publish call in handler", "ms"))),
    Figure("many_clients", "create, connect and subscribe many clients in one process", (TARVO, C), many_clients,
           (("wall_s", "wall time", "s"), ("clients", "clients", "count"))),
)


# --- over TLS ------------------------------------------------------------------------

@dataclass
class OverTls:
    """What a measurement needs of a Context, for the broker's TLS listener (verified:
    its certificate is for localhost, its CA in TARVO_BENCH_CA). The harnesses are the
    plain ones: the library the SDK and raw C link is Paho's TLS variant."""
    plain: Context
    port: int

    @property
    def addr(self):
        return f"ssl://localhost:{self.port}"

    @property
    def counts(self):
        return self.plain.counts

    @property
    def c_bench(self):
        return self.plain.c_bench

    @property
    def tarvo_python(self):
        return self.plain.tarvo_python

    def topic(self, name):
        return self.plain.topic(name + "-tls")


def over_tls(measure):
    return lambda contender, ctx: measure(contender, ctx.tls)


TLS_FIGURES = (
    Figure("receive_q0_16_tls", "receive QoS 0, 16 B, over TLS", (TARVO, C, PAHO), over_tls(receive),
           (("rate", "rate", "msg/s"), ("n_recv", "received", "count"), ("max_gap_ms", "max gap", "ms"),
            ("cpu_ms_per_100k", "CPU per 100k", "ms"))),
    Figure("pub_q1_16_tls", "publish QoS 1, 16 B, over TLS", (TARVO, C, PAHO), over_tls(publish(1, 16)),
           PUB_METRICS),
)
FIGURES += TLS_FIGURES


def tls_ratios_per_round(results):
    rate = lambda fig, who: per_round(results, fig, who, "rate")  # noqa: E731
    return {
        "receive_tls_vs_c": ratio(rate("receive_q0_16_tls", TARVO), rate("receive_q0_16_tls", C)),
        "receive_tls_vs_paho": ratio(rate("receive_q0_16_tls", TARVO), rate("receive_q0_16_tls", PAHO)),
        "publish_q1_tls_vs_c": ratio(rate("pub_q1_16_tls", TARVO), rate("pub_q1_16_tls", C)),
        "publish_q1_tls_vs_paho": ratio(rate("pub_q1_16_tls", TARVO), rate("pub_q1_16_tls", PAHO)),
    }


TLS_RATIO_GOALS = {
    "receive_tls_vs_c": ("receive over TLS vs raw Paho C over TLS", ">=", 0.95),
    "receive_tls_vs_paho": ("receive over TLS vs paho-mqtt over TLS", ">=", 1.5),
}


def start_tls(ctx, workdir):
    """A broker with a TLS listener beside the plain one's and its certificates; sets
    TARVO_BENCH_CA for the harnesses."""
    pki = TestPki(Path(workdir) / "pki")
    os.environ["TARVO_BENCH_CA"] = pki.crt("ca")
    broker = TlsBroker(workdir, pki, log_path=Path(workdir) / "mosquitto-tls.log")
    ctx.tls = OverTls(ctx, broker.ports["tls"])
    return broker


# --- measurements without a peer -----------------------------------------------------

CONNECT_RUNNING = {TARVO: "tarvo_sdk Community, thread running", C: "raw Paho C, thread running"}


def connect_times(ctx):
    out = {}
    for keep in (0, 1):
        state = "thread running" if keep else "thread start"
        n = ctx.counts.connects_running if keep else ctx.counts.connects
        for edition in ("Community", "Enterprise"):
            out[f"tarvo_sdk {edition}, {state}"] = run(harness(TARVO, ctx) + ["connect", ctx.addr, edition, n, keep])
        out[f"raw Paho C, {state}"] = run([ctx.c_bench, "connect", ctx.addr, n, keep])
    return out


def reconnect_time(ctx, down_s=0.5):
    """Kills the broker under a connected tarvo_sdk client, restarts it after down_s."""
    client = Harness(harness(TARVO, ctx) + ["reconnect", ctx.addr, 30]).wait_ready()
    killed = time.time_ns()
    ctx.broker.kill()
    time.sleep(down_s)
    ctx.broker.start()
    up = time.time_ns()
    result = client.finish()
    if result["back_rt_ns"] is None:
        raise HarnessError("no reconnect within 30 s")
    return dict(back_after_up_ms=(result["back_rt_ns"] - up) / 1e6,
                back_after_kill_ms=(result["back_rt_ns"] - killed) / 1e6,
                loss_seen_ms=(result["lost_rt_ns"] - killed) / 1e6, down_ms=(up - killed) / 1e6)


def resident_memory(ctx):
    return {contender: run(harness(contender, ctx) + ["rss", ctx.addr, ctx.counts.clients])
            for contender in (TARVO, PAHO)}


EXTRAS = (("connect", connect_times), ("reconnect", reconnect_time), ("rss", resident_memory))


# --- a run ---------------------------------------------------------------------------

def rotated(items, by):
    by %= len(items)
    return items[by:] + items[:by]


def run_rounds(ctx, rounds):
    """results[figure][contender] and extras[name]: one entry per round (None: failed)."""
    results = {f.key: {c: [] for c in f.contenders} for f in FIGURES}
    extras = {name: [] for name, _ in EXTRAS}
    errors = []
    walls = []
    for r in range(rounds):
        ctx.round_index = r
        start = time.monotonic()
        load = os.getloadavg()
        for figure in FIGURES:
            for contender in rotated(list(figure.contenders), r):
                job_start = time.monotonic()
                try:
                    value = figure.measure(contender, ctx)
                except MEASUREMENT_ERRORS as error:
                    value = None
                    errors.append(f"round {r + 1} {figure.key} {contender}: {error}")
                results[figure.key][contender].append(value)
                print(f"  round {r + 1} {figure.key:<20} {contender:<18} {brief(figure, value):<28}"
                      f" ({time.monotonic() - job_start:.1f} s)", flush=True)
        for name, measure in EXTRAS:
            job_start = time.monotonic()
            try:
                value = measure(ctx)
            except MEASUREMENT_ERRORS as error:
                value = None
                errors.append(f"round {r + 1} {name}: {error}")
            extras[name].append(value)
            print(f"  round {r + 1} {name:<39} {'FAILED' if value is None else 'done':<28}"
                  f" ({time.monotonic() - job_start:.1f} s)", flush=True)
        walls.append(dict(round=r + 1, wall_s=round(time.monotonic() - start, 1), load_at_start=load))
        print(f"round {r + 1} done in {walls[-1]['wall_s']} s (load {load[0]:.2f})", flush=True)
    return results, extras, errors, walls


def brief(figure, value):
    if value is None:
        return "FAILED"
    key, label, unit = figure.metrics[0]
    return f"{label} {fmt(value[key])} {unit}"


def fmt(x):
    if x is None:
        return "-"
    if isinstance(x, float) and abs(x) < 100:
        return f"{x:.3g}"
    return f"{x:,.0f}"


def median(values):
    s = spread(values)
    return s["median"] if s else None


def spread(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return dict(min=min(values), median=statistics.median(values), max=max(values), runs=len(values))


# --- ratios and goals ----------------------------------------------------------------

def per_round(results, figure, contender, key):
    return [None if v is None else v[key] for v in results[figure][contender]]


def ratio(a, b):
    return [x / y if x is not None and y else None for x, y in zip(a, b)]


def connect_running(extras, who, key):
    return [None if r is None else r[CONNECT_RUNNING[who]][key] for r in extras["connect"]]


def ratios_per_round(results, extras):
    rate = lambda fig, who: per_round(results, fig, who, "rate")  # noqa: E731
    return {
        "publish_q0_vs_c": ratio(rate("pub_q0_16", TARVO), rate("pub_q0_16", C)),
        "publish_q0_vs_paho_nowait": ratio(rate("pub_q0_16", TARVO), rate("pub_q0_16", PAHO_NOWAIT)),
        "publish_q0_1k_vs_c": ratio(rate("pub_q0_1k", TARVO), rate("pub_q0_1k", C)),
        "publish_q0_1k_vs_paho_nowait": ratio(rate("pub_q0_1k", TARVO), rate("pub_q0_1k", PAHO_NOWAIT)),
        "publish_q1_vs_c": ratio(rate("pub_q1_16", TARVO), rate("pub_q1_16", C)),
        "publish_q1_vs_paho": ratio(rate("pub_q1_16", TARVO), rate("pub_q1_16", PAHO)),
        "publish_q0_arrivals_vs_alone": ratio(rate("pub_q0_16_arrivals", TARVO), rate("pub_q0_16", TARVO)),
        "publish_q1_arrivals_vs_alone": ratio(rate("pub_q1_16_arrivals", TARVO), rate("pub_q1_16", TARVO)),
        "publish_q0_arrivals_vs_c": ratio(rate("pub_q0_16_arrivals", TARVO), rate("pub_q0_16_arrivals", C)),
        "publish_q1_arrivals_vs_c": ratio(rate("pub_q1_16_arrivals", TARVO), rate("pub_q1_16_arrivals", C)),
        "receive_vs_c": ratio(rate("receive_q0_16", TARVO), rate("receive_q0_16", C)),
        "receive_vs_c_shared": ratio(rate("receive_q0_16", TARVO), rate("receive_q0_16", C_SHARED)),
        "receive_vs_paho": ratio(rate("receive_q0_16", TARVO), rate("receive_q0_16", PAHO)),
        "handler_replies_vs_c": ratio(rate("replies", TARVO), rate("replies", C)),
        "handler_replies_vs_paho": ratio(rate("replies", TARVO), rate("replies", PAHO)),
        "rtt_p50_vs_paho": ratio(per_round(results, "rtt", TARVO, "p50_us"), per_round(results, "rtt", PAHO, "p50_us")),
        # The mean: the p50 of connects while the thread runs flips (bench/README.md).
        "connect_running_vs_c": ratio(connect_running(extras, TARVO, "mean_ms"), connect_running(extras, C, "mean_ms")),
        "many_clients_vs_c": ratio(per_round(results, "many_clients", TARVO, "wall_s"),
                                   per_round(results, "many_clients", C, "wall_s")),
        "handler_replies_per_s": rate("replies", TARVO),
    }


def cost_ratios_per_round(results, extras):
    """tarvo_sdk's cost over a peer's (lower is better). Per-call p50 and CPU time per
    message move less with machine load than rates do. A connect while the library's
    thread runs takes either well under a millisecond or about 100 ms, so its p50 flips
    between the two (connect_running_vs_c compares the means)."""
    cost = lambda fig, who, key: per_round(results, fig, who, key)  # noqa: E731
    return {
        "publish_q0_call_p50_vs_c": ratio(cost("pub_q0_16", TARVO, "lat_p50_us"), cost("pub_q0_16", C, "lat_p50_us")),
        "publish_q0_cpu_vs_c": ratio(cost("pub_q0_16", TARVO, "cpu_us_per_msg"),
                                     cost("pub_q0_16", C, "cpu_us_per_msg")),
        "publish_q0_cpu_vs_paho_nowait": ratio(cost("pub_q0_16", TARVO, "cpu_us_per_msg"),
                                               cost("pub_q0_16", PAHO_NOWAIT, "cpu_us_per_msg")),
        "publish_q1_call_p50_vs_c": ratio(cost("pub_q1_16", TARVO, "lat_p50_us"), cost("pub_q1_16", C, "lat_p50_us")),
        "publish_q1_call_p50_vs_paho": ratio(cost("pub_q1_16", TARVO, "lat_p50_us"),
                                             cost("pub_q1_16", PAHO, "lat_p50_us")),
        "receive_cpu_vs_c": ratio(cost("receive_q0_16", TARVO, "cpu_ms_per_100k"),
                                  cost("receive_q0_16", C, "cpu_ms_per_100k")),
        "receive_cpu_vs_paho": ratio(cost("receive_q0_16", TARVO, "cpu_ms_per_100k"),
                                     cost("receive_q0_16", PAHO, "cpu_ms_per_100k")),
        "connect_running_p50_vs_c": ratio(connect_running(extras, TARVO, "p50_ms"),
                                          connect_running(extras, C, "p50_ms")),
    }


def peer_ratios_per_round(results):
    """The same ratios for the peers, where one tells how much of a loss is the protocol's."""
    rate = lambda fig, who: per_round(results, fig, who, "rate")  # noqa: E731
    return {f"{who}: publish_q1_arrivals_vs_alone": ratio(rate("pub_q1_16_arrivals", who), rate("pub_q1_16", who))
            for who in (C, PAHO)} | {
        f"{C}: publish_q0_arrivals_vs_alone": ratio(rate("pub_q0_16_arrivals", C), rate("pub_q0_16", C)),
        f"{C}: receive_vs_paho": ratio(rate("receive_q0_16", C), rate("receive_q0_16", PAHO)),
        f"{C}: receive_vs_shared_lib": ratio(rate("receive_q0_16", C), rate("receive_q0_16", C_SHARED)),
        f"{C}: publish_q0_vs_shared_lib": ratio(rate("pub_q0_16", C), rate("pub_q0_16", C_SHARED)),
    }


def tarvo_values(results, figure, key):
    return [v for v in per_round(results, figure, TARVO, key) if v is not None]


# What tarvo_sdk's ratios should reach: the goal in words, and the bound each ratio must
# be at least (">=") or at most ("<=").
# "raw Paho C" is linked as the SDK links the library; receive_vs_c_shared, against the
# distribution's shared library, is reported without a goal.
RATIO_GOALS = {
    "publish_q0_vs_c": ("publish QoS 0 vs raw Paho C (callbacks set)", ">=", 0.95),
    "publish_q0_vs_paho_nowait": ("publish QoS 0 vs paho-mqtt not waiting", ">=", 2.0),
    "publish_q0_1k_vs_c": ("publish QoS 0, 1 KiB, vs raw Paho C", ">=", 0.95),
    "publish_q0_1k_vs_paho_nowait": ("publish QoS 0, 1 KiB, vs paho-mqtt not waiting", ">=", 2.0),
    "publish_q1_vs_c": ("publish QoS 1 vs raw Paho C (deliveryComplete + condvar)", ">=", 0.95),
    "publish_q1_vs_paho": ("publish QoS 1 vs paho-mqtt waiting", ">=", 2.0),
    "publish_q0_arrivals_vs_alone": ("publish QoS 0 with arrivals vs alone", ">=", 0.8),
    "publish_q1_arrivals_vs_alone": ("publish QoS 1 with arrivals vs alone", ">=", 0.8),
    "publish_q0_arrivals_vs_c": ("publish QoS 0 with arrivals vs raw Paho C with arrivals", ">=", 0.95),
    "publish_q1_arrivals_vs_c": ("publish QoS 1 with arrivals vs raw Paho C with arrivals", ">=", 0.95),
    "receive_vs_c": ("receive vs raw Paho C", ">=", 0.95),
    "receive_vs_paho": ("receive vs paho-mqtt", ">=", 2.0),
    "handler_replies_vs_c": ("QoS 1 replies from the handler vs raw Paho C's", ">=", 0.95),
    "handler_replies_vs_paho": ("QoS 1 replies from the handler vs paho-mqtt's", ">=", 1.5),
    "rtt_p50_vs_paho": ("round trip p50 vs paho-mqtt's", "<=", 1.0),
    "connect_running_vs_c": ("connect mean, library thread running, vs raw Paho C", "<=", 1.5),
    "many_clients_vs_c": ("create, connect, subscribe many clients (wall) vs raw Paho C", "<=", 1.5),
    "handler_replies_per_s": ("QoS 1 replies from the handler per second", ">=", 1000),
} | TLS_RATIO_GOALS


def goal_text(name):
    _, op, bound = RATIO_GOALS[name]
    return f"{op} {fmt(bound)}"


def goal_met(name, value):
    _, op, bound = RATIO_GOALS[name]
    return value is not None and (value >= bound if op == ">=" else value <= bound)


def goals(ratios, results, counts):
    """One row per goal: met or not, and the figure it was judged on (a missing figure
    counts as not met)."""
    rows = [(f"{what} {goal_text(name)}", goal_met(name, ratios.get(name)),
             f"{name} = {fmt(ratios.get(name))} (goal {goal_text(name)})")
            for name, (what, _, _) in RATIO_GOALS.items()]
    calls_us = tarvo_values(results, "pub_q0_16_arrivals", "lat_max_us") + tarvo_values(
        results, "pub_q1_16_arrivals", "lat_max_us")
    worst_call_ms = max(calls_us) / 1e3 if calls_us else None
    replies = tarvo_values(results, "replies", "replies")
    gaps = tarvo_values(results, "replies", "max_gap_ms")
    no_stall = bool(replies) and min(replies) == counts.requests and max(gaps) <= 1000
    rows += [
        ("no publish call over 1 s while messages arrive", worst_call_ms is not None and worst_call_ms <= 1000,
         f"slowest call in any round = {fmt(worst_call_ms)} ms"),
        ("handler replies without a stall (every reply in, no gap over 1 s)", no_stall,
         f"fewest replies in a round = {min(replies, default=0)} of {counts.requests}, "
         f"longest gap = {fmt(max(gaps, default=None))} ms"),
    ]
    return [dict(goal=goal, met=bool(met), figure=text) for goal, met, text in rows]


# --- report --------------------------------------------------------------------------

def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def ratio_table(title, rounds):
    """The ratios over the rounds, with the goal of each that has one."""
    rows = []
    for name, values in rounds.items():
        s = spread(values)
        if not s:
            continue
        goal, met = "", ""
        if name in RATIO_GOALS:
            goal = goal_text(name)
            met = "met" if goal_met(name, s["median"]) else "NOT MET"
        rows.append((name, *(fmt(s[k]) for k in ("min", "median", "max")), s["runs"], goal, met))
    return table((title, "min", "median", "max", "rounds", "goal", "median meets it"), rows)


def report(results, extras, ratio_groups, goal_rows, counts, walls):
    out = []
    rows = []
    for f in FIGURES:
        for contender in f.contenders:
            for key, label, unit in f.metrics:
                s = spread(per_round(results, f.key, contender, key))
                if s:
                    rows.append((f.title, contender, label, unit, fmt(s["min"]), fmt(s["median"]), fmt(s["max"]),
                                 s["runs"]))
    out.append(table(("figure", "contender", "metric", "unit", "min", "median", "max", "runs"), rows))
    out += [ratio_table(title, rounds) for title, rounds in ratio_groups]
    out.append(table(("goal", "met", "figure"), [(g["goal"], "met" if g["met"] else "NOT MET", g["figure"])
                                                  for g in goal_rows]))
    rows = []
    for name, runs in spread_extras(extras).items():
        for metric, s in runs.items():
            rows.append((name, metric, fmt(s["min"]), fmt(s["median"]), fmt(s["max"]), s["runs"]))
    out.append(table(("measurement", "metric", "min", "median", "max", "runs"), rows))
    cpu = [(c, fmt(spread(per_round(results, "receive_q0_16", c, "cpu_ms_per_100k"))["median"]))
           for c in (TARVO, C, PAHO) if spread(per_round(results, "receive_q0_16", c, "cpu_ms_per_100k"))]
    out.append("CPU time per 100,000 messages received (median, ms): " + ", ".join(f"{c} {v}" for c, v in cpu))
    out.append(f"counts: {counts}")
    out.append("load average (1 min) at the start of each round: "
               + ", ".join(f"{w['load_at_start'][0]:.2f}" for w in walls))
    return "\n\n".join(out)


EXTRA_METRICS = {
    "connect": (("min_ms", "connect min (ms)"), ("p50_ms", "connect p50 (ms)"), ("mean_ms", "connect mean (ms)"),
                ("max_ms", "connect max (ms)"), ("over_50ms", "connects over 50 ms (count)")),
    "reconnect": (("loss_seen_ms", "loss seen after kill (ms)"), ("down_ms", "broker down (ms)"),
                  ("back_after_up_ms", "reconnected after broker up (ms)"),
                  ("back_after_kill_ms", "reconnected after kill (ms)")),
    "rss": (("base_kib", "RSS before any client (KiB)"), ("one_kib", "RSS, 1 idle client (KiB)"),
            ("many_kib", "RSS, N idle clients (KiB)")),
}


def spread_extras(extras):
    """{row name: {metric label: spread}} over the rounds."""
    out = {}
    for r in extras["connect"]:
        for name in (r or {}):
            out.setdefault(f"connect: {name}", {})
    for name in list(out):
        variant = name.removeprefix("connect: ")
        for key, label in EXTRA_METRICS["connect"]:
            s = spread([r[variant][key] for r in extras["connect"] if r and variant in r])
            if s:
                out[name][label] = s
    sealing = [r["tarvo_sdk Enterprise, thread start"]["p50_ms"] - r["tarvo_sdk Community, thread start"]["p50_ms"]
               for r in extras["connect"] if r]
    if spread(sealing):
        out["connect: sealing cost (Enterprise p50 - Community p50, thread start)"] = {"ms": spread(sealing)}
    out["reconnect: tarvo_sdk, broker restarted"] = {
        label: s for key, label in EXTRA_METRICS["reconnect"]
        if (s := spread([r[key] for r in extras["reconnect"] if r]))}
    for contender in (TARVO, PAHO):
        out[f"memory: {contender}"] = {
            label: s for key, label in EXTRA_METRICS["rss"]
            if (s := spread([r[contender][key] for r in extras["rss"] if r]))}
    return {name: metrics for name, metrics in out.items() if metrics}


def chart(ratio_rounds, path):
    """Three panels: the ratios where higher is better, those where lower is better (log
    scale: a connect can be hundreds of times slower), and the handler's replies per
    second. Bars are medians over the rounds, whiskers min and max, dashes the goals."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rate = "handler_replies_per_s"
    lower = [n for n, (_, op, _) in RATIO_GOALS.items() if op == "<=" and spread(ratio_rounds[n])]
    higher = [n for n in ratio_rounds if n not in lower and n != rate and spread(ratio_rounds[n])]
    fig, axes = plt.subplots(1, 3, figsize=(15, 5.5), gridspec_kw={"width_ratios": [len(higher), len(lower) + 1, 1]})
    for ax, names in zip(axes, (higher, lower, [rate])):
        for i, name in enumerate(names):
            s = spread(ratio_rounds[name])
            ax.bar(i, s["median"], color="tab:red" if name in RATIO_GOALS and not goal_met(name, s["median"])
                   else "tab:green", yerr=[[s["median"] - s["min"]], [s["max"] - s["median"]]], capsize=4)
            if name in RATIO_GOALS:
                ax.hlines(RATIO_GOALS[name][2], i - 0.4, i + 0.4, colors="black", linestyles="dashed")
        ax.set_xticks(range(len(names)), names, rotation=35, ha="right", fontsize=8)
    axes[0].axhline(1.0, color="grey", linewidth=0.5)
    axes[0].set_ylabel("tarvo_sdk / peer, same round (median, min-max)")
    axes[0].set_title("higher is better (dashed: goal)")
    axes[1].axhline(1.0, color="grey", linewidth=0.5)
    axes[1].set_yscale("log")
    axes[1].set_title("lower is better")
    axes[2].set_title("per second")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- main ----------------------------------------------------------------------------

# --- the table README.md shows ---------------------------------------------------------

README = REPO / "README.md"
README_START = "<!-- bench/run.py writes this table: -->"
README_END = "<!-- end of bench/run.py's table -->"
TABLE_PEERS = (TARVO, C, C_SHARED, PAHO)


def readme_table(results, extras, ratios, meta, profile):
    """The figures the README quotes: medians over the rounds, rates beside the CPU time
    per 100,000 messages, and tarvo_sdk's same-round ratios."""
    def med(figure, who, key):
        return median(per_round(results, figure, who, key)) if who in results[figure] else None

    def rate_cpu(figure, who):
        rate, cpu = med(figure, who, "rate"), med(figure, who, "cpu_ms_per_100k")
        if rate is None:
            return ""
        return fmt(rate) + ("" if cpu is None else f" ({fmt(cpu)})")

    def times(*names):
        return ", ".join(f"{fmt(ratios[key])} × {who}" for key, who in names if ratios.get(key) is not None)

    def connect_mean(who):
        return median(connect_running(extras, who, "mean_ms"))

    paho_q0 = med("pub_q0_16", PAHO_NOWAIT, "rate")
    rows = [
        ("publish QoS 0, 16 B", *(rate_cpu("pub_q0_16", who) for who in TABLE_PEERS[:3]),
         f"{fmt(paho_q0)} ({fmt(med('pub_q0_16', PAHO_NOWAIT, 'cpu_ms_per_100k'))}), not waiting",
         times(("publish_q0_vs_c", "C"), ("publish_q0_vs_paho_nowait", "paho-mqtt"))),
        ("publish QoS 1, 16 B, each acknowledged", *(rate_cpu("pub_q1_16", who) for who in TABLE_PEERS),
         times(("publish_q1_vs_c", "C"), ("publish_q1_vs_paho", "paho-mqtt"))),
        ("publish QoS 0 while its own messages arrive", *(rate_cpu("pub_q0_16_arrivals", who) for who in TABLE_PEERS[:3]),
         rate_cpu("pub_q0_16_arrivals", PAHO_NOWAIT) + ", not waiting",
         times(("publish_q0_arrivals_vs_c", "C"), ("publish_q0_arrivals_vs_alone", "alone"))),
        ("publish QoS 1 while its own messages arrive", *(rate_cpu("pub_q1_16_arrivals", who) for who in TABLE_PEERS),
         times(("publish_q1_arrivals_vs_c", "C"), ("publish_q1_arrivals_vs_alone", "alone"))),
        ("receive QoS 0 into a handler", *(rate_cpu("receive_q0_16", who) for who in TABLE_PEERS),
         times(("receive_vs_c", "C"), ("receive_vs_c_shared", "C on the shared lib"), ("receive_vs_paho", "paho-mqtt"))),
        ("QoS 1 replies published from inside a handler (per s)",
         *(fmt(med("replies", who, "rate")) for who in TABLE_PEERS),
         times(("handler_replies_vs_c", "C"), ("handler_replies_vs_paho", "paho-mqtt"))),
        ("round trip p50 / p99 (µs)",
         *(f"{fmt(med('rtt', who, 'p50_us'))} / {fmt(med('rtt', who, 'p99_us'))}" if who in results["rtt"] else ""
           for who in TABLE_PEERS), times(("rtt_p50_vs_paho", "paho-mqtt"))),
        ("connect, the library's thread running: mean (ms)", fmt(connect_mean(TARVO)), fmt(connect_mean(C)), "", "",
         times(("connect_running_vs_c", "C"))),
        (f"create, connect and subscribe {meta['counts']['many_clients']} clients (s)",
         fmt(med("many_clients", TARVO, "wall_s")), fmt(med("many_clients", C, "wall_s")), "", "",
         times(("many_clients_vs_c", "C"))),
    ]
    loads = ", ".join(f"{w['load_at_start'][0]:.1f}" for w in meta["per_round"])
    counted = ""
    if profile:
        counted = "\n\nInstructions per received message, counted by callgrind (bench/profile.py): " + ", ".join(
            f"{who} {fmt(figure['instructions_per_message'])}" for who, figure in profile["figures"].items()) + "."
    return "\n".join([
        f"Run of {meta['started']} on commit {meta['commit']}: {meta['rounds']} round(s) on {meta['cpus']} cores, "
        f"load average at the start of each round {loads}. Rates in messages per second, CPU time per "
        "100,000 messages in ms in brackets; C is raw Paho C linked as tarvo_sdk links the library.",
        "",
        table(("figure", "tarvo_sdk (wheel)", "raw Paho C", "raw Paho C, shared lib", "paho-mqtt",
               "tarvo_sdk's ratio (median of rounds)"), rows) + counted,
    ])


def update_readme(text):
    readme = README.read_text()
    start, end = readme.index(README_START) + len(README_START), readme.index(README_END)
    README.write_text(readme[:start] + "\n" + text + "\n" + readme[end:])


# --- main ----------------------------------------------------------------------------

def c_harnesses(build_dir):
    """pahoc_bench linked as the SDK links the library, pahoc_bench_shared against the
    shared library (bench/CMakeLists.txt, built by ./dev build)."""
    paths = build_dir / "bench" / "pahoc_bench", build_dir / "bench" / "pahoc_bench_shared"
    for path in paths:
        if not path.exists():
            sys.exit(f"{path} is missing: build the project first (./dev build)")
    return paths


def tarvo_interpreter(wheel, workdir):
    """An interpreter that imports tarvo_sdk from WHEEL, installed into a fresh
    environment (with the system's packages, for the harness's helpers); without a
    wheel, this one, which imports the module on PYTHONPATH."""
    if wheel is None:
        return Path(sys.executable)
    venv = Path(workdir) / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    python = venv / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps",
                    "--disable-pip-version-check", wheel], check=True)
    return python


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round, smaller counts (under a minute)")
    parser.add_argument("--rounds", type=int, help="rounds (default 5; --quick: 1)")
    parser.add_argument("--build-dir", type=Path, default=REPO / "build")
    parser.add_argument("--wheel", type=Path, help="the tarvo_sdk wheel to measure (default: the module on PYTHONPATH)")
    args = parser.parse_args()
    if args.wheel:
        # Its interpreter must not find build/'s module first.
        os.environ.pop("PYTHONPATH", None)
    counts = QUICK if args.quick else FULL
    rounds = args.rounds or (1 if args.quick else 5)
    results_dir = BENCH / "results"
    results_dir.mkdir(exist_ok=True)
    stem = "quick" if args.quick else "latest"
    started = time.monotonic()

    c_bench, c_bench_shared = c_harnesses(args.build_dir.resolve())
    with tempfile.TemporaryDirectory(prefix="tarvo-bench-") as workdir:
        tarvo_python = tarvo_interpreter(args.wheel, workdir)
        found = subprocess.run([tarvo_python, "-c", "import tarvo_sdk; print(tarvo_sdk.__file__)"], check=True,
                               capture_output=True, text=True).stdout.strip()
        print(f"tarvo_sdk: {found}", flush=True)
        broker = Broker(workdir, BROKER_CONFIG, log_path=Path(workdir) / "mosquitto.log")
        ctx = Context(broker, counts, c_bench, c_bench_shared, tarvo_python)
        tls_broker = start_tls(ctx, workdir)
        try:
            print(f"mosquitto on {broker.address}; {rounds} round(s), counts {counts}", flush=True)
            results, extras, errors, walls = run_rounds(ctx, rounds)
        finally:
            broker.close()
            tls_broker.close()

    ratio_rounds = ratios_per_round(results, extras) | tls_ratios_per_round(results)
    cost_rounds = cost_ratios_per_round(results, extras)
    peer_rounds = peer_ratios_per_round(results)
    ratios = {name: median(values) for name, values in ratio_rounds.items()}
    goal_rows = goals(ratios, results, counts)
    print()
    print(report(results, extras, (("tarvo_sdk ratio (same round)", ratio_rounds),
                                   ("tarvo_sdk cost ratio, lower is better (same round)", cost_rounds),
                                   ("peer ratio, for comparison (same round)", peer_rounds)),
                 goal_rows, counts, walls))
    for error in errors:
        print("error:", error)
    total = time.monotonic() - started
    print(f"\nwall time {total:.0f} s")

    commit = os.environ.get("TARVO_COMMIT", "unknown")  # ./dev's: the sandbox has no git
    meta = dict(quick=args.quick, rounds=rounds, counts=counts.__dict__, wall_s=round(total, 1), per_round=walls,
                started=time.strftime("%Y-%m-%d %H:%M %Z"), commit=commit, tarvo_sdk=found,
                python=platform.python_version(), machine=platform.machine(), cpus=os.cpu_count())
    document = dict(
        meta=meta,
        ratios=ratios, ratios_per_round=ratio_rounds,
        cost_ratios={name: median(values) for name, values in cost_rounds.items()}, cost_ratios_per_round=cost_rounds,
        peer_ratios={name: median(values) for name, values in peer_rounds.items()}, goals=goal_rows,
        figures=results, extras=extras, errors=errors)
    (results_dir / f"{stem}.json").write_text(json.dumps(document, indent=1) + "\n")
    chart(ratio_rounds, results_dir / ("ratios.png" if stem == "latest" else f"{stem}-ratios.png"))
    profile = None
    if not args.quick:
        # Instruction counts, which load does not change, beside the rates.
        subprocess.run([sys.executable, BENCH / "profile.py", "--build-dir", args.build_dir,
                        *(["--wheel", args.wheel] if args.wheel else [])], check=True)
        profile = json.loads((results_dir / "profile.json").read_text())
    summary = readme_table(results, extras, ratios, meta, profile)
    (results_dir / f"{stem}.md").write_text(summary + "\n")
    print(f"\n{summary}\n\nwrote {results_dir / (stem + '.json')} and {stem}.md")
    if not args.quick:
        update_readme(summary)
        print(f"updated the table in {README}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
