"""A real Mosquitto on a free loopback port, authenticating with the tarvo-jwe-auth plugin.

Tests use the fixtures by importing them:

    from plugin_broker import broker_plugin, jwe_broker  # noqa: F401

`jwe_broker` is a started PluginBroker: `.address` is (host, port), and
`.username` / `.password` are the one user in its password file. Its key file is
a copy of the development private key that only its owner may read, as the
plugin demands.
"""

from __future__ import annotations

import getpass
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DEV_PRIVATE_KEY = REPO / "tests" / "keys" / "dev_broker_private.jwk"
DEV_PUBLIC_KEY = REPO / "tests" / "keys" / "dev_broker_public.jwk"
HOST = "127.0.0.1"
USERNAME = "device-7"
PASSWORD = "correct horse battery staple"


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class PluginBroker:
    def __init__(self, plugin: pathlib.Path, workdir: pathlib.Path, **plugin_options: str):
        self.plugin = plugin
        self.workdir = workdir
        workdir.mkdir(parents=True, exist_ok=True)
        self.username, self.password = USERNAME, PASSWORD
        self.password_file = workdir / "passwords"
        self.key_file = workdir / "broker_private.jwk"
        self.log_path = workdir / "mosquitto.log"
        # A checkout leaves the key readable by everyone, which the plugin refuses.
        self.key_file.touch(mode=0o600)
        self.key_file.write_bytes(DEV_PRIVATE_KEY.read_bytes())
        self.plugin_options = {
            "private_key_file": str(self.key_file),
            "password_file": str(self.password_file),
            **plugin_options,
        }
        self.port = _free_port()
        self.process: subprocess.Popen | None = None
        self.add_user(USERNAME, PASSWORD, create=True)

    @property
    def address(self) -> tuple[str, int]:
        return HOST, self.port

    def add_user(self, username: str, password: str, *, create: bool = False,
                 iterations: int | None = None) -> None:
        """Adds a user; with `iterations`, hashed with PBKDF2 of that many rounds."""
        cost = ["-H", "sha512-pbkdf2", "-I", str(iterations)] if iterations else []
        subprocess.run(["mosquitto_passwd", *(["-c"] if create else []), *cost, "-b",
                        str(self.password_file), username, password],
                       check=True, capture_output=True, timeout=30)

    def config(self) -> str:
        lines = [
            "allow_anonymous false",
            f"listener {self.port} {HOST}",
            f"plugin {self.plugin}",
            *(f"plugin_opt_{key} {value}" for key, value in self.plugin_options.items()),
            f"log_dest file {self.log_path}",
            "log_type all",
            # Started as root, Mosquitto would otherwise switch to the
            # "mosquitto" user, which cannot read the test's private files.
            f"user {getpass.getuser()}",
        ]
        return "\n".join(lines) + "\n"

    def start(self, *, wait: bool = True) -> None:
        conf = self.workdir / "mosquitto.conf"
        conf.write_text(self.config())
        with open(self.workdir / "mosquitto.out", "ab") as out:
            self.process = subprocess.Popen(["mosquitto", "-c", str(conf)],
                                            stdout=out, stderr=subprocess.STDOUT)
        if wait:
            self._wait_until_listening()

    def _wait_until_listening(self, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"mosquitto exited with {self.process.returncode}:\n{self.log()}")
            try:
                socket.create_connection(self.address, timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"mosquitto not listening after {timeout}s:\n{self.log()}")

    def wait_for_exit(self, timeout: float = 10.0) -> int:
        return self.process.wait(timeout=timeout)

    @property
    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def reload(self) -> None:
        mark = self.log().count("tarvo-jwe-auth: reload")
        self.process.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + 10
        while self.log().count("tarvo-jwe-auth: reload") == mark:
            assert time.monotonic() < deadline, "broker did not reload"
            time.sleep(0.05)

    def stop(self) -> None:
        if self.alive:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)

    def restart(self) -> None:
        self.stop()
        self.start()

    def log(self) -> str:
        return "".join(path.read_text(encoding="utf-8", errors="replace")
                       for path in (self.log_path, self.workdir / "mosquitto.out") if path.exists())


@pytest.fixture(scope="session")
def broker_plugin(tmp_path_factory) -> pathlib.Path:
    """The built plugin: $TARVO_BROKER_PLUGIN, else build/broker/, else built here."""
    if "TARVO_BROKER_PLUGIN" in os.environ:
        return pathlib.Path(os.environ["TARVO_BROKER_PLUGIN"])
    built = REPO / "build" / "broker" / "tarvo_jwe_auth.so"
    if built.exists():
        return built
    build_dir = tmp_path_factory.mktemp("broker-build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", str(REPO / "broker"), "-B", str(build_dir), *generator],
                   check=True, capture_output=True, timeout=300)
    subprocess.run(["cmake", "--build", str(build_dir)], check=True, capture_output=True, timeout=600)
    return build_dir / "tarvo_jwe_auth.so"


@pytest.fixture
def start_broker(broker_plugin, tmp_path):
    """Starts a PluginBroker with the given plugin options; stops it after the test."""
    brokers = []

    def start(*, wait: bool = True, **plugin_options: str) -> PluginBroker:
        broker = PluginBroker(broker_plugin, tmp_path / f"broker{len(brokers)}", **plugin_options)
        brokers.append(broker)
        broker.start(wait=wait)
        return broker

    yield start
    for broker in brokers:
        broker.stop()


@pytest.fixture
def jwe_broker(start_broker) -> PluginBroker:
    """A started broker with default plugin options (tokens only)."""
    return start_broker()
