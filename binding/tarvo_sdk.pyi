"""A small MQTT client over the Eclipse Paho MQTT C library: one class, SDK."""

import os
from collections.abc import Callable
from typing import TypeAlias

# Handler types. A handler's return value is ignored, so any return type is accepted.
_MessageHandler: TypeAlias = Callable[[str, str], object]
_ConnectionHandler: TypeAlias = Callable[[bool, int], object]
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# The metaclass of pybind11's classes (pybind11_builtins.pybind11_type at run time),
# named so that the stub describes the class as it is; users never need it.
class _pybind11_type(type): ...

class SDK(metaclass=_pybind11_type):
    """One MQTT client. Configure it with init, then connect; stop ends it.

    init, connect, disconnect and stop raise RuntimeError when called from inside one
    of this object's own handlers."""

    def __init__(self) -> None: ...
    def init(
        self,
        clientId: str,
        brokerHost: str,
        protocol: str,
        username: str,
        password: str,
        cleanSession: bool = False,
        resumeSubs: bool = False,
        connectRetry: bool = False,
        autoReconnect: bool = True,
        connectRetryInterval: int = 5,
        maxReconnectInterval: int = 1,
        keepAlive: int = 30,
        pingTimeout: int = 10,
        writeTimeout: int = 10,
        orderMatters: bool = False,
        connectTimeout: int = 30,
        edition: str = "Community",
    ) -> None:
        """Configures the client for the broker at protocol://brokerHost ("tcp",
        "127.0.0.1:1883"). A repeated init first ends the earlier client as stop would.
        With edition="Enterprise", every connect sends the password sealed as a JWE
        token, never the password itself. Raises RuntimeError when the library
        refuses the address.

        resumeSubs=True: on a connection whose broker kept no session (cleanSession=True,
        or a broker that lost it), subscribe again to every filter granted so far, before
        the connection handler gets (True, 0). connectRetry=True: a failed connect returns
        False and is retried in the background every connectRetryInterval seconds.
        pingTimeout and orderMatters are accepted and not used: the library gives up on
        a ping 1.5 x keepAlive after it, and always delivers messages in order."""

    def connect(self) -> bool:
        """Connects and returns True (also when already connected), or returns False.
        On success the connection handler is called with (True, 0) on this thread."""

    def disconnect(self) -> None:
        """Disconnects; the connection handler is called with (False, 0)."""

    def stop(self) -> None:
        """Ends reconnecting, disconnects and releases the client; init may follow."""

    def is_connected(self) -> bool: ...
    def publish(self, topic: str, payload: str | bytes | bytearray, qos: int = 0, retained: bool = False) -> None:
        """Publishes payload (str is sent as UTF-8). At QoS 1 and 2 it waits for the
        broker's acknowledgement, except inside a message handler. Never raises for a
        publication it cannot send: without a connection it prints
        "[SDK] publish — not connected" and drops it."""

    def subscribe(self, topic: str, qos: int = 0) -> bool:
        """Subscribes and returns True, or returns False. Subscriptions are renewed after
        a reconnect that found no session kept only with init(..., resumeSubs=True);
        otherwise subscribe in the connection handler when it gets (True, 0). Refused
        (False) inside a message handler."""

    def unsubscribe(self, topic: str, /) -> None:
        """Unsubscribes; refused inside a message handler."""

    def on_message(self, handler: _MessageHandler | None, /) -> None:
        """Sets the handler called as handler(topic, payload) on the library's thread for
        every message; None removes it. A payload that is not valid UTF-8 arrives decoded
        with surrogateescape: payload.encode("utf-8", "surrogateescape") gives its bytes."""

    def on_connection(self, handler: _ConnectionHandler | None, /) -> None:
        """Sets the handler called as handler(connected, code): (True, 0) after connect or
        a reconnect, (False, 0) after disconnect, (False, -1) when the connection is
        lost (the client then reconnects by itself, until stop). None removes it."""

    def tls_set(
        self,
        ca_certs: _Path | None = None,
        certfile: _Path | None = None,
        keyfile: _Path | None = None,
        keyfile_password: str | bytes | None = None,
    ) -> None:
        """Sets the TLS files of the connections to come, from the next connect (and every
        reconnect) on; may be called before or after init. TLS itself is chosen by the
        protocol given to init: "ssl" or "mqtts" (port 8883 when brokerHost names none),
        "wss" for websockets. The broker's certificate is always verified, its chain and
        its name against brokerHost's host.

        ca_certs: a PEM file of the CAs to trust, in place of the system's store
        (without it: SSL_CERT_FILE or SSL_CERT_DIR as init found them, else the system
        bundle).
        certfile and keyfile: a client certificate and its private key (keyfile None:
        the key is in certfile), keyfile_password when the key is encrypted.

        Raises OSError when a file cannot be read, ValueError when it holds no
        certificate or key, the password does not open the key or the key does not
        match the certificate. Once called, connect refuses a plain protocol ("tcp",
        "mqtt", "ws") rather than send in clear."""
