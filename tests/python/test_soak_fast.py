"""The soak scenarios of tests/soak/ (`./dev soak`) with small counts: broker kills, a
flaky network, threads sharing one object, many clients, memory over many messages,
sessions closed right after they were granted, and the secrets of an Enterprise
session. Each runs in a fresh interpreter through the soak runner, which also reports
crashes, hangs (with every thread's stack in the log) and console lines the README does
not document; every bound the scenario sets must hold."""

import sys
from pathlib import Path

import pytest

SOAK = Path(__file__).resolve().parents[1] / "soak"
sys.path.insert(0, str(SOAK))

from run import SCENARIOS, run_scenario  # noqa: E402


@pytest.mark.parametrize("scenario", [
    pytest.param(s, id=s.name.replace(" ", "-"), marks=pytest.mark.timeout(s.fast["watchdog"] + 60))
    for s in SCENARIOS if s.fast is not None
])
def test_scenario_in_small(scenario, tmp_path):
    result = run_scenario(scenario, scenario.fast, tmp_path, seed=1234, timeout=scenario.fast["watchdog"] + 30)
    figures = ", ".join(f"{key} {value}" for key, value in result["figures"].items())
    print(f"{scenario.name}: {figures}")
    assert not result["violations"], f"{figures}\n" + "\n".join(result["violations"] + result.get("notes", []))
