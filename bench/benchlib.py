"""What the two Python harnesses (tarvo_bench.py, pypaho_bench.py) share: payloads,
percentiles, an arrival counter to use as a message handler, and the result line.

Payloads are ASCII: an 8-digit sequence number, then 'x' padding, as pahoc_bench.c
writes them. Timestamps that cross processes are time.time_ns() (realtime)."""

import ctypes
import json
import resource
import time

libc = ctypes.CDLL(None)


def payload_of(size, seq):
    head = f"{seq % 100000000:08d}"
    return (head + "x" * size)[:size] if size >= 8 else "x" * size


def payloads(size, n):
    """At most 1000 distinct payloads, to be used in turn."""
    return [payload_of(size, i) for i in range(min(n, 1000))]


def pct(sorted_values, p):
    if not sorted_values:
        return -1
    i = int(p / 100.0 * (len(sorted_values) - 1) + 0.5)
    return sorted_values[min(i, len(sorted_values) - 1)]


def latency_summary(lat_ns):
    lat_ns.sort()
    return dict(lat_p50_us=pct(lat_ns, 50) / 1e3, lat_p99_us=pct(lat_ns, 99) / 1e3,
                lat_max_us=lat_ns[-1] / 1e3 if lat_ns else -1)


# A connect that waited for the library's receiving thread to come back from one of its
# 100 ms sleeps, as opposed to one that took what the network takes (pahoc_bench.c too).
SLOW_CONNECT_NS = 50_000_000


def connect_summary(lat_ns):
    lat_ns.sort()
    return dict(p50_ms=pct(lat_ns, 50) / 1e6, mean_ms=sum(lat_ns) / len(lat_ns) / 1e6, min_ms=lat_ns[0] / 1e6,
                max_ms=lat_ns[-1] / 1e6, over_50ms=sum(t > SLOW_CONNECT_NS for t in lat_ns))


def cpu_s():
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


class Arrivals:
    """Counts messages: `handler` takes any arguments, so it serves as either client's
    message handler; it records the first and last arrival and the largest gap."""

    def __init__(self):
        count = first = last = maxgap = 0
        now = time.time_ns

        def handler(*_):
            nonlocal count, first, last, maxgap
            t = now()
            if count:
                if t - last > maxgap:
                    maxgap = t - last
            else:
                first = t
            last = t
            count += 1

        def state():
            return count, first, last, maxgap

        self.handler = handler
        self.state = state

    @property
    def count(self):
        return self.state()[0]

    def wait(self, n, idle_s, max_s):
        """Until n arrivals, idle_s without a new one, or max_s in all."""
        start = last_change = time.monotonic()
        seen = self.count
        while seen < n:
            time.sleep(0.005)
            k = self.count
            now = time.monotonic()
            if k != seen:
                seen, last_change = k, now
            if now - last_change > idle_s or now - start > max_s:
                break

    def summary(self):
        count, first, last, maxgap = self.state()
        span = (last - first) / 1e9
        return dict(n_recv=count, rate=(count - 1) / span if count > 1 and span > 0 else 0.0,
                    max_gap_ms=maxgap / 1e6, t_first_rt_ns=first, t_last_rt_ns=last)


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def resident_memory(connect, n, stop):
    """VmRSS before any client, with one idle connected client, then with n."""
    base = rss_kib()
    clients = [connect(0)]
    time.sleep(1.0)
    one = rss_kib()
    clients += [connect(i) for i in range(1, n)]
    time.sleep(1.0)
    many = rss_kib()
    for client in clients:
        stop(client)
    return dict(clients=n, base_kib=base, one_kib=one, many_kib=many)


def ready():
    print("READY", flush=True)


def emit(**result):
    # tarvo_sdk writes its "[SDK] " lines through C's stdio, which buffers them on its
    # own when stdout is a pipe and would write them out at any moment, even in the
    # middle of a line, so the result line is written only once they are out.
    libc.fflush(None)
    print(json.dumps(result), flush=True)
