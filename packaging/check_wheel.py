"""The installed wheel's check (packaging/build-wheel check), run by a venv's Python in a
root that holds Python 3.14 and Mosquitto but none of the module's libraries.

It starts Mosquitto on a free loopback port and sends a binary payload (every byte
value, NUL and invalid UTF-8 among them) through it at QoS 1 and back. Then it checks
that the module took nothing from the system but glibc and libgcc_s (no libstdc++,
libcrypto, Paho, cjose or jansson mapped into the process), and what the Enterprise
edition does against a broker with the project's plugin and no anonymous access
(--plugin-broker, run by ./dev wheel), which opens a sealed password and refuses a plain
one: with a key compiled in (--key given) it connects, while the Community edition,
sending the same password unsealed, is refused; with no key (--key none) it fails
closed, printing "[SDK] JWK import failed" and never connecting, neither to that broker
nor to a listener that would take any connection. Exits non-zero on the first failure."""

import argparse
import os
import pwd
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import tarvo_sdk

HOST = "127.0.0.1"
PAYLOAD = bytes(range(256)) * 4
# The user the plugin broker knows (packaging/build-wheel plugin-broker).
USER, PASSWORD = "wheel-check", "wheel-check-password"
# Connects to argv[1] in the edition argv[2]; exits 10 when connect returned True, 11 when
# False, before anything else is written.
CONNECT = f"""\
import os, sys, tarvo_sdk
sdk = tarvo_sdk.SDK()
sdk.init("wheel-check-" + sys.argv[2], sys.argv[1], "tcp", {USER!r}, {PASSWORD!r}, connectTimeout=2,
         autoReconnect=False, edition=sys.argv[2])
os._exit(10 if sdk.connect() else 11)
"""


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return int(s.getsockname()[1])


def start_mosquitto(workdir: Path) -> tuple[subprocess.Popen[bytes], str]:
    port = free_port()
    config = workdir / "mosquitto.conf"
    # user: started as root, Mosquitto would switch to "mosquitto".
    user = pwd.getpwuid(os.getuid()).pw_name
    config.write_text(f"listener {port} {HOST}\nallow_anonymous true\nuser {user}\n")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", str(config)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)  # fmt: skip
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection((HOST, port), timeout=0.2).close()
            return broker, f"{HOST}:{port}"
        except OSError:
            if time.monotonic() > deadline:
                sys.exit("check: Mosquitto did not start")
            time.sleep(0.05)


def round_trip(address: str) -> None:
    arrived = threading.Event()
    received: list[bytes] = []

    def on_message(topic: str, payload: str) -> None:
        received.append(payload.encode("utf-8", "surrogateescape"))
        arrived.set()

    sdk = tarvo_sdk.SDK()
    sdk.on_message(on_message)
    sdk.init("wheel-check", address, "tcp", "", "")
    assert sdk.connect(), "check: could not connect to Mosquitto"
    assert sdk.subscribe("check/wheel", qos=1), "check: subscribe refused"
    sdk.publish("check/wheel", PAYLOAD, qos=1)
    assert arrived.wait(10), "check: the message did not come back"
    sdk.stop()
    assert received == [PAYLOAD], f"check: came back different: {received[0][:32]!r}..."
    print(f"check: round trip through Mosquitto at {address}: {len(PAYLOAD)} bytes at QoS 1, unchanged")


def mapped_libraries() -> set[str]:
    return {Path(line.split()[-1]).name for line in Path("/proc/self/maps").read_text().splitlines()
            if "/" in line and ".so" in line}  # fmt: skip


def only_glibc_from_the_system() -> None:
    foreign = {name for name in mapped_libraries()
               if any(part in name for part in ("stdc++", "crypto", "paho", "cjose", "jansson"))}  # fmt: skip
    assert not foreign, f"check: the module loaded system libraries: {sorted(foreign)}"
    print("check: no libstdc++, libcrypto, Paho, cjose or jansson loaded from the system")


def connect(address: str, edition: str) -> subprocess.CompletedProcess[str]:
    """In a child, whose stderr (the C++ side writes to it) is read here."""
    return subprocess.run([sys.executable, "-I", "-c", CONNECT, address, edition], capture_output=True, text=True,
                          timeout=60)  # fmt: skip


def enterprise(key: str, plugin_broker: str) -> None:
    if key == "none":
        result = connect(plugin_broker, "Enterprise")
        assert result.returncode == 11, (result.returncode, result.stderr)
        assert result.stderr == "[SDK] JWK import failed\n", repr(result.stderr)
        # A listener that never answers: it must see no connection at all.
        with socket.socket() as listener:
            listener.bind((HOST, 0))
            listener.listen()
            listener.settimeout(0.5)
            result = connect("%s:%d" % listener.getsockname(), "Enterprise")
            try:
                listener.accept()[0].close()
                connected = True
            except TimeoutError:
                connected = False
        assert result.returncode == 11, (result.returncode, result.stderr)
        assert result.stderr == "[SDK] JWK import failed\n", repr(result.stderr)
        assert not connected, "check: the Enterprise edition connected without a key"
        print("check: no broker key compiled in: the Enterprise edition fails closed "
              "('[SDK] JWK import failed', connect() is False, no connection)")  # fmt: skip
    else:
        result = connect(plugin_broker, "Enterprise")
        assert result.returncode == 10, (result.returncode, result.stderr)
        result = connect(plugin_broker, "Community")
        assert result.returncode == 11, ("check: the plugin broker took a plain password", result.stderr)
        print(f"check: broker key compiled in: the Enterprise edition seals and connects to the broker with the "
              f"plugin at {plugin_broker}, which refuses the same password unsealed")  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--key", choices=("none", "given"), required=True)
    parser.add_argument("--plugin-broker", required=True, help="host:port of Mosquitto with the tarvo-jwe-auth plugin")
    args = parser.parse_args()
    assert tarvo_sdk.__file__ and tarvo_sdk.__file__.startswith(sys.prefix), tarvo_sdk.__file__
    print(f"check: imported {tarvo_sdk.__file__}")
    with tempfile.TemporaryDirectory() as workdir:
        broker, address = start_mosquitto(Path(workdir))
        try:
            round_trip(address)
            only_glibc_from_the_system()
            enterprise(args.key, args.plugin_broker)
        finally:
            broker.kill()
            broker.wait()


if __name__ == "__main__":
    main()
