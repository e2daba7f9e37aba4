"""The tarvo-jwe-auth Mosquitto plugin, against a real broker and paho-mqtt clients."""

import base64
import json
import os
import queue
import statistics
import time
import uuid

import paho.mqtt.client as mqtt
import pytest
from jwcrypto import jwe, jwk

from plugin_broker import (  # noqa: F401  (fixtures are used by name)
    DEV_PRIVATE_KEY, DEV_PUBLIC_KEY, HOST, PASSWORD, USERNAME, broker_plugin, jwe_broker,
    start_broker)

pytestmark = pytest.mark.timeout(60)

ACCEPTED = 0
NOT_AUTHORISED = 135  # paho's code for the CONNACK "not authorised" of MQTT 3.1.1 and 5

DEV_KEY = jwk.JWK.from_json(DEV_PUBLIC_KEY.read_text())
OTHER_KEY = jwk.JWK.generate(kty="RSA", size=2048)


def seal(password: str, key: jwk.JWK = DEV_KEY, *, alg="RSA-OAEP", enc="A256GCM", **header) -> str:
    token = jwe.JWE(password.encode(), protected=json.dumps({"alg": alg, "enc": enc, **header}),
                    algs=[alg, enc])
    token.add_recipient(key)
    return token.serialize(compact=True)


def connect_result(broker, username: str, password: str, *, protocol=mqtt.MQTTv311,
                   client_id: str | None = None) -> int:
    """Connects once and returns the CONNACK reason code."""
    codes = []
    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, protocol=protocol,
                         client_id=client_id or f"probe-{uuid.uuid4().hex[:8]}")
    client.username_pw_set(username, password)
    client.on_connect = lambda _client, _userdata, _flags, code, _props: codes.append(code.value)
    client.connect(*broker.address, keepalive=10)
    deadline = time.monotonic() + 5
    try:
        while not codes and time.monotonic() < deadline:
            client.loop(timeout=0.1)
    finally:
        client.disconnect()
    assert codes, "no CONNACK"
    return codes[0]


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def with_segment(token: str, index: int, value: str) -> str:
    segments = token.split(".")
    segments[index] = value
    return ".".join(segments)


def refusal_medians(broker, attempts, rounds: int = 9) -> list[float]:
    """Median seconds to a refusal of each (username, password), the attempts taken in turns."""
    times = [[] for _ in attempts]
    for _ in range(rounds):
        for spent, (username, password) in zip(times, attempts):
            started = time.perf_counter()
            assert connect_result(broker, username, password) == NOT_AUTHORISED
            spent.append(time.perf_counter() - started)
    return [statistics.median(spent) for spent in times]


def fifo(directory):
    os.mkfifo(directory / "fifo")
    return directory / "fifo"


def key_copy(source, mode: int):
    """A callable that copies `source` into a directory with `mode` and returns its path."""
    def make(directory):
        copy = directory / f"key-{mode:o}.jwk"
        copy.write_bytes(source.read_bytes())
        copy.chmod(mode)
        return copy
    return make


class TestSealedPasswords:
    @pytest.mark.parametrize("protocol", [mqtt.MQTTv311, mqtt.MQTTv5], ids=["mqtt311", "mqtt5"])
    def test_right_password_is_accepted_and_its_token_reusable(self, jwe_broker, protocol):
        token = seal(PASSWORD)
        for _ in range(2):
            assert connect_result(jwe_broker, USERNAME, token, protocol=protocol) == ACCEPTED

    @pytest.mark.parametrize("username, token", [
        pytest.param(USERNAME, seal("wrong password"), id="wrong-password"),
        pytest.param("device-9", seal(PASSWORD), id="unknown-user"),
        pytest.param(USERNAME, seal(PASSWORD + "\0suffix"), id="nul-after-right-password"),
        pytest.param(USERNAME, seal(PASSWORD, OTHER_KEY), id="other-key"),
        pytest.param(USERNAME, seal(PASSWORD, alg="RSA1_5"), id="alg-RSA1_5"),
        pytest.param(USERNAME, seal(PASSWORD, enc="A128CBC-HS256"), id="enc-A128CBC-HS256"),
        pytest.param(USERNAME, seal(PASSWORD, kid=DEV_KEY.thumbprint()), id="extra-header-member"),
    ])
    def test_is_refused(self, jwe_broker, username, token):
        assert connect_result(jwe_broker, username, token) == NOT_AUTHORISED

    # An unknown name must not be refused faster than a known one with a wrong
    # password, or timing tells which names exist. The decoy follows the
    # costliest hash in the file, whether it came at start-up or by reload.
    @pytest.mark.parametrize("reread", ["restart", "reload"])
    @pytest.mark.timeout(180)  # 18 refusals of about 0.1 s each, ten times that under load
    def test_unknown_user_is_refused_as_slowly_as_a_known_one(self, jwe_broker, reread):
        jwe_broker.add_user("device-slow", "slow password", iterations=100_000)
        getattr(jwe_broker, reread)()
        token = seal("wrong password")
        attempts = [("device-none", token), ("device-slow", token)]
        unknown, known = refusal_medians(jwe_broker, attempts)
        figures = f"unknown {unknown * 1e3:.1f} ms, known {known * 1e3:.1f} ms"
        assert 1 / 3 < unknown / known < 3, figures  # a 1,000-round decoy made it about 1/30
        # device-7 keeps the default cost, and so stays quicker to refuse.
        assert "mixes hash kinds or costs" in jwe_broker.log()


class TestMalformedTokens:
    # The reason in the log shows which safeguard stopped the token.
    @pytest.mark.parametrize("corrupt, reason", [
        pytest.param(lambda t: with_segment(t, 3, "*" * 40), "malformed token", id="bad-base64"),
        pytest.param(lambda t: t.rsplit(".", 1)[0], "plain passwords are not allowed",
                     id="four-segments"),
        pytest.param(lambda t: "....", "protected header", id="empty-segments"),
        pytest.param(lambda t: with_segment(t, 0, b64url(b"{" * 3000)), "protected header",
                     id="garbage-header"),
        pytest.param(lambda t: with_segment(t, 1, b64url(os.urandom(256))), "cannot decrypt",
                     id="garbage-key"),
        pytest.param(lambda t: with_segment(t, 3, b64url(os.urandom(64))), "cannot decrypt",
                     id="garbage-ciphertext"),
        pytest.param(lambda t: with_segment(t, 3, "A" * 60000), "longer than 8192", id="huge"),
    ])
    def test_is_refused_and_broker_keeps_serving(self, jwe_broker, corrupt, reason):
        assert connect_result(jwe_broker, USERNAME, corrupt(seal(PASSWORD))) == NOT_AUTHORISED
        assert reason in jwe_broker.log()
        assert jwe_broker.alive
        assert connect_result(jwe_broker, USERNAME, seal(PASSWORD)) == ACCEPTED


class TestPlainPasswords:
    def test_refused_by_default(self, jwe_broker):
        assert connect_result(jwe_broker, USERNAME, PASSWORD) == NOT_AUTHORISED

    def test_allowed_by_option_and_still_checked(self, start_broker):
        broker = start_broker(allow_plain_passwords="true")
        results = [connect_result(broker, USERNAME, p) for p in (PASSWORD, "wrong", seal(PASSWORD))]
        assert results == [ACCEPTED, NOT_AUTHORISED, ACCEPTED]


def test_refusals_are_logged_reason_first_without_token_or_password(jwe_broker):
    attempts = [  # username, client id, password, reason
        (USERNAME, "c-1", seal(PASSWORD, OTHER_KEY), "cannot decrypt token"),
        (USERNAME, "c-2", with_segment(seal(PASSWORD), 3, b64url(os.urandom(64))),
         "cannot decrypt token"),
        (USERNAME, "c-3", seal("hunter2-wrong"), "unknown user or wrong password"),
        (USERNAME, "c-4", "hunter2-wrong", "plain passwords are not allowed"),
        # Mosquitto keeps about 1,000 characters of a log line.
        ("u" * 65535, "c" * 5000, seal(PASSWORD), "unknown user or wrong password"),
    ]
    shown = [f"client 'c-{n}', username '{USERNAME}'" for n in range(1, 5)]
    shown.append(f"client '{'c' * 64}…' (5000 bytes), username '{'u' * 64}…' (65535 bytes)")
    for username, client_id, password, _ in attempts:
        assert connect_result(jwe_broker, username, password, client_id=client_id) == NOT_AUTHORISED
    log = jwe_broker.log()
    lines = [line for line in log.splitlines() if "tarvo-jwe-auth: refused" in line]
    assert len(lines) == len(attempts)
    for line, (*_, reason), names in zip(lines, attempts, shown):
        assert f"tarvo-jwe-auth: refused ({reason}" in line
        assert line.endswith(f") from {HOST}: {names}")
    for secret in [PASSWORD, *(password for _, _, password, _ in attempts)]:
        assert secret not in log


class TestRestartAndReload:
    def test_client_reconnects_with_the_same_token_after_broker_restart(self, jwe_broker):
        connacks = queue.Queue()
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id="reconnecting")
        client.username_pw_set(USERNAME, seal(PASSWORD))
        client.reconnect_delay_set(min_delay=1, max_delay=1)
        client.on_connect = lambda _client, _userdata, _flags, code, _props: connacks.put(code.value)
        client.connect(*jwe_broker.address, keepalive=10)
        client.loop_start()
        try:
            assert connacks.get(timeout=10) == ACCEPTED
            jwe_broker.restart()
            assert connacks.get(timeout=20) == ACCEPTED
        finally:
            client.disconnect()
            client.loop_stop()

    def test_reload_picks_up_a_new_user(self, jwe_broker):
        jwe_broker.add_user("device-8", "second password")
        token = seal("second password")
        assert connect_result(jwe_broker, "device-8", token) == NOT_AUTHORISED
        jwe_broker.reload()
        assert connect_result(jwe_broker, "device-8", token) == ACCEPTED

    @pytest.mark.parametrize("spoil, complaint", [
        pytest.param(lambda broker: broker.password_file.write_text(f"{USERNAME}:{PASSWORD}\n"),
                     "not a password hash", id="plain-text-line"),
        pytest.param(lambda broker: broker.password_file.write_text("# everyone gone\n"),
                     "has no users", id="no-users"),
        pytest.param(lambda broker: (broker.key_file.unlink(), os.mkfifo(broker.key_file)),
                     "is not a regular file", id="key-fifo"),
    ])
    def test_failed_reload_keeps_previous_users(self, jwe_broker, spoil, complaint):
        spoil(jwe_broker)
        jwe_broker.reload()
        assert "reload failed, keeping previous settings" in jwe_broker.log()
        assert complaint in jwe_broker.log()
        assert connect_result(jwe_broker, USERNAME, seal(PASSWORD)) == ACCEPTED


def test_password_file_without_users_is_loaded_with_a_warning(start_broker, tmp_path):
    empty = tmp_path / "no-users"
    empty.write_text("# users come later\n")
    broker = start_broker(password_file=str(empty))
    assert f"password file {empty} has no users" in broker.log()
    assert connect_result(broker, USERNAME, seal(PASSWORD)) == NOT_AUTHORISED


# An option given as a callable is the path it makes in the test's directory.
@pytest.mark.parametrize("options, complaint", [
    pytest.param({"private_key_file": key_copy(DEV_PUBLIC_KEY, 0o600)}, "private half",
                 id="public-key"),
    pytest.param({"private_key_file": fifo}, "is not a regular file", id="key-fifo"),
    pytest.param({"private_key_file": key_copy(DEV_PRIVATE_KEY, 0o640)},
                 "can be read by others than its owner (mode 0640)", id="key-group-readable"),
    pytest.param({"private_key_file": key_copy(DEV_PRIVATE_KEY, 0o604)},
                 "can be read by others than its owner (mode 0604)", id="key-world-readable"),
    pytest.param({"password_file": "/nonexistent/passwords"}, "cannot open password file",
                 id="no-password-file"),
    pytest.param({"password_file": fifo}, "is not a regular file", id="password-file-fifo"),
    pytest.param({"allow_plain_password": "true"}, "unknown option plugin_opt_allow_plain_password",
                 id="misspelt-option"),
])
def test_broker_refuses_to_start_with_a_bad_setting(start_broker, tmp_path, options, complaint):
    options = {key: str(value(tmp_path)) if callable(value) else value
               for key, value in options.items()}
    broker = start_broker(wait=False, **options)
    assert broker.wait_for_exit() != 0
    assert complaint in broker.log()
