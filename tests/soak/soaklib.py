"""What the soak scenarios share: a Mosquitto of their own, the fault relay process, a
recorder of connection events, process measurements (threads, descriptors, memory),
and the report each scenario hands back to the runner.

A scenario is a script with a function run(params, report). scenario_main() gives it
its command line (--params JSON, --out FILE), a temp directory, a watchdog that dumps
every thread's stack and exits when the whole scenario overruns, and writes the report
as JSON for the runner (run.py), which prints the one line of figures."""

import argparse
import ctypes
import faulthandler
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

SOAK_DIR = Path(__file__).resolve().parent
REPO = SOAK_DIR.parents[1]
# The tests' modules (a scenario may use their fake server) and the support module all
# suites share: the broker (killed by PID, restartable on its port), TCP server base and
# waiting.
sys.path[:0] = [str(REPO / "tests" / "support"), str(REPO / "tests" / "python")]
from tarvo_testsupport import HOST, KEYS, Broker, TcpServer, free_port, script_env, wait_until  # noqa: E402,F401


# --- the process itself ----------------------------------------------------------------

def threads_now():
    return len(os.listdir("/proc/self/task"))


def fds_now():
    return len(os.listdir("/proc/self/fd"))


def fd_targets():
    """What each open descriptor points at (for reports of a leak)."""
    found = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            found[int(fd)] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass
    return found


def _status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def rss_now():
    return _status("VmRSS")


def peak_rss():
    return _status("VmHWM")


def settle(measure, target, timeout=10.0, interval=0.05):
    """Waits until measure() == target or the timeout; returns the last value."""
    deadline = time.monotonic() + timeout
    value = measure()
    while value != target and time.monotonic() < deadline:
        time.sleep(interval)
        value = measure()
    return value


def warm_up_library(address):
    """Connects and drops one client, so the library's one-time set-up (it keeps a few
    descriptors for the life of the process) is not counted as a leak."""
    import tarvo_sdk
    sdk = tarvo_sdk.SDK()
    sdk.init("soak-warm-up", address, "tcp", "u", "p", autoReconnect=False)
    sdk.connect()
    sdk.stop()
    del sdk


def mib(n):
    return f"{n / (1 << 20):.1f} MiB"


def seconds(values):
    """'median/max s' of a list of durations, or '-'."""
    if not values:
        return "-"
    return f"{statistics.median(values):.2f}/{max(values):.2f} s"


# --- peers ---------------------------------------------------------------------------

class RelayProcess:
    """fault_relay.py in a process of its own (see there): forwards to target_port,
    breaks connections on command, and logs what it saw to an events file."""

    def __init__(self, workdir, target_port, capture_dir=None):
        self.events_path = Path(workdir) / f"relay-{time.monotonic_ns()}.jsonl"
        self.events_path.touch()
        command = [sys.executable, str(SOAK_DIR / "fault_relay.py"), str(target_port), str(self.events_path)]
        if capture_dir:
            command += ["--capture", str(capture_dir)]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != b"PORT":
            raise RuntimeError(f"the relay did not start: {line!r}")
        self.port = int(line[1])

    @property
    def address(self):
        return f"{HOST}:{self.port}"

    def send(self, command):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()

    def events(self, kind=None):
        records = []
        for line in self.events_path.read_text().splitlines():
            if line:
                record = json.loads(line)
                if kind is None or record["ev"] == kind:
                    records.append(record)
        return records

    def wait_for(self, kind, after, timeout, conn=None):
        """The first event of that kind at or after monotonic time `after`, or None."""
        deadline = time.monotonic() + timeout
        while True:
            for record in self.events(kind):
                if record["t"] >= after and (conn is None or record.get("conn") == conn):
                    return record
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.01)

    def session_up(self):
        """Whether a connection is open whose CONNACK accepted the session."""
        accepted, closed = set(), set()
        for record in self.events():
            if record["ev"] == "connack" and record.get("rc") == 0:
                accepted.add(record["conn"])
            elif record["ev"] == "closed":
                closed.add(record["conn"])
        return bool(accepted - closed)

    def describe_after(self, after):
        """The relay's events from `after` on, briefly: 'accept#4 +0.00 s, ...'."""
        return ", ".join(f"{r['ev']}#{r.get('conn', r.get('number', ''))} +{r['t'] - after:.2f} s"
                         for r in self.events() if r["t"] >= after)

    def close(self):
        if self.process.poll() is None:
            try:
                self.send("quit")
                self.process.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait(timeout=5)


class ConnectionEvents:
    """An on_connection handler that records (connected, code, on main thread, time)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.items = []
        self.main = threading.get_ident()
        self.then = None  # called after recording, with (connected, code)

    def __call__(self, connected, code):
        with self.lock:
            self.items.append((connected, code, threading.get_ident() == self.main, time.monotonic()))
        if self.then is not None:
            self.then(connected, code)

    def snapshot(self):
        with self.lock:
            return list(self.items)

    def count(self):
        with self.lock:
            return len(self.items)

    def wait_for(self, connected, after, timeout):
        """The time of the first event with that state at or after `after`, or None."""
        deadline = time.monotonic() + timeout
        while True:
            for c, _code, _main, t in self.snapshot():
                if c == connected and t >= after:
                    return t
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.005)

    def problems(self):
        """Events out of step: after the first (True, 0) from connect, losses (False, -1)
        and reconnects (True, 0, not on the main thread) must alternate."""
        found = []
        items = self.snapshot()
        for i, (connected, code, main, _t) in enumerate(items):
            if connected and code != 0 or not connected and code not in (-1, 0):
                found.append(f"event {i}: ({connected}, {code})")
            if i and items[i - 1][0] == connected:
                found.append(f"events {i - 1} and {i} both ({connected}, ...)")
        return found


class Publisher:
    """Publishes m-0, m-1, ... at QoS 1 to a topic on a thread of its own, one every
    `interval` seconds, until stop(); call_times holds how long each publish call took."""

    def __init__(self, sdk, topic, interval):
        self.call_times = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(sdk, topic, interval), name="publisher")
        self._thread.start()

    def _run(self, sdk, topic, interval):
        i = 0
        while not self._stop.is_set():
            started = time.monotonic()
            sdk.publish(topic, f"m-{i}", 1)
            self.call_times.append(time.monotonic() - started)
            i += 1
            self._stop.wait(interval)

    def stop(self, timeout=30):
        """Whether the thread ended within the timeout."""
        self._stop.set()
        self._thread.join(timeout)
        return not self._thread.is_alive()


def final_delivery(sdk, topic, inbox, count, timeout=10):
    """Subscribes again, publishes final-0 ... final-<count - 1> at QoS 1 to the topic and
    returns how many of them came back (inbox: a MessageCounter with prefix "final-")."""
    sdk.subscribe(topic, 1)
    for i in range(count):
        sdk.publish(topic, f"final-{i}", 1)
    wait_until(lambda: len(inbox.matching) >= count, timeout)
    return len(inbox.matching)


class MessageCounter:
    """An on_message handler counting messages, and those with one payload prefix."""

    def __init__(self, prefix=None):
        self.count = 0
        self.matching = []
        self.prefix = prefix
        self.lock = threading.Lock()

    def __call__(self, topic, payload):
        with self.lock:
            self.count += 1
            if self.prefix and payload.startswith(self.prefix):
                self.matching.append(payload)


# --- the report ------------------------------------------------------------------------

class Report:
    """Figures in the order they are set, and bounds: each bound is a condition with
    the text shown when it does not hold."""

    def __init__(self, name):
        self.name = name
        self.figures = {}
        self.violations = []
        self.notes = []
        self.console = {}  # console line prefix -> exact count the runner must find

    def figure(self, key, value):
        self.figures[key] = value

    def bound(self, ok, text):
        if not ok:
            self.violations.append(text)
        return ok

    def note(self, text):
        self.notes.append(text)

    def line(self):
        return ", ".join(f"{key} {value}" for key, value in self.figures.items())

    def to_json(self):
        return {"name": self.name, "figures": self.figures, "line": self.line(),
                "violations": self.violations, "notes": self.notes, "console": self.console}


def scenario_main(name, run, defaults):
    """The command line of a scenario script."""
    parser = argparse.ArgumentParser(description=name)
    parser.add_argument("--params", default="{}", help="JSON object overriding the defaults")
    parser.add_argument("--out", help="where to write the report as JSON")
    args = parser.parse_args()
    params = dict(defaults)
    params.update(json.loads(args.params))
    if params.get("seed") is None:
        params["seed"] = int.from_bytes(os.urandom(4), "big")
    report = Report(name)
    # The whole scenario's watchdog: on overrun, every thread's stack goes to stderr
    # and the process exits, which the runner reports as a hang.
    faulthandler.dump_traceback_later(params["watchdog"], exit=True)
    print(f"[soak] {name}: seed {params['seed']}, params {json.dumps(params)}", flush=True)
    # Files worth keeping (say, a memcheck report) go beside the report.
    params["outdir"] = str(Path(args.out).resolve().parent) if args.out else None
    with tempfile.TemporaryDirectory(prefix="tarvo-soak-") as workdir:
        params["workdir"] = Path(workdir)
        try:
            run(params, report)
        except Exception:
            report.violations.append("scenario raised: " + traceback.format_exc(limit=6).strip().splitlines()[-1])
            traceback.print_exc()
    faulthandler.cancel_dump_traceback_later()
    # The module's console lines sit in C stdio's buffer; written out now, they cannot be
    # cut in two by the lines below.
    ctypes.CDLL(None).fflush(None)
    result = report.to_json()
    result["seed"] = params["seed"]
    if args.out:
        Path(args.out).write_text(json.dumps(result, indent=1))
    print(f"[soak] {name}: {report.line()}", flush=True)
    for violation in report.violations:
        print(f"[soak] {name}: BOUND BROKEN: {violation}", flush=True)
