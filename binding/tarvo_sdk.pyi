"""A small MQTT client over the Eclipse Paho MQTT C library: one class, SDK."""

import os
from collections.abc import Callable
from typing import Protocol, TypeAlias

# Handler types. A handler's return value is ignored, so any return type is accepted.
# A message handler may take any of the message's flags by keyword (see on_message): one
# protocol for each choice.
class _WithRetained(Protocol):
    def __call__(self, topic: str, payload: str, /, *, retained: bool) -> object: ...

class _WithQos(Protocol):
    def __call__(self, topic: str, payload: str, /, *, qos: int) -> object: ...

class _WithDup(Protocol):
    def __call__(self, topic: str, payload: str, /, *, dup: bool) -> object: ...

class _WithRetainedQos(Protocol):
    def __call__(self, topic: str, payload: str, /, *, retained: bool, qos: int) -> object: ...

class _WithRetainedDup(Protocol):
    def __call__(self, topic: str, payload: str, /, *, retained: bool, dup: bool) -> object: ...

class _WithQosDup(Protocol):
    def __call__(self, topic: str, payload: str, /, *, qos: int, dup: bool) -> object: ...

class _WithFlags(Protocol):
    def __call__(self, topic: str, payload: str, /, *, retained: bool, qos: int, dup: bool) -> object: ...

_MessageHandler: TypeAlias = (
    Callable[[str, str], object]
    | _WithRetained
    | _WithQos
    | _WithDup
    | _WithRetainedQos
    | _WithRetainedDup
    | _WithQosDup
    | _WithFlags
)
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
    def publish(self, topic: str, payload: str | bytes | bytearray, qos: int = 0, retained: bool = False) -> bool:
        """Publishes payload (str is sent as UTF-8) and returns True once the library took
        it and, at QoS 1 and 2, the broker acknowledged it within 10 s. Inside a message
        handler no acknowledgement can be awaited: True there means taken. Returns False
        for a publication refused or lost (not connected, a topic or QoS the broker would
        refuse, no acknowledgement in time, the connection lost before it came), after the
        "[SDK] publish ..." line that says why, or without a line when the wait ended
        unacknowledged. Raises only for arguments of the wrong type and for an exception
        raised by a signal handler (KeyboardInterrupt) while it waits."""

    def subscribe(self, topic: str, qos: int = 0) -> bool:
        """Subscribes and returns True, or returns False. Subscriptions are renewed after
        a reconnect that found no session kept only with init(..., resumeSubs=True);
        otherwise subscribe in the connection handler when it gets (True, 0). Refused
        (False) inside a message handler."""

    def unsubscribe(self, topic: str, /) -> None:
        """Unsubscribes; refused inside a message handler."""

    def on_message(self, handler: _MessageHandler | None, /) -> None:
        """Sets the handler called on the library's thread for every message; None removes
        it. It is called as handler(topic, payload), and with the message's flags as
        keyword arguments too if it names them as parameters after those two: retained
        (bool: sent from the topic's retained message, for a new subscription), qos (int:
        0, 1 or 2, as delivered) and dup (bool: a QoS 1 or 2 message sent again, which may
        have arrived before). Each one it names, and only those:
        def handler(topic, payload, *, retained): ... gets retained only. The choice is
        made once, here. A payload that is not valid UTF-8 arrives decoded with
        surrogateescape: payload.encode("utf-8", "surrogateescape") gives its bytes."""

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

    def will_set(
        self, topic: str, payload: str | bytes | bytearray | None = None, qos: int = 0, retain: bool = False
    ) -> None:
        """Sets the will: the message the broker publishes for this client when its
        connection ends without a disconnect (the network dropped, the process died),
        never after disconnect or stop. Sent with every connect and reconnect from the
        next one on; may be called before or after init, which keeps it. payload: str
        (sent as UTF-8), bytes, bytearray, or None for an empty one. Raises ValueError
        for a topic publish would refuse (empty, a wildcard, a control character), a
        qos other than 0, 1 or 2, or a payload longer than 65,535 bytes, and TypeError
        for an argument of the wrong type."""

    def will_clear(self) -> None:
        """Removes the will, from the next connect and reconnect on."""
