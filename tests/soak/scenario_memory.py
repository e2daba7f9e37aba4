"""Memory: one client subscribed to its own topic publishes N messages at QoS 0 and
receives them back into a Python handler (so N published, N received), keeping at most
`window` messages in flight so that nothing is dropped and nothing piles up in the
broker. The resident set is sampled every `sample_every` messages received; after the
first `warmup` messages (interpreter and allocator caches filling) it must grow by less
than `growth_bound` bytes."""

import gc
import time

import tarvo_sdk

from soaklib import Broker, mib, rss_now, scenario_main, wait_until, warm_up_library

DEFAULTS = {
    "messages": 1_000_000,
    "sample_every": 100_000,
    "warmup": 200_000,
    "window": 2_000,
    "growth_bound": 1 << 20,
    "watchdog": 600,
    "seed": None,
}


def run(p, report):
    broker = Broker(p["workdir"])
    try:
        warm_up_library(broker.address)
        n, every = p["messages"], p["sample_every"]
        received = [0]
        payload_bytes = [0]

        def handler(topic, payload):
            received[0] += 1
            payload_bytes[0] += len(payload)

        sdk = tarvo_sdk.SDK()
        sdk.on_message(handler)
        sdk.init(f"soak-memory-{p['seed']}", broker.address, "tcp", "u", "p")
        if not report.bound(sdk.connect() and sdk.subscribe("soak/mem", 0), "could not connect and subscribe"):
            return
        gc.collect()
        samples = [(0, rss_now())]
        next_sample = every
        started = time.monotonic()
        stalls = 0
        payload = "m" * 32
        for i in range(n):
            sdk.publish("soak/mem", payload, 0)
            if i % 256 == 0:
                while i - received[0] > p["window"]:
                    if not wait_until(lambda: i - received[0] <= p["window"], 10, interval=0.001):
                        stalls += 1
                        break
            if received[0] >= next_sample:
                samples.append((received[0], rss_now()))
                next_sample += every
        wait_until(lambda: received[0] >= n, 30)
        elapsed = time.monotonic() - started
        while next_sample <= received[0]:
            samples.append((received[0], rss_now()))
            next_sample += every
        got = received[0]
        sdk.on_message(None)
        sdk.stop()
        del sdk
    finally:
        broker.kill()

    after_warmup = [rss for count, rss in samples if count >= p["warmup"]]
    growth = max(after_warmup) - after_warmup[0] if len(after_warmup) > 1 else 0
    report.figure("published/received", f"{n}/{got}")
    report.figure("rate", f"{n / elapsed:,.0f} msg/s each way")
    report.figure("RSS start/warm/end", f"{mib(samples[0][1])}/{mib(after_warmup[0]) if after_warmup else '-'}/"
                  f"{mib(samples[-1][1])}")
    report.figure("growth after warm-up", f"{growth / 1024:.0f} KiB")
    report.figure("samples", " ".join(f"{rss / (1 << 20):.1f}" for _count, rss in samples))
    report.bound(got == n, f"received {got} of {n}")
    report.bound(stalls == 0, f"{stalls} times nothing came back for 10 s")
    report.bound(len(after_warmup) > 1, "too few samples after the warm-up")
    report.bound(growth < p["growth_bound"], f"RSS grew {growth / 1024:.0f} KiB after the warm-up "
                 f"(bound {p['growth_bound'] / 1024:.0f} KiB)")


if __name__ == "__main__":
    scenario_main("memory", run, DEFAULTS)
