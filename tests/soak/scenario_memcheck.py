"""A short Python round trip (memcheck_roundtrip.py) under valgrind memcheck, with
PYTHONMALLOC=malloc so that every Python object is a malloc block memcheck can follow.

The interpreter itself leaves thousands of blocks at exit and reports some as possibly
lost; those are not this project's. Memcheck's XML report is read and each error (leak
or bad access) is attributed to this project when any frame of any of its stacks (the
access, where the block was allocated, where it was freed) is in the project's own code:
a function in namespace tarvo, or a source file under core/ or binding/. Only those count
against the bound; the rest are counted as the interpreter's or the libraries'."""

import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from soaklib import REPO, SOAK_DIR, free_port, scenario_main

DEFAULTS = {
    "timeout": 600,
    "watchdog": 700,
    "seed": None,
}

PROJECT_DIRS = (str(REPO / "core"), str(REPO / "binding"))


def frames(error):
    for stack in error.iter("stack"):
        for frame in stack.iter("frame"):
            yield frame


def is_project_frame(frame):
    fn = frame.findtext("fn") or ""
    directory = frame.findtext("dir") or ""
    return fn.startswith("tarvo::") or "tarvo::" in fn.split("(")[0] or directory.startswith(PROJECT_DIRS)


def is_leak(error):
    return error.findtext("kind") in ("Leak_DefinitelyLost", "Leak_IndirectlyLost", "Leak_PossiblyLost")


def is_module_setup(error):
    """What the module's import sets up (its class and functions, and pybind11's state for
    the interpreter, which pybind11 keeps to the end of the process by design): made
    once, and found at exit only through pointers into it, as possibly lost."""
    return error.findtext("kind") == "Leak_PossiblyLost" and any(
        (f.findtext("fn") or "").startswith(("PyInit_tarvo_sdk", "pybind11_exec_tarvo_sdk")) for f in frames(error))


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    first = next((f for f in frames(error) if is_project_frame(f)), None)
    where = f"{first.findtext('fn')} ({first.findtext('file')}:{first.findtext('line')})" if first is not None else "?"
    return f"{error.findtext('kind')}: {what} at {where}"


def run(p, report):
    workdir = Path(p["workdir"])
    port = free_port()
    config = workdir / "mosquitto.conf"
    config.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    xml_path = workdir / "memcheck.xml"
    env = dict(os.environ, PYTHONMALLOC="malloc")
    command = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
               "--num-callers=40", "--xml=yes", f"--xml-file={xml_path}",
               sys.executable, str(SOAK_DIR / "memcheck_roundtrip.py"), str(port), str(config)]
    process = subprocess.run(command, env=env, capture_output=True, timeout=p["timeout"])
    sys.stdout.buffer.write(process.stdout)
    sys.stderr.buffer.write(process.stderr)
    roundtrip = [line for line in process.stdout.decode(errors="replace").splitlines()
                 if line.startswith("ROUNDTRIP")]

    if p.get("outdir"):
        shutil.copy(xml_path, Path(p["outdir"]) / "memcheck.xml")
        report.note(f"memcheck's report: {Path(p['outdir']) / 'memcheck.xml'}")
    ours, others, setup = [], [], []
    for error in ElementTree.parse(xml_path).getroot().iter("error"):
        if is_module_setup(error):
            setup.append(error)
        else:
            (ours if any(is_project_frame(f) for f in frames(error)) else others).append(error)
    our_leaks = [e for e in ours if is_leak(e)]
    our_errors = [e for e in ours if not is_leak(e)]
    other_leaks = [e for e in others if is_leak(e)]
    leaked = sum(int(e.findtext("xwhat/leakedbytes") or 0) for e in our_leaks)

    report.figure("round trip", roundtrip[0][len("ROUNDTRIP "):] if roundtrip else "did not finish")
    report.figure("leaks in tarvo code", f"{len(our_leaks)} ({leaked} bytes)")
    report.figure("bad accesses in tarvo code", len(our_errors))
    report.figure("module set-up kept to the end", f"{len(setup)} blocks")
    report.figure("others' (interpreter, libraries)", f"{len(other_leaks)} leak records, "
                  f"{len(others) - len(other_leaks)} errors")
    for error in ours[:10]:
        report.note(describe(error))
    report.bound(process.returncode == 0 and roundtrip and roundtrip[0].startswith("ROUNDTRIP ok"),
                 f"the round trip failed (exit {process.returncode}): {roundtrip}")
    report.bound(not our_leaks, f"{len(our_leaks)} leaks in tarvo code: " + "; ".join(map(describe, our_leaks[:3])))
    report.bound(not our_errors, f"{len(our_errors)} bad accesses in tarvo code: "
                 + "; ".join(sorted(set(map(describe, our_errors)))[:3]))


if __name__ == "__main__":
    scenario_main("memcheck round trip", run, DEFAULTS)
