"""Enterprise credential sealing, seen in the raw CONNECT packet: with edition
"Enterprise" the password goes out as a compact JWE sealed to the broker key (the
dev key pair in tests/keys), any other edition sends the password as given."""

import base64
import json

import pytest
import tarvo_sdk
from jwcrypto import jwe, jwk

from tarvo_testsupport import KEYS
from sdk_helpers import run_sdk

pytestmark = pytest.mark.timeout(60)

BROKER_KEY = jwk.JWK.from_json((KEYS / "dev_broker_private.jwk").read_text())
USERNAME = "device-7"


def b64url_decode(segment: bytes) -> bytes:
    return base64.urlsafe_b64decode(segment + b"=" * (-len(segment) % 4))


def open_token(token: bytes) -> bytes:
    """The plaintext of a compact JWE sealed to the dev broker key."""
    sealed = jwe.JWE()
    try:
        sealed.deserialize(token.decode("ascii"), key=BROKER_KEY)
    except jwe.InvalidJWEData:
        # jwcrypto decrypts and authenticates an empty plaintext, then refuses it as if
        # no key matched; plaintext is set only after the decryption succeeded.
        if sealed.plaintext == b"":
            return b""
        raise
    return sealed.plaintext


def connect_once(fake_server, password, edition=None, username=USERNAME):
    """Connects a fresh client to the fake server and returns its CONNECT packet."""
    sdk = tarvo_sdk.SDK()
    options = {} if edition is None else {"edition": edition}
    sdk.init("sealer", fake_server.address, "tcp", username, password, **options)
    try:
        assert sdk.connect()
        return fake_server.next_connect()
    finally:
        sdk.stop()


PASSWORDS = [
    ("correct horse battery staple", b"correct horse battery staple"),
    ("p\u00e4ssw\u00f6rd", "p\u00e4ssw\u00f6rd".encode()),
    (b"a\x00b", b"a\x00b"),
    (b"\xff\xfe\x00", b"\xff\xfe\x00"),
    (bytearray(b"from bytearray"), b"from bytearray"),
    ("", b""),
    ("x" * 4096, b"x" * 4096),
]


@pytest.mark.parametrize("password, plaintext", PASSWORDS,
                         ids=["ascii", "non-ascii", "nul", "binary", "bytearray", "empty", "long"])
def test_enterprise_password_is_a_jwe_sealed_to_the_broker_key(fake_server, password, plaintext):
    packet = connect_once(fake_server, password, "Enterprise")
    token = packet.password
    assert packet.flags & 0xC0 == 0xC0  # username and password present
    segments = token.split(b".")
    assert len(segments) == 5
    assert all(b"=" not in segment for segment in segments)
    header = json.loads(b64url_decode(segments[0]))
    assert header == {"alg": "RSA-OAEP", "enc": "A256GCM"}
    assert len(b64url_decode(segments[1])) == 256  # the CEK wrapped by the 2048-bit key
    assert len(b64url_decode(segments[2])) == 12  # GCM IV
    assert len(b64url_decode(segments[3])) == len(plaintext)  # GCM ciphertext
    assert len(b64url_decode(segments[4])) == 16  # GCM tag
    assert open_token(token) == plaintext
    assert packet.username == USERNAME.encode()


@pytest.mark.parametrize("username", ["device-7", "g\u00e9r\u00e4t", ""])
def test_enterprise_username_is_sent_unchanged(fake_server, username):
    packet = connect_once(fake_server, "pw", "Enterprise", username=username)
    assert packet.username == username.encode()
    assert open_token(packet.password) == b"pw"


def test_each_connect_seals_a_new_token(fake_server):
    sdk = tarvo_sdk.SDK()
    sdk.init("sealer", fake_server.address, "tcp", USERNAME, "pw", edition="Enterprise")
    try:
        tokens = []
        for _ in range(3):
            assert sdk.connect()
            tokens.append(fake_server.next_connect().password)
            sdk.disconnect()
    finally:
        sdk.stop()
    assert len(set(tokens)) == 3
    assert [open_token(t) for t in tokens] == [b"pw"] * 3
    # Fresh content key and IV each time, not only a fresh encoding.
    assert len({t.split(b".")[1] for t in tokens}) == 3
    assert len({t.split(b".")[2] for t in tokens}) == 3


def test_reinit_to_another_edition_stops_sealing(fake_server):
    sdk = tarvo_sdk.SDK()
    try:
        sdk.init("sealer", fake_server.address, "tcp", USERNAME, "first", edition="Enterprise")
        assert sdk.connect()
        assert open_token(fake_server.next_connect().password) == b"first"
        sdk.init("sealer", fake_server.address, "tcp", USERNAME, "second")
        assert sdk.connect()
        assert fake_server.next_connect().password == b"second"
        sdk.init("sealer", fake_server.address, "tcp", USERNAME, "third", edition="Enterprise")
        assert sdk.connect()
        assert open_token(fake_server.next_connect().password) == b"third"
    finally:
        sdk.stop()


@pytest.mark.parametrize("edition", [None, "Community", "enterprise", "Enterprise ", " Enterprise", "ENTERPRISE", ""],
                         ids=repr)
def test_other_editions_send_the_password_as_given(fake_server, edition):
    packet = connect_once(fake_server, "p\u00e4ss", edition)
    assert packet.password == "p\u00e4ss".encode()
    assert packet.username == USERNAME.encode()


@pytest.mark.parametrize("edition, field", [("Community", "client_id"), ("Community", "username"),
                                            ("Community", "password"), ("Enterprise", "username")])
def test_connect_field_with_nul_is_never_sent_cut_short(fake_server, edition, field):
    """A client id or credential is sent whole or not at all: cut at its NUL it would
    name another client or another credential than the one given."""
    fields = {"client_id": "sealer", "username": USERNAME, "password": "pw", field: b"a\x00b"}
    sdk = tarvo_sdk.SDK()
    try:
        sdk.init(fields["client_id"], fake_server.address, "tcp", fields["username"], fields["password"],
                 edition=edition)
        connected = sdk.connect()
    except (ValueError, RuntimeError):
        connected = False
    finally:
        sdk.stop()
    if connected:
        assert getattr(fake_server.next_connect(), field) == b"a\x00b"


def test_console_never_shows_the_password_or_the_token(fake_server):
    password = "hunter2-Zq9"
    console = run_sdk(
        f"""
        for edition in ("Enterprise", "Community"):
            s = tarvo_sdk.SDK()
            s.init("sealer", {fake_server.address!r}, "tcp", "{USERNAME}", "{password}", edition=edition)
            s.connect()
            s.connect()
            s.publish("t", "x")
            s.disconnect()
            s.disconnect()
            s.stop()
        """
    )
    assert console.returncode == 0, console
    token = fake_server.next_connect().password
    assert open_token(token) == password.encode()
    assert fake_server.next_connect().password == password.encode()
    output = console.stdout + console.stderr
    assert b"[SDK] Connected to tcp://" + fake_server.address.encode() in console.stdout
    for secret in (password.encode(), token, token.split(b".")[0], token.split(b".")[1]):
        assert secret not in output
