"""Runs the soak scenarios, each in a fresh interpreter, and reports their figures.

    python3 tests/soak/run.py [--seed N] [--only NAME,...] [--fast] [--logs DIR]

(`./dev soak` runs it with the module built.) Each scenario prints one line of figures;
at the end a table of all of them is printed and, for a full run of every scenario,
written to tests/soak/results/latest.md. The exit status is 1 when any scenario broke
a bound, crashed or hung.

The runner adds what a scenario cannot report about itself: crashes (the process died
of a signal) and hangs (its watchdog dumped every thread's stack and ended it, or it
overran its time). It also reads each scenario's console output after it has exited
(the module's lines are written unflushed): every "[SDK] " line must be one the README
documents, and the counts a scenario names (say, one "[SDK] Connection lost" per loss)
must match.
"""

import argparse
import json
import os
import platform
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

SOAK_DIR = Path(__file__).resolve().parent
REPO = SOAK_DIR.parents[1]


@dataclass
class Scenario:
    name: str
    script: str | None       # a scenario_*.py, or None for the bad-input property tests
    full: dict
    fast: dict | None        # the reduced run for ./dev test, or None
    timeout: float           # for the full run; the fast one gets fast["watchdog"] + 30


SCENARIOS = [
    Scenario("broker kills", "scenario_broker_kills.py",
             {"kills": 50, "watchdog": 600}, {"kills": 5, "max_gap": 1.0, "watchdog": 60}, 660),
    Scenario("flaky network", "scenario_flaky_network.py",
             {"faults": 25, "watchdog": 600}, {"faults": 5, "max_gap": 1.0, "watchdog": 90}, 660),
    Scenario("concurrency", "scenario_concurrency.py",
             {"duration": 60, "watchdog": 300}, {"duration": 8, "watchdog": 120}, 360),
    Scenario("many clients", "scenario_many_clients.py",
             {"clients": 200, "messages": 10, "watchdog": 300}, {"clients": 20, "messages": 5, "watchdog": 60}, 360),
    Scenario("memory", "scenario_memory.py",
             {"messages": 1_000_000, "watchdog": 600},
             {"messages": 20_000, "sample_every": 5_000, "warmup": 10_000, "watchdog": 60}, 660),
    Scenario("C++ tests under ASan+UBSan", "scenario_asan.py", {"watchdog": 700}, None, 760),
    Scenario("memcheck round trip", "scenario_memcheck.py", {"watchdog": 700}, None, 760),
    Scenario("bad input", None, {"examples": 200}, None, 900),
    Scenario("stale loss", "scenario_stale_loss.py",
             {"rounds": 3000, "watchdog": 1500}, {"rounds": 40, "watchdog": 60}, 1560),
    Scenario("secrets", "scenario_secrets.py", {"kills": 5, "watchdog": 300}, {"kills": 1, "watchdog": 90}, 360),
]

# Every console line the README documents; anything else starting with "[SDK] " is a fault.
DOCUMENTED = [re.compile(pattern) for pattern in (
    r"\[SDK\] Connected to \S+://\S+",
    r"\[SDK\] Already connected",
    r"\[SDK\] connect \u2014 call init\(\) first",
    r"\[SDK\] connect failed, rc=-?\d+( \(.+\))?",
    r"\[SDK\] Disconnected",
    r"\[SDK\] Not connected",
    r"\[SDK\] Subscribed to: .*",
    r"\[SDK\] Unsubscribed from: .*",
    r"\[SDK\] (publish|subscribe|unsubscribe) \u2014 not connected",
    r"\[SDK\] (publish|subscribe|unsubscribe) failed on '.*', rc=-?\d+",
    r"\[SDK\] Connection lost: .*",
    r"\[SDK\] Attempting to reconnect\.\.\.",
    r"\[SDK\] Reconnect failed, rc=-?\d+( \(.+\))?\. Retrying in \d+s",
    r"\[SDK\] Reconnected successfully to \S+://\S+",
    r"\[SDK\] (JWK import|JWE header creation|JWE encryption|JWE export) failed",
)]


def console_problems(text, expected_counts):
    problems = []
    lines = text.splitlines()
    odd = [line for line in lines if "[SDK] " in line and not any(p.fullmatch(line) for p in DOCUMENTED)]
    if odd:
        problems.append(f"{len(odd)} console lines not documented, first: {odd[:3]!r}")
    for prefix, count in expected_counts.items():
        found = sum(1 for line in lines if line.startswith(prefix))
        if found != count:
            problems.append(f"{found} console lines '{prefix}...' for {count} events")
    return problems


def run_pytest_scenario(scenario, params, logdir):
    """The bad-input property tests with more examples than the normal suite runs (the
    broker-side one takes half as many: each costs two connects)."""
    out, err = logdir / "bad-input.out", logdir / "bad-input.err"
    env = dict(os.environ, TARVO_BAD_INPUT_EXAMPLES=str(params["examples"]))
    started = time.monotonic()
    with open(out, "wb") as stdout, open(err, "wb") as stderr:
        # The property tests only: the fixed cases of the same file run with ./dev test.
        process = subprocess.run([sys.executable, "-m", "pytest", str(REPO / "tests" / "python" / "test_bad_input.py"),
                                  "-q", "-p", "no:cacheprovider", "--timeout=600",
                                  "-k", "test_arguments_are or test_keyword_arguments or test_extra_arguments or "
                                  "test_init_arguments or test_any_options or test_a_malformed_answer"],
                                 stdout=stdout, stderr=stderr, env=env, cwd=REPO, timeout=scenario.timeout)
    text = out.read_text(errors="replace")
    counts = dict((kind, int(n)) for n, kind in re.findall(r"(\d+) (passed|failed|error|errors)", text))
    failed = counts.get("failed", 0) + counts.get("error", 0) + counts.get("errors", 0)
    failures = re.findall(r"^FAILED (\S+)", text, flags=re.M)
    result = {
        "name": scenario.name,
        "figures": {"tests passed": f"{counts.get('passed', 0)}/{counts.get('passed', 0) + failed}",
                    "examples per test": f"up to {params['examples']}"},
        "violations": [f"{failed} property tests failed (exit {process.returncode}): {', '.join(failures[:6])}"]
        if failed or process.returncode else [],
        "notes": [], "console": {}, "seed": None,
    }
    result["crashes"] = 1 if process.returncode < 0 else 0
    result["hangs"] = 0
    result["seconds"] = time.monotonic() - started
    return result


def run_scenario(scenario, params, logdir, seed=None, timeout=None):
    """Runs one scenario in a fresh interpreter; returns its report (a dict) with the
    runner's own findings added: crashes, hangs, console problems, seconds."""
    logdir = Path(logdir)
    logdir.mkdir(parents=True, exist_ok=True)
    if scenario.script is None:
        return run_pytest_scenario(scenario, params, logdir)
    params = dict(params)
    if seed is not None:
        params.setdefault("seed", seed)
    stem = scenario.script.removeprefix("scenario_").removesuffix(".py")
    out_path, err_path, json_path = (logdir / f"{stem}.out", logdir / f"{stem}.err", logdir / f"{stem}.json")
    json_path.unlink(missing_ok=True)
    command = [sys.executable, "-X", "faulthandler", str(SOAK_DIR / scenario.script),
               "--params", json.dumps(params), "--out", str(json_path)]
    started = time.monotonic()
    timed_out = False
    with open(out_path, "wb") as stdout, open(err_path, "wb") as stderr:
        process = subprocess.Popen(command, stdout=stdout, stderr=stderr, cwd=SOAK_DIR, start_new_session=True)
        try:
            process.wait(timeout=timeout or scenario.timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(process.pid, signal.SIGKILL)  # the scenario's own process group only
            process.wait()
    seconds = time.monotonic() - started
    err_text = err_path.read_text(errors="replace")
    out_text = out_path.read_text(errors="replace")
    watchdog = "Timeout (" in err_text and "most recent call first" in err_text
    if json_path.exists():
        result = json.loads(json_path.read_text())
    else:
        result = {"name": scenario.name, "figures": {}, "violations": [], "notes": [], "console": {},
                  "seed": params.get("seed")}
        tail = err_text.strip().splitlines()[-12:]
        result["violations"].append(f"no report (exit {process.returncode}); stderr ends: " + " | ".join(tail))
    crashes = 1 if process.returncode is not None and process.returncode < 0 and not timed_out else 0
    hangs = int(result["figures"].pop("hangs", 0)) + (1 if watchdog or timed_out else 0)
    if crashes:
        result["violations"].append(f"crashed with signal {-process.returncode}; see {err_path}")
    if watchdog or timed_out:
        result["violations"].append(f"hung: {'watchdog fired' if watchdog else 'overran its time'}; "
                                    f"every thread's stack is in {err_path}")
    elif process.returncode and not crashes:
        result["violations"].append(f"exited with status {process.returncode}; see {err_path}")
    result["violations"] += console_problems(out_text + "\n" + err_text, result.get("console", {}))
    result["figures"]["crashes"] = crashes
    result["figures"]["hangs"] = hangs
    result["seconds"] = seconds
    result["logs"] = [str(out_path), str(err_path)]
    return result


def line_of(result):
    return ", ".join(f"{key} {value}" for key, value in result["figures"].items())


def table(results):
    rows = ["| scenario | figures | bounds | time |", "|---|---|---|---|"]
    for r in results:
        verdict = "held" if not r["violations"] else f"**{len(r['violations'])} broken**"
        rows.append(f"| {r['name']} | {line_of(r).replace('|', '/')} | {verdict} | {r['seconds']:.0f} s |")
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, help="base seed (each scenario adds its index); default: random")
    parser.add_argument("--only", help="comma-separated scenario names (or words of them)")
    parser.add_argument("--fast", action="store_true", help="the reduced runs of ./dev test")
    parser.add_argument("--logs", help="where each scenario's output goes (default: build/soak/<time>)")
    args = parser.parse_args()

    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(3), "big")
    chosen = SCENARIOS
    if args.only:
        wanted = [w.strip().lower() for w in args.only.split(",")]
        chosen = [s for s in SCENARIOS if any(w in s.name.lower() for w in wanted)]
    if args.fast:
        chosen = [s for s in chosen if s.fast is not None]
    logdir = Path(args.logs) if args.logs else REPO / "build" / "soak" / time.strftime("%Y%m%d-%H%M%S")
    print(f"soak: seed {seed} (./dev soak --seed {seed} repeats it), logs in {logdir}", flush=True)

    started = time.monotonic()
    results = []
    for index, scenario in enumerate(chosen):
        params = scenario.fast if args.fast else scenario.full
        print(f"soak: {scenario.name} ...", flush=True)
        timeout = params["watchdog"] + 30 if args.fast and "watchdog" in params else None
        result = run_scenario(scenario, params, logdir, seed=seed + index, timeout=timeout)
        results.append(result)
        print(f"soak: {scenario.name}: {line_of(result)} ({result['seconds']:.0f} s)", flush=True)
        for violation in result["violations"]:
            print(f"soak: {scenario.name}: BOUND BROKEN: {violation}", flush=True)
    total = time.monotonic() - started

    summary = table(results)
    print("\n" + summary + f"\n\ntotal {total / 60:.1f} min, seed {seed}")
    broken = [(r["name"], v) for r in results for v in r["violations"]]
    if not args.only and not args.fast:
        write_latest(results, summary, broken, seed, total)
    sys.exit(1 if broken else 0)


def write_latest(results, summary, broken, seed, total):
    lines = [
        "# Soak results",
        "",
        f"`./dev soak`, {time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores, Python {platform.python_version()}, "
        f"seed {seed} (`./dev soak --seed {seed}` repeats the random choices), {total / 60:.1f} minutes.",
        "",
        summary,
        "",
    ]
    if broken:
        lines += ["## Bounds broken", ""] + [f"- {name}: {text}" for name, text in broken] + [""]
    notes = [(r["name"], n) for r in results for n in r.get("notes", [])]
    if notes:
        lines += ["## Notes", ""] + [f"- {name}: {text}" for name, text in notes] + [""]
    target = SOAK_DIR / "results" / "latest.md"
    target.parent.mkdir(exist_ok=True)
    target.write_text("\n".join(lines))
    print(f"soak: wrote {target.relative_to(REPO)}")


if __name__ == "__main__":
    main()
