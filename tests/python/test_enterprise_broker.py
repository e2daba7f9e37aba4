"""The Enterprise edition end to end: the module against a real Mosquitto that runs the
tarvo-jwe-auth plugin. The sealed password gets in, a wrong or a plain one does not
(unless the broker allows plain passwords), and after a broker restart the reconnect
loop gets in again with the token of the last connect. A relay between the module and
the broker records each CONNECT password, so the tests know the tokens that went out
and can look for them (and the password) in the console and in the broker log."""

import re
import socket
import subprocess
import sys

import pytest
from jwcrypto import jwe, jwk

from tarvo_testsupport import HOST, KEYS, TcpServer, run_script, script_env, shut_down, wait_until
from fake_server import packet, parse_connect, read_packet
from plugin_broker import (  # noqa: F401  (fixtures are used by name)
    PASSWORD, USERNAME, broker_plugin, jwe_broker, start_broker)

pytestmark = pytest.mark.timeout(120)

BROKER_KEY = jwk.JWK.from_json((KEYS / "dev_broker_private.jwk").read_text())
# A refusal is CONNACK 5 ("not authorised") of MQTT 3.1.1. The protocol version is left
# to the library, which retries a refused connect at MQTT 3.1 on a fresh socket; now and
# then it loses that second CONNACK to the broker's close and reports a socket error (-1).
REFUSED = re.compile(rb"\[SDK\] connect failed, rc=(5|-1)\n")


def open_token(token: bytes) -> bytes:
    sealed = jwe.JWE()
    sealed.deserialize(token.decode("ascii"), key=BROKER_KEY)
    return sealed.plaintext


class CredentialTap(TcpServer):
    """Relays TCP to the broker and records the password of every CONNECT it passes on.
    A connection is refused (closed at once) while the broker is not listening."""

    def __init__(self, target_port: int):
        self.target_port = target_port
        self.passwords: list[bytes | None] = []
        self.errors: list[Exception] = []
        super().__init__()

    def serve(self, client: socket.socket):
        try:
            client.settimeout(10)
            kind, body = read_packet(client)
            password = parse_connect(body).password
            client.settimeout(None)
        except (OSError, ConnectionError, ValueError) as error:
            if isinstance(error, ValueError):
                self.errors.append(error)
            shut_down(client)
            return
        if self.forward_to(client, self.target_port, packet(kind, body)):
            with self.lock:
                self.passwords.append(password)

    def recorded(self) -> list[bytes | None]:
        with self.lock:
            return list(self.passwords)


@pytest.fixture
def tap_to():
    taps = []

    def make(broker) -> CredentialTap:
        taps.append(CredentialTap(broker.port))
        return taps[-1]

    yield make
    for tap in taps:
        tap.close()
        assert tap.errors == []


def assert_secrets_kept(secrets, *texts: bytes):
    for secret in secrets:
        for text in texts:
            assert secret not in text


CONNECT_ONCE = """\
import tarvo_sdk
sdk = tarvo_sdk.SDK()
sdk.init({client_id!r}, {address!r}, "tcp", {username!r}, {password!r},
         autoReconnect=False, edition={edition!r})
print("connect:", sdk.connect())
print("connected:", sdk.is_connected())
sdk.stop()
"""


@pytest.mark.parametrize("edition, password, options, accepted, refusal", [
    pytest.param("Enterprise", PASSWORD, {}, True, None, id="enterprise-right-password"),
    pytest.param("Enterprise", "wrong " + PASSWORD, {}, False, "unknown user or wrong password",
                 id="enterprise-wrong-password"),
    pytest.param("Community", PASSWORD, {}, False, "plain passwords are not allowed",
                 id="community-plain-refused"),
    pytest.param("Community", PASSWORD, {"allow_plain_passwords": "true"}, True, None,
                 id="community-plain-allowed-by-option"),
    pytest.param("Enterprise", PASSWORD, {"allow_plain_passwords": "true"}, True, None,
                 id="enterprise-on-plain-allowing-broker"),
    pytest.param("Community", "wrong " + PASSWORD, {"allow_plain_passwords": "true"}, False,
                 "unknown user or wrong password", id="community-plain-allowed-wrong-password"),
])
def test_connect_against_the_plugin(start_broker, tap_to, edition, password, options, accepted, refusal):
    broker = start_broker(**options)
    tap = tap_to(broker)
    client_id = f"ent-{edition.lower()}"
    result = run_script(CONNECT_ONCE.format(client_id=client_id, address=tap.address, username=USERNAME,
                                            password=password, edition=edition))
    assert result.returncode == 0, result
    assert f"connect: {accepted}\nconnected: {accepted}\n".encode() in result.stdout, result
    if accepted:
        assert b"connect failed" not in result.stderr, result
    else:
        assert REFUSED.fullmatch(result.stderr), result

    sent = tap.recorded()
    assert sent, "no CONNECT reached the broker"
    if edition == "Enterprise":
        assert all(open_token(token) == password.encode() for token in sent)
    else:
        assert sent == [password.encode()] * len(sent)

    log = broker.log()
    if refusal is None:
        assert "tarvo-jwe-auth: refused" not in log
    else:
        assert (f"tarvo-jwe-auth: refused ({refusal}) from {HOST}: "
                f"client '{client_id}', username '{USERNAME}'") in log
    assert_secrets_kept([password.encode(), *sent], result.stdout + result.stderr, log.encode())


RECONNECT = """\
import pathlib, time
import tarvo_sdk
from tarvo_testsupport import wait_until

flags = pathlib.Path({flags!r})

def tell(name):
    (flags / name).touch()

def heard(name):
    return wait_until((flags / name).exists, 30)

sdk = tarvo_sdk.SDK()
sdk.init("ent-reconnect", {address!r}, "tcp", {username!r}, {password!r},
         autoReconnect=True, maxReconnectInterval=1, edition="Enterprise")
print("connect:", sdk.connect())
tell("connected")
heard("broker-down")
print("lost:", wait_until(lambda: not sdk.is_connected(), 20))
tell("lost")
heard("broker-up")
print("back:", wait_until(sdk.is_connected, 30))
sdk.stop()
"""


def test_reconnect_after_broker_restart_resends_the_token(jwe_broker, tap_to, tmp_path):
    tap = tap_to(jwe_broker)
    flags = tmp_path / "flags"
    flags.mkdir()
    script = RECONNECT.format(flags=str(flags), address=tap.address, username=USERNAME, password=PASSWORD)
    process = subprocess.Popen([sys.executable, "-c", script], env=script_env(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert wait_until((flags / "connected").exists, timeout=30)
        first = tap.recorded()
        jwe_broker.stop()
        (flags / "broker-down").touch()
        assert wait_until((flags / "lost").exists, timeout=30)
        jwe_broker.start()
        (flags / "broker-up").touch()
        stdout, stderr = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()

    assert process.returncode == 0, (stdout, stderr)
    assert b"connect: True\n" in stdout and b"lost: True\n" in stdout, (stdout, stderr)
    assert b"back: True\n" in stdout, (stdout, stderr)
    assert f"[SDK] Reconnected successfully to tcp://{tap.address}\n".encode() in stdout

    # One token, sealed at connect, is what every later attempt sends.
    sent = tap.recorded()
    assert len(first) == 1 and len(sent) >= 2, sent
    assert set(sent) == set(first)
    assert open_token(first[0]) == PASSWORD.encode()

    log = jwe_broker.log()
    assert "tarvo-jwe-auth: refused" not in log
    assert_secrets_kept([PASSWORD.encode(), first[0]], stdout + stderr, log.encode())
