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

# What enable_logger calls: log(level, msg), as logging.Logger and LoggerAdapter have it.
class _Logger(Protocol):
    def log(self, level: int, msg: str, /) -> object: ...

# The metaclass of pybind11's classes (pybind11_builtins.pybind11_type at run time),
# named so that the stub describes the class as it is; users never need it.
class _pybind11_type(type): ...

class SDK(metaclass=_pybind11_type):
    """One MQTT client, over the Eclipse Paho MQTT C library.

    Call init() once, then connect(); publish(), subscribe() and unsubscribe() work
    while connected; on_message() and on_connection() set the two handlers; stop()
    ends the client, and init() may follow. A lost connection is re-established in
    the background, with a doubling wait, until stop().

    Failures do not raise (except in init() and tls_set(), and TypeError for an
    argument that cannot be converted): each is reported by one "[SDK] " line on
    standard error and a False or None result; progress and notices go to standard
    output. enable_logger() sends these lines to a logging.Logger instead.

    The codes after "rc=" in those lines are the library's:
      -1   MQTTCLIENT_FAILURE: nothing answered at the address, no answer in time,
           or a request this context cannot make (subscribe inside a message handler)
      -3   MQTTCLIENT_DISCONNECTED: the connection went away during the request
      -4   MQTTCLIENT_MAX_MESSAGES_INFLIGHT: too many QoS 1/2 messages await their
           acknowledgement
      -5   MQTTCLIENT_BAD_UTF8_STRING: a topic, filter or string MQTT cannot carry
           (empty, NUL, not UTF-8, a misplaced wildcard, over 65,535 bytes)
      -8   MQTTCLIENT_BAD_STRUCTURE: keepAlive or connectTimeout out of range
      -9   MQTTCLIENT_BAD_QOS: a QoS other than 0, 1 or 2
      -14  MQTTCLIENT_BAD_PROTOCOL: an unknown protocol, or a plain one after tls_set()
    A positive code after "connect failed" or "Reconnect failed" is the broker's
    refusal (CONNACK): 1 unacceptable protocol version, 2 client identifier
    rejected, 3 server unavailable, 4 bad user name or password, 5 not authorised."""

    def __init__(self) -> None:
        """A client in its initial state: not configured, not connected."""

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
        """Configures the client for the broker at protocol + "://" + brokerHost.

        Connects nothing. A second init first ends the earlier configuration as stop()
        would. Raises RuntimeError("SDK::init — MQTTClient_create failed: N") when the
        library refuses the address or the client id (-14: an unknown protocol).

        clientId: the MQTT client identifier.
        brokerHost: "host:port", or "host" for the protocol's usual port.
        protocol: "tcp" or "mqtt" (plain), "ssl" or "mqtts" (TLS, see tls_set()),
          "ws" or "wss" (websockets).
        username, password: the credentials; "" for none.
        cleanSession: True starts every connection without the session the broker
          kept (subscriptions, queued QoS 1/2 messages).
        autoReconnect: after a lost connection, reconnect in the background until
          stop().
        maxReconnectInterval: the longest wait between reconnect attempts, in seconds;
          the wait starts at 1 s and doubles up to it.
        keepAlive: seconds without traffic after which the client pings the broker
          (0-65535; 0: never); no answer within 1.5 times as long counts as a lost
          connection.
        writeTimeout: the library's retry interval, in seconds.
        connectTimeout: how long connect() and each reconnect attempt wait for the
          broker, in seconds (more than 0).
        edition: "Community", or "Enterprise": then every connect seals the password
          as a JWE token for the broker's public key built into the module, and sends
          the token, never the password.
        resumeSubs: True (default False) subscribes again, on a connection whose
          broker kept no session (cleanSession=True, or a broker that lost it), to
          every filter granted so far, before the connection handler gets (True, 0).
        connectRetry: True (default False) retries a failed connect() in the
          background every connectRetryInterval seconds; connect() still returns False.
        pingTimeout, orderMatters: accepted and not used: the library gives up on a
          ping 1.5 x keepAlive after it, and always delivers messages in order."""

    def connect(self) -> bool:
        """Connects and returns True; also True when already connected.

        Waits up to connectTimeout seconds. On success the connection handler gets
        (True, 0) on this thread before connect returns. Returns False before init(),
        after stop(), or when the attempt fails: "[SDK] connect failed, rc=N", where
        -1 means nothing answered or no answer in time and 1-5 that the broker refused
        (5: not authorised). A failed connect is retried in the background only with
        init(..., connectRetry=True); a connection that was made and then lost is
        reconnected while autoReconnect is True."""

    def disconnect(self) -> None:
        """Disconnects, waiting up to 10 s for what is in flight.

        The connection handler gets (False, 0); no reconnect follows. When not
        connected, prints "[SDK] Not connected" and does nothing else."""

    def publish(self, topic: str, payload: str | bytes | bytearray, qos: int = 0, retained: bool = False) -> bool:
        """Publishes payload to topic and returns True once it was delivered.

        str is sent as UTF-8, bytes and bytearray unchanged; a bytearray cannot be
        resized until the call returns. True once the library took the message and,
        at QoS 1 and 2, the broker acknowledged it within 10 s. Inside a message
        handler no acknowledgement can be awaited: True there means taken. Returns
        False for a publication refused or lost: after the line that says why
        ("[SDK] publish — not connected", or "[SDK] publish failed on 'topic', rc=N":
        -5 a topic with a wildcard or that MQTT cannot carry, -9 a QoS other than
        0-2), or without a line when the wait ended unacknowledged (no answer in
        time, the connection lost before it came). Raises only for arguments of the
        wrong type and for an exception raised by a signal handler
        (KeyboardInterrupt) while it waits."""

    def subscribe(self, topic: str, qos: int = 0) -> bool:
        """Subscribes to a topic filter and returns True once the broker granted it.

        Returns False when not connected or refused: "[SDK] subscribe failed on
        'filter', rc=N" (-5: a filter MQTT cannot carry; -9: a QoS above 2; -1: called
        inside a message handler, which cannot wait for the broker's answer).
        After a reconnect that found no session kept, subscriptions are renewed only
        with init(..., resumeSubs=True); otherwise subscribe in the connection handler
        when it gets (True, 0)."""

    def unsubscribe(self, topic: str, /) -> None:
        """Unsubscribes from a topic filter.

        A failure is reported by its line only: "[SDK] unsubscribe failed on
        'filter', rc=N" (-1 inside a message handler, as for subscribe())."""

    def on_message(self, handler: _MessageHandler | None, /) -> None:
        """Sets the handler called for every message; None removes it.

        It is called as handler(topic, payload), both str, and with the message's
        flags as keyword arguments too if it names them as parameters after those
        two: retained (bool: sent from the topic's retained message, for a new
        subscription), qos (int: 0, 1 or 2, as delivered) and dup (bool: a QoS 1 or 2
        message sent again, which may have arrived before). Each one it names, and
        only those: def handler(topic, payload, *, retained): ... gets retained only.
        The choice is made once, here. A payload that is not valid UTF-8 arrives
        decoded with surrogateescape: payload.encode("utf-8", "surrogateescape")
        gives its bytes.

        It runs on the library's receiving thread, which serves every client of the
        process: keep it short. It may publish; subscribe() and unsubscribe() are
        refused there, and calling this client's init, connect, disconnect, stop,
        on_message or on_connection raises RuntimeError. Its return value is
        ignored; an exception it raises goes to sys.unraisablehook."""

    def on_connection(self, handler: _ConnectionHandler | None, /) -> None:
        """Sets the handler called as handler(connected, code) at every connection change.

        (True, 0) after connect(), on its thread before it returns, and after each
        automatic reconnect, on the reconnect thread; (False, 0) after disconnect()
        or stop(); (False, -1) when the connection is lost. Events come one at a
        time, in order. None removes the handler. Restore subscriptions here on
        (True, 0), unless init(..., resumeSubs=True) renews them."""

    def stop(self) -> None:
        """Ends the reconnect loop, disconnects and releases the library client.

        Disconnects as disconnect() does ((False, 0) to the connection handler, or
        "[SDK] Not connected"). connect() then fails until init() is called again.
        Every client still running when the interpreter exits is stopped so."""

    def is_connected(self) -> bool:
        """Whether the client is connected now.

        Asks nothing of the network: a connection that died silently counts as
        connected until the library notices, at most 2.5 x keepAlive after the last
        traffic."""

    def tls_set(
        self,
        ca_certs: _Path | None = None,
        certfile: _Path | None = None,
        keyfile: _Path | None = None,
        keyfile_password: str | bytes | None = None,
    ) -> None:
        """Sets the TLS files of the connections to come.

        They apply from the next connect (and every reconnect) on; may be called
        before or after init. TLS itself is chosen by the protocol given to init:
        "ssl" or "mqtts" (port 8883 when brokerHost names none), "wss" for
        websockets. The broker's certificate is always verified, its chain and its
        name against brokerHost's host.

        ca_certs: a PEM file of the CAs to trust, in place of the system's store
          (without it: SSL_CERT_FILE or SSL_CERT_DIR as init found them, else the
          system bundle).
        certfile and keyfile: a client certificate and its private key (keyfile None:
          the key is in certfile), keyfile_password when the key is encrypted.

        Raises OSError when a file cannot be read, ValueError when it holds no
        certificate or key, the password does not open the key or the key does not
        match the certificate. Once called, connect refuses a plain protocol ("tcp",
        "mqtt", "ws") rather than send in clear."""

    def will_set(
        self, topic: str, payload: str | bytes | bytearray | None = None, qos: int = 0, retain: bool = False
    ) -> None:
        """Sets the will, which the broker publishes if the connection dies.

        The will is the message the broker publishes for this client when its
        connection ends without a disconnect (the network dropped, the process died),
        never after disconnect or stop. Sent with every connect and reconnect from
        the next one on; may be called before or after init, which keeps it. payload:
        str (sent as UTF-8), bytes, bytearray, or None for an empty one. Raises
        ValueError for a topic publish would refuse (empty, a wildcard, a control
        character), a qos other than 0, 1 or 2, or a payload longer than 65,535
        bytes, and TypeError for an argument of the wrong type."""

    def will_clear(self) -> None:
        """Removes the will, from the next connect and reconnect on."""

    def enable_logger(self, logger: _Logger | None = None) -> None:
        """Sends this client's "[SDK] " lines to a logger instead of the console.

        logger: a logging.Logger (or anything with its log(level, msg) method);
          None takes logging.getLogger("tarvo_sdk").
        Each line becomes one record whose message is the line without "[SDK] ".
        Levels: INFO for progress and notices (the lines of standard output),
        WARNING for a lost connection and a failed reconnect attempt (the client goes
        on trying), ERROR for every other failure. A line that the logger's own code
        causes (a logging handler that publishes through this client), and lines
        written once the interpreter has begun to exit, go to the console. Lines come
        from the thread that writes them (the library's, the reconnect thread); inside
        the logger, this client's init, connect, disconnect, stop, on_message and
        on_connection raise RuntimeError, as inside its handlers. No line holds a
        password or a sealed token."""

    def disable_logger(self) -> None:
        """Sends this client's "[SDK] " lines to standard output and error again."""
