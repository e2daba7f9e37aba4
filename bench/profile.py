"""Instructions per received message, counted by callgrind (which a loaded machine does
not change): tarvo_sdk's handler, and the raw Paho C harness linked as the SDK links the
library and against the shared library.

  python3 bench/profile.py [--wheel WHEEL] [--build-dir DIR] [--counts N1 N2]

Each receiver runs under valgrind --tool=callgrind twice, receiving N1 and then N2 QoS 0
messages of 16 B from a raw C publisher; the difference of the two totals over the
difference of the messages received is the cost of one message, free of start-up. Run in
./dev shell, after ./dev build (and ./dev wheel for --wheel). Writes
bench/results/profile.json.
"""

import argparse
import json
import os
import re
import sys
import tempfile
import time
from pathlib import Path

from run import BENCH, BROKER_CONFIG, REPO, Broker, Harness, c_harnesses, tarvo_interpreter

MAX_S = 600.0
IDLE_S = 10.0


def instructions(out_file):
    """The total instruction count (Ir) of a callgrind output file."""
    text = Path(out_file).read_text()
    match = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
    if not match:
        raise SystemExit(f"{out_file}: no totals")
    return int(match.group(1))


def receive_under_callgrind(receiver, publisher, broker, n, workdir, tag):
    out = Path(workdir) / f"callgrind.{tag}.{n}"
    topic = f"profile/{tag}/{n}"
    sub = Harness(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *receiver,
                   "sub", broker.address, topic, n, 0, IDLE_S, MAX_S]).wait_ready(timeout=300)
    Harness([publisher, "pub", broker.address, topic, n, 16, 0, 0, 0, MAX_S]).finish()
    received = sub.finish(timeout=MAX_S + 60)["n_recv"]
    return instructions(out), received


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheel", type=Path, help="the tarvo_sdk wheel to profile (default: the module on PYTHONPATH)")
    parser.add_argument("--build-dir", type=Path, default=REPO / "build")
    parser.add_argument("--counts", type=int, nargs=2, default=(2000, 6000))
    args = parser.parse_args()
    if args.wheel:
        os.environ.pop("PYTHONPATH", None)
    c_bench, c_bench_shared = c_harnesses(args.build_dir.resolve())
    low, high = args.counts
    figures = {}
    with tempfile.TemporaryDirectory(prefix="tarvo-profile-") as workdir:
        receivers = {
            "tarvo_sdk": [tarvo_interpreter(args.wheel, workdir), BENCH / "tarvo_bench.py"],
            "raw Paho C": [c_bench],
            "raw Paho C, shared lib": [c_bench_shared],
        }
        broker = Broker(workdir, BROKER_CONFIG, log_path=Path(workdir) / "mosquitto.log")
        try:
            for tag, (name, receiver) in enumerate(receivers.items()):
                started = time.monotonic()
                (ir_low, got_low), (ir_high, got_high) = (
                    receive_under_callgrind(receiver, c_bench, broker, n, workdir, tag) for n in (low, high))
                per_message = (ir_high - ir_low) / max(got_high - got_low, 1)
                figures[name] = dict(instructions_per_message=round(per_message), received=[got_low, got_high],
                                     instructions=[ir_low, ir_high])
                print(f"{name:<24} {per_message:>10,.0f} instructions per received message "
                      f"(received {got_low} and {got_high}; {time.monotonic() - started:.0f} s)", flush=True)
        finally:
            broker.close()
    out = BENCH / "results" / "profile.json"
    out.write_text(json.dumps(dict(wheel=str(args.wheel) if args.wheel else None, counts=[low, high],
                                   figures=figures), indent=1) + "\n")
    print(f"wrote {out}")


if __name__ == "__main__":
    sys.exit(main())
