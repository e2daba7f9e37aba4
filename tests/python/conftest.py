"""Shared fixtures: a real Mosquitto broker on a free loopback port, a TCP relay that
can cut and refuse connections (both from tests/support/tarvo_testsupport.py, which
this puts on sys.path for every test module), a fake server that shows the raw
CONNECT, and test certificates (made once per session)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from fake_server import FakeServer  # noqa: E402
from tarvo_testsupport import Broker, Relay, TestPki  # noqa: E402


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path)
    yield b
    b.kill()


@pytest.fixture
def relay(broker):
    r = Relay(broker.port)
    yield r
    r.close()


@pytest.fixture
def fake_server():
    server = FakeServer()
    yield server
    server.close()
    assert server.errors == []


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return TestPki(tmp_path_factory.mktemp("pki"))
