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


# Now and then the library drops the session that follows one a server closed right
# after granting it: its receiving thread signals that session's CONNACK twice, the
# next connect of the handle takes the stale signal for its own answer, abandons its
# CONNECT and retries with MQTT 3.1, and the broker lets the abandoned CONNECT take the
# new session over (a loss 1 ms after its CONNACK). Nothing the caller can do keeps the
# handle's session state and avoids it; the full scenario of ./dev soak counts it.
LIBRARY_DROPS_NEXT_SESSION = pytest.mark.xfail(
    strict=False, reason="the library now and then drops the session after one its server closed")


def marks(scenario):
    found = [pytest.mark.timeout(scenario.fast["watchdog"] + 60)]
    if scenario.name == "stale loss":
        found.append(LIBRARY_DROPS_NEXT_SESSION)
    return found


@pytest.mark.parametrize("scenario", [
    pytest.param(s, id=s.name.replace(" ", "-"), marks=marks(s)) for s in SCENARIOS if s.fast is not None
])
def test_scenario_in_small(scenario, tmp_path):
    result = run_scenario(scenario, scenario.fast, tmp_path, seed=1234, timeout=scenario.fast["watchdog"] + 30)
    figures = ", ".join(f"{key} {value}" for key, value in result["figures"].items())
    print(f"{scenario.name}: {figures}")
    assert not result["violations"], f"{figures}\n" + "\n".join(result["violations"] + result.get("notes", []))
