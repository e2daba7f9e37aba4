"""TLS against a real Mosquitto with TLS listeners (tarvo_testsupport.TlsBroker) and
certificates made by the openssl command (TestPki): verified round trips over ssl://,
mqtts://, wss:// and ws://, a client certificate, each way a handshake fails with the
line that names it, the Enterprise sealing over TLS, a reconnect over TLS, and the files
tls_set refuses."""

import ctypes
import errno
import os
import re
import threading
import time
import uuid

import pytest

import tarvo_sdk
from plugin_broker import PluginBroker, broker_plugin  # noqa: F401  (a fixture, used by name)
from tarvo_testsupport import HOST, TLS_KEY_PASSWORD, TlsBroker, wait_until

pytestmark = pytest.mark.timeout(120)

LIBC = ctypes.CDLL(None)
PAYLOADS = {0: b"\x00\xff qos 0", 1: bytes(range(256)), 2: "qos 2 \u20ac".encode()}
# Every failure here is known within moments; the bound only catches an attempt that
# waited out its connect timeout.
CONNECT_TIMEOUT = 30
PROMPT = CONNECT_TIMEOUT / 2


@pytest.fixture(scope="module")
def tls_broker(pki, tmp_path_factory):
    broker = TlsBroker(tmp_path_factory.mktemp("tls-broker"), pki)
    yield broker
    broker.close()


def client_files(pki, name, password=None):
    return {"certfile": pki.crt(name), "keyfile": pki.key(name), **({"keyfile_password": password} if password else {})}


def connect(capfd, address, protocol, tls=None, tls_after_init=False, **options):
    """A new SDK connected (or not) to address; returns (sdk, connected, out, err, seconds)."""
    sdk = tarvo_sdk.SDK()
    if tls is not None and not tls_after_init:
        sdk.tls_set(**tls)
    sdk.init(f"tls-{uuid.uuid4().hex[:8]}", address, protocol, "", "", autoReconnect=False,
             connectTimeout=CONNECT_TIMEOUT, **options)
    if tls is not None and tls_after_init:
        sdk.tls_set(**tls)
    LIBC.fflush(None)
    capfd.readouterr()
    started = time.monotonic()
    connected = sdk.connect()
    seconds = time.monotonic() - started
    LIBC.fflush(None)
    out, err = capfd.readouterr()
    return sdk, connected, out, err, seconds


def round_trip(sdk):
    """Each QoS's binary payload to the client's own topic and back, unchanged."""
    topic = f"tls/{uuid.uuid4().hex}"
    received = []
    sdk.on_message(lambda _topic, payload: received.append(payload.encode("utf-8", "surrogateescape")))
    assert sdk.subscribe(topic, 2)
    for qos, payload in PAYLOADS.items():
        sdk.publish(topic, payload, qos)
    assert wait_until(lambda: len(received) == len(PAYLOADS), 10), received
    assert sorted(received) == sorted(PAYLOADS.values())


def line(reason):
    return re.compile(r"\[SDK\] connect failed, rc=-?\d+ \((TLS: )?" + reason + r"[^\n]*\)\n")


# (listener, host, protocol, tls_set's arguments or None, what happens: None for a round
# trip, else the failure line's pattern). listener "plain" is the broker's MQTT port.
CASES = {
    "verified-dns": ("tls", "localhost", "ssl", lambda p: {"ca_certs": p.crt("ca")}, None),
    "verified-ip-mqtts": ("tls", HOST, "mqtts", lambda p: {"ca_certs": p.crt("ca")}, None),
    "verified-tls-set-after-init": ("tls", "localhost", "ssl", lambda p: {"ca_certs": p.crt("ca")}, None),
    "client-certificate": ("client_cert", "localhost", "ssl",
                           lambda p: {"ca_certs": p.crt("ca"), **client_files(p, "client", TLS_KEY_PASSWORD)}, None),
    "wss": ("wss", "localhost", "wss", lambda p: {"ca_certs": p.crt("ca")}, None),
    "ws": ("ws", "localhost", "ws", None, None),
    "unknown-ca": ("tls", HOST, "ssl", lambda p: {"ca_certs": p.crt("client_ca")},
                   line(r"the broker's certificate is not signed by a CA this client trusts")),
    "system-store-lacks-the-ca": ("tls", HOST, "ssl", None,
                                  line(r"the broker's certificate is not signed by a CA this client trusts")),
    "expired": ("expired", "localhost", "ssl", lambda p: {"ca_certs": p.crt("ca")},
                line(r"the broker's certificate has expired")),
    "name-mismatch": ("other_name", HOST, "ssl", lambda p: {"ca_certs": p.crt("ca")},
                      line(r'the broker\'s certificate is not for "127\.0\.0\.1"')),
    "plain-server-on-tls": ("plain", HOST, "ssl", lambda p: {"ca_certs": p.crt("ca")},
                            line(r"the server at 127\.0\.0\.1:\d+ (does not speak TLS|closed the connection during "
                                 r"the TLS handshake)")),
    "client-certificate-absent": ("client_cert", "localhost", "ssl", lambda p: {"ca_certs": p.crt("ca")},
                                  line(r"the broker requires a client certificate")),
    "client-certificate-of-another-ca": ("client_cert", "localhost", "ssl",
                                         lambda p: {"ca_certs": p.crt("ca"), **client_files(p, "stranger")},
                                         line(r"the broker refused the client certificate")),
    "tls-settings-with-plain-protocol": ("plain", HOST, "tcp", lambda p: {"ca_certs": p.crt("ca")},
                                         line(r"TLS: tls_set was called, but the address \"tcp://")),
    "tls-server-plain-protocol": ("tls", HOST, "tcp", None, re.compile(r"\[SDK\] connect failed, rc=-1\n")),
}


@pytest.mark.parametrize("case", list(CASES))
def test_tls_connections(tls_broker, pki, capfd, case):
    listener, host, protocol, tls, failure = CASES[case]
    port = tls_broker.port if listener == "plain" else tls_broker.ports[listener]
    sdk, connected, out, err, seconds = connect(capfd, f"{host}:{port}", protocol, tls and tls(pki),
                                                tls_after_init=case.endswith("after-init"))
    try:
        if failure is None:
            assert connected, err
            assert out == f"[SDK] Connected to {protocol}://{host}:{port}\n" and err == ""
            round_trip(sdk)
        else:
            assert not connected and out == ""
            assert failure.fullmatch(err), err
            assert seconds < PROMPT, f"the failure took {seconds:.1f} s"
            assert TLS_KEY_PASSWORD not in err
    finally:
        sdk.stop()


def test_tls_files_apply_from_the_next_connect(tls_broker, pki, capfd):
    address = f"localhost:{tls_broker.ports['client_cert']}"
    sdk, connected, _out, err, _seconds = connect(capfd, address, "ssl", {"ca_certs": pki.crt("ca")})
    assert not connected and line("the broker requires a client certificate").fullmatch(err), err
    sdk.tls_set(ca_certs=pki.crt("ca"), **client_files(pki, "client", TLS_KEY_PASSWORD))
    try:
        assert sdk.connect()
    finally:
        sdk.stop()


def test_a_trust_store_from_the_environment(tls_broker, pki, capfd, monkeypatch):
    address = f"localhost:{tls_broker.ports['tls']}"
    monkeypatch.setenv("SSL_CERT_FILE", pki.crt("ca"))
    sdk, connected, _out, err, _seconds = connect(capfd, address, "ssl")
    sdk.stop()
    assert connected, err
    monkeypatch.setenv("SSL_CERT_FILE", pki.crt("ca") + ".missing")
    sdk, connected, _out, err, _seconds = connect(capfd, address, "ssl")
    sdk.stop()
    assert not connected and line('TLS: SSL_CERT_FILE names ".*missing", which cannot be read').fullmatch(err), err


def test_reconnect_over_tls_after_a_broker_restart(pki, tmp_path, capfd):
    broker = TlsBroker(tmp_path, pki)
    events = []
    changed = threading.Condition()

    def on_connection(connected, code):
        with changed:
            events.append((connected, code))
            changed.notify_all()

    sdk = tarvo_sdk.SDK()
    sdk.on_connection(on_connection)
    sdk.tls_set(ca_certs=pki.crt("ca"))
    sdk.init("tls-reconnect", f"localhost:{broker.ports['tls']}", "ssl", "", "", connectTimeout=CONNECT_TIMEOUT)
    try:
        assert sdk.connect()
        broker.restart()
        with changed:
            assert changed.wait_for(lambda: events[-2:] == [(False, -1), (True, 0)], 30), events
        round_trip(sdk)
    finally:
        sdk.stop()
        broker.close()


class TlsPluginBroker(PluginBroker):
    """The tarvo-jwe-auth broker, its one listener speaking TLS."""

    def __init__(self, plugin, workdir, pki):
        super().__init__(plugin, workdir)
        self.pki = pki

    def config(self):
        return super().config() + f"certfile {self.pki.crt('server')}\nkeyfile {self.pki.key('server')}\n"


def test_enterprise_sealing_over_tls(broker_plugin, pki, tmp_path):  # noqa: F811
    broker = TlsPluginBroker(broker_plugin, tmp_path / "broker", pki)
    broker.start()
    try:
        for password, accepted in ((broker.password, True), ("not the password", False)):
            sdk = tarvo_sdk.SDK()
            sdk.tls_set(ca_certs=pki.crt("ca"))
            sdk.init("tls-sealed", f"localhost:{broker.port}", "ssl", broker.username, password,
                     connectTimeout=CONNECT_TIMEOUT, autoReconnect=False, edition="Enterprise")
            assert sdk.connect() is accepted
            sdk.stop()
    finally:
        broker.stop()
    assert broker.password not in broker.log()


@pytest.mark.parametrize("files, raised, reason", [
    pytest.param(lambda p: {"ca_certs": p.crt("ca") + ".missing"}, FileNotFoundError, "cannot read ca_certs",
                 id="missing-ca-file"),
    pytest.param(lambda p: {"ca_certs": p.key("ca")}, ValueError, "ca_certs holds no PEM certificate", id="not-pem"),
    pytest.param(lambda p: client_files(p, "client"), ValueError, "the private key is encrypted",
                 id="encrypted-key-without-password"),
    pytest.param(lambda p: client_files(p, "client", TLS_KEY_PASSWORD + "x"), ValueError,
                 "keyfile_password does not open the private key", id="wrong-password"),
    pytest.param(lambda p: {"certfile": p.crt("client"), "keyfile": p.key("stranger")}, ValueError,
                 "the private key does not match the certificate", id="key-of-another-certificate"),
    pytest.param(lambda p: {"keyfile": p.key("stranger")}, ValueError, "keyfile and keyfile_password need a certfile",
                 id="key-without-certificate"),
])
def test_tls_set_refuses_files_it_cannot_use(pki, files, raised, reason):
    arguments = files(pki)
    with pytest.raises(raised) as refusal:
        tarvo_sdk.SDK().tls_set(**arguments)
    assert reason in str(refusal.value)
    path = arguments.get("keyfile", arguments.get("ca_certs"))
    assert os.fsdecode(path) in str(refusal.value)
    assert TLS_KEY_PASSWORD not in str(refusal.value)
    if raised is FileNotFoundError:
        assert refusal.value.errno == errno.ENOENT and refusal.value.filename == path
