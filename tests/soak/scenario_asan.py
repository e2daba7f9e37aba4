"""The core's C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer
(`./dev build` makes them in build/asan; TARVO_SOAK_ASAN_DIR names another build),
run under ctest with leak detection on, the floods that ./dev test leaves out
included. Figures: tests passed, and every sanitizer
report found in their output."""

import os
import re
import subprocess
import sys
from pathlib import Path

from soaklib import REPO, scenario_main

DEFAULTS = {
    "jobs": 1,  # as ./dev test runs them: some are timing-sensitive under load
    "timeout": 600,
    "watchdog": 700,
    "seed": None,
}

REPORTS = re.compile(rb"ERROR: (AddressSanitizer|LeakSanitizer|ThreadSanitizer): [^\n]*|runtime error: [^\n]*")
SUMMARY = re.compile(rb"SUMMARY: \w+Sanitizer: [^\n]*")


def run(p, report):
    build = Path(os.environ.get("TARVO_SOAK_ASAN_DIR", REPO / "build" / "asan"))
    if not report.bound((build / "CTestTestfile.cmake").exists(), f"no sanitizer build in {build} (./dev build)"):
        return
    env = dict(os.environ, ASAN_OPTIONS="halt_on_error=1:detect_leaks=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    process = subprocess.run(["ctest", "--test-dir", str(build), "--output-on-failure", "--timeout", "300",
                              "-j", str(p["jobs"]), "--no-tests=error"],
                             env=env, capture_output=True, timeout=p["timeout"])
    sys.stdout.buffer.write(process.stdout)
    sys.stderr.buffer.write(process.stderr)
    out = process.stdout
    summary = re.search(rb"(\d+)% tests passed, (\d+) tests? failed out of (\d+)", out)
    failed_names = re.findall(rb"^\s+\d+ - (\S+) \(", out, flags=re.M)
    findings = sorted({m.decode(errors="replace") for m in SUMMARY.findall(out)})
    reports = REPORTS.findall(out)

    if summary:
        total, failed = int(summary.group(3)), int(summary.group(2))
        report.figure("tests passed", f"{total - failed}/{total}")
    else:
        report.figure("tests passed", "?")
        failed = None
    report.figure("sanitizer reports", len(reports))
    for finding in findings:
        report.note(finding)
    if failed_names:
        report.note("failed: " + ", ".join(n.decode() for n in failed_names))
    report.bound(failed == 0, f"{failed} C++ tests failed under the sanitizers: "
                 + ", ".join(n.decode() for n in failed_names[:5]))
    report.bound(not reports, f"{len(reports)} sanitizer reports: " + "; ".join(findings[:3]))


if __name__ == "__main__":
    scenario_main("C++ tests under ASan+UBSan", run, DEFAULTS)
