"""Secrets: an Enterprise client's whole session, with every byte it sends captured.

Mosquitto runs the tarvo-jwe-auth plugin (tests/python/plugin_broker.py), behind
fault_relay.py with --capture, which writes every byte of every connection to a file,
including connections it closes at once while the broker is down. A child process
runs the client: connect, publish and receive, ride out `kills` broker kills (SIGKILL,
by PID) and restarts, disconnect, connect once more, disconnect, stop. Then:

- the plain password appears in no byte the client sent (nor in any it received);
- every CONNECT carries a password that is a JWE token which the broker's private key
  (tests/keys/dev_broker_private.jwk) opens to exactly the password;
- each application connect seals a fresh token; the reconnect loop resends the token
  of the last connect;
- no console line of the child holds the password or any token (or any segment of a
  token but its protected header, which is the same for all), and neither does the
  broker's log.
"""

import json
import os
import random
import subprocess
import sys
import time
from pathlib import Path

from soaklib import KEYS, REPO, RelayProcess, scenario_main, script_env, wait_until  # first: it sets sys.path

from fake_server import parse_connect
from fault_relay import PacketStream
from plugin_broker import PASSWORD, USERNAME, PluginBroker

DEFAULTS = {
    "kills": 5,
    "min_gap": 0.5,
    "max_gap": 2.0,
    "watchdog": 300,
    "seed": None,
}

CHILD = """
import json, sys, time
from pathlib import Path
import tarvo_sdk
from tarvo_testsupport import wait_until

address, flags = sys.argv[1], Path(sys.argv[2])
username, password = sys.argv[3], sys.argv[4]

received, events = [], []
sdk = tarvo_sdk.SDK()
sdk.on_message(lambda topic, payload: received.append(payload))
def on_connection(connected, code):
    events.append([connected, code])
    if connected:
        sdk.subscribe("secrets/echo", 1)
sdk.on_connection(on_connection)
sdk.init("soak-secrets", address, "tcp", username, password, edition="Enterprise", maxReconnectInterval=1)
first = sdk.connect()
(flags / "connected").touch()
i = 0
deadline = time.monotonic() + 240
while not (flags / "done").exists() and time.monotonic() < deadline:
    sdk.publish("secrets/echo", f"m-{i}", 1)
    i += 1
    time.sleep(0.1)
back = wait_until(sdk.is_connected, 30)
sdk.publish("secrets/echo", "final", 1)
wait_until(lambda: "final" in received, 10)
sdk.disconnect()
second = sdk.connect()
sdk.disconnect()
sdk.on_connection(None)
sdk.stop()
print("SECRETS " + json.dumps({"first": first, "back": back, "second": second, "received": len(received),
                               "final": "final" in received, "events": events}), flush=True)
"""


def plugin_path():
    return Path(os.environ.get("TARVO_BROKER_PLUGIN", REPO / "build" / "broker" / "tarvo_jwe_auth.so"))


def open_token(token):
    from jwcrypto import jwe, jwk
    key = jwk.JWK.from_json((KEYS / "dev_broker_private.jwk").read_text())
    sealed = jwe.JWE()
    sealed.deserialize(token.decode("ascii"), key=key)
    return sealed.plaintext


def run(p, report):
    rng = random.Random(p["seed"])
    workdir = Path(p["workdir"])
    plugin = plugin_path()
    if not report.bound(plugin.exists(), f"the broker plugin {plugin} is not built (./dev build)"):
        return
    capture = workdir / "capture"
    capture.mkdir()
    flags = workdir / "flags"
    flags.mkdir()
    broker = PluginBroker(plugin, workdir / "broker")
    broker.start()
    relay = RelayProcess(workdir, broker.port, capture_dir=capture)
    child = None
    try:
        child = subprocess.Popen([sys.executable, "-c", CHILD, relay.address, str(flags), USERNAME, PASSWORD],
                                 env=script_env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        report.bound(wait_until((flags / "connected").exists, 30), "the child did not connect")
        kills = 0
        hangs = 0
        for _ in range(p["kills"]):
            time.sleep(rng.uniform(p["min_gap"], p["max_gap"]))
            broker.process.kill()  # SIGKILL, by PID
            broker.process.wait(10)
            kills += 1
            time.sleep(rng.uniform(p["min_gap"], p["max_gap"]))
            restarted = time.monotonic()
            broker.start()
            if relay.wait_for("connack", restarted, 20) is None:
                hangs += 1
                report.note(f"no CONNACK within 20 s after restart {kills}")
        (flags / "done").touch()
        stdout, stderr = child.communicate(timeout=120)
    finally:
        if child is not None and child.poll() is None:
            child.kill()
            stdout, stderr = child.communicate()
        relay.close()
        broker.stop()
    sys.stdout.buffer.write(stdout)
    sys.stderr.buffer.write(stderr)
    summary_lines = [line for line in stdout.decode(errors="replace").splitlines() if line.startswith("SECRETS ")]
    summary = json.loads(summary_lines[0][len("SECRETS "):]) if summary_lines else {}

    # --- what went over the wire -------------------------------------------------------
    sent = b""
    connects = []
    for path in sorted(capture.glob("*.c2b"), key=lambda f: int(f.stem)):
        data = path.read_bytes()
        sent += data
        for first, body in PacketStream().feed(data):
            if first & 0xF0 == 0x10:
                connects.append(parse_connect(body))
    received = b"".join(f.read_bytes() for f in capture.glob("*.b2c"))
    password = PASSWORD.encode()
    tokens = [c.password for c in connects]
    opened = 0
    for token in tokens:
        try:
            opened += open_token(token) == password
        except Exception as error:  # a token that does not open is a finding, not a crash
            report.note(f"a token did not open: {type(error).__name__}: {error}")
    distinct = len(set(tokens))
    secrets = [password] + sorted(set(tokens))
    segments = {segment for token in set(tokens) for segment in token.split(b".")[1:] if len(segment) >= 16}
    console = stdout + stderr
    broker_log = broker.log().encode()
    console_leaks = sum(console.count(s) for s in secrets) + sum(console.count(s) for s in segments)
    log_leaks = sum(broker_log.count(s) for s in secrets)
    usernames_ok = all(c.username == USERNAME.encode() for c in connects)

    report.figure("kills", kills)
    report.figure("connections captured", len(list(capture.glob("*.c2b"))))
    report.figure("CONNECTs", len(connects))
    report.figure("tokens opening to the password", f"{opened}/{len(tokens)}")
    report.figure("distinct tokens", distinct)
    report.figure("plain password in bytes sent/received", f"{sent.count(password)}/{received.count(password)}")
    report.figure("secrets in console/broker log", f"{console_leaks}/{log_leaks}")
    report.figure("hangs", hangs)

    report.bound(summary.get("first") and summary.get("second") and summary.get("back"),
                 f"the child's connects failed: {summary or stderr[-400:]!r}")
    report.bound(summary.get("final"), "the last message did not come back")
    report.bound(len(connects) >= kills + 2, f"{len(connects)} CONNECTs for {kills} kills and two connects")
    report.bound(opened == len(tokens) and tokens, f"only {opened} of {len(tokens)} tokens open to the password")
    report.bound(distinct == 2, f"{distinct} distinct tokens for two application connects")
    report.bound(sent.count(password) == 0 and received.count(password) == 0, "the plain password went over the wire")
    report.bound(usernames_ok, "a CONNECT carried another username")
    report.bound(console_leaks == 0, f"{console_leaks} secrets in the console")
    report.bound(log_leaks == 0, f"{log_leaks} secrets in the broker's log")
    report.bound(hangs == 0, f"{hangs} hangs")


if __name__ == "__main__":
    scenario_main("secrets", run, DEFAULTS)
