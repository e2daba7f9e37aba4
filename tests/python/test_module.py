"""The tarvo_sdk module as Python sees it: import, the SDK class and its methods'
signatures, construction, and how arguments convert (seen in the CONNECT packet the
client sends to a fake server where the effect is visible)."""

import decimal
import json
import shutil
import subprocess

import pytest
import tarvo_sdk

from sdk_helpers import run_sdk

pytestmark = pytest.mark.timeout(60)

SDK = tarvo_sdk.SDK
INT = "typing.SupportsInt | typing.SupportsIndex"
SIGNATURES = {
    "__init__": "__init__(self: tarvo_sdk.SDK) -> None",
    "init": (
        "init(self: tarvo_sdk.SDK, clientId: str, brokerHost: str, protocol: str, username: str, password: str, "
        "cleanSession: bool = False, resumeSubs: bool = False, connectRetry: bool = False, autoReconnect: bool = True, "
        f"connectRetryInterval: {INT} = 5, maxReconnectInterval: {INT} = 1, keepAlive: {INT} = 30, "
        f"pingTimeout: {INT} = 10, writeTimeout: {INT} = 10, orderMatters: bool = False, "
        f"connectTimeout: {INT} = 30, edition: str = 'Community') -> None"
    ),
    "connect": "connect(self: tarvo_sdk.SDK) -> bool",
    "disconnect": "disconnect(self: tarvo_sdk.SDK) -> None",
    "publish": f"publish(self: tarvo_sdk.SDK, topic: str, payload: str, qos: {INT} = 0, retained: bool = False) -> bool",
    "subscribe": f"subscribe(self: tarvo_sdk.SDK, topic: str, qos: {INT} = 0) -> bool",
    "unsubscribe": "unsubscribe(self: tarvo_sdk.SDK, topic: str, /) -> None",
    "on_message": "on_message(self: tarvo_sdk.SDK, handler: collections.abc.Callable[[str, str], None], /) -> None",
    "on_connection": (
        f"on_connection(self: tarvo_sdk.SDK, handler: collections.abc.Callable[[bool, {INT}], None], /) -> None"
    ),
    "stop": "stop(self: tarvo_sdk.SDK) -> None",
    "is_connected": "is_connected(self: tarvo_sdk.SDK) -> bool",
    "tls_set": (
        "tls_set(self: tarvo_sdk.SDK, ca_certs: object = None, certfile: object = None, keyfile: object = None, "
        "keyfile_password: str | None = None) -> None"
    ),
    "will_set": (
        f"will_set(self: tarvo_sdk.SDK, topic: str, payload: str | None = None, qos: {INT} = 0, "
        "retain: bool = False) -> None"
    ),
    "will_clear": "will_clear(self: tarvo_sdk.SDK) -> None",
    "enable_logger": "enable_logger(self: tarvo_sdk.SDK, logger: object = None) -> None",
    "disable_logger": "disable_logger(self: tarvo_sdk.SDK) -> None",
}
FIVE = ("client", "127.0.0.1:1883", "tcp", "user", "secret")


# --- the module and the class --------------------------------------------------------


def test_class_has_exactly_its_methods_in_order():
    methods = [name for name, value in vars(SDK).items() if callable(value)]
    assert methods == ["__init__", "_pybind11_conduit_v1_", *list(SIGNATURES)[1:]]


@pytest.mark.parametrize("method", SIGNATURES)
def test_method_signature_line(method):
    assert getattr(SDK, method).__doc__.splitlines()[0] == SIGNATURES[method]


@pytest.mark.parametrize("version", ["3.13", "3.15"])
def test_import_in_another_python_version_is_refused(version):
    interpreter = shutil.which(f"python{version}")
    if interpreter is None:
        pytest.skip(f"python{version} is not installed")
    code = (
        "import importlib.util, json, sys\n"
        f"found = importlib.util.spec_from_file_location('tarvo_sdk', {tarvo_sdk.__file__!r})\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "    outcome = ['imported', '']\n"
        "except BaseException as error:\n"
        "    outcome = [type(error).__name__, str(error)]\n"
        "print(json.dumps(outcome + [sys.version]))\n"
    )
    process = subprocess.run([interpreter, "-c", code], capture_output=True, timeout=30)
    assert process.returncode == 0, process
    kind, message, interpreter_version = json.loads(process.stdout)
    assert interpreter_version.startswith(version + ".")
    assert [kind, message] == [
        "ImportError",
        "Python version mismatch: module was compiled for Python 3.14, but the interpreter version is "
        f"incompatible: {interpreter_version}.",
    ]


def test_reimport_gives_the_same_module_and_class():
    console = run_sdk(
        """
        import sys
        first, cls = sys.modules["tarvo_sdk"], tarvo_sdk.SDK
        del sys.modules["tarvo_sdk"]
        import tarvo_sdk as again
        same = [again is first, again.SDK is cls]
        mark("results")
        print(same)
        """
    )
    assert console.returncode == 0, console
    assert console.section("results")[0] == b"[True, True]\n"


def test_import_in_a_subinterpreter_is_refused():
    console = run_sdk(
        """
        try:
            from concurrent import interpreters
        except ImportError:
            interpreters = None
        mark("results")
        if interpreters is None:
            print("no interpreters")
        else:
            sub = interpreters.create()
            try:
                sub.exec("import tarvo_sdk")
                print("imported")
            except interpreters.ExecutionFailed as failure:
                print(failure.excinfo.type.__name__ + ": " + failure.excinfo.msg)
            finally:
                sub.close()
        """
    )
    assert console.returncode == 0, console
    result = console.section("results")[0]
    if result == b"no interpreters\n":
        pytest.skip("concurrent.interpreters is not available")
    assert result == b"ImportError: module tarvo_sdk does not support loading in subinterpreters\n"


def test_construction_and_instance_attributes():
    with pytest.raises(TypeError):
        SDK(1)
    with pytest.raises(TypeError):
        SDK(clientId="x")
    sdk = SDK()
    assert sdk.is_connected() is False
    with pytest.raises(AttributeError):
        sdk.extra = 1
    with pytest.raises(AttributeError):
        sdk.connect = None


def test_subclass_must_call_the_base_init():
    class Forgetful(SDK):
        def __init__(self):
            pass

    class Dutiful(SDK):
        def __init__(self, name):
            super().__init__()
            self.name = name

    with pytest.raises(TypeError) as raised:
        Forgetful()
    assert str(raised.value) == "tarvo_sdk.SDK.__init__() must be called when overriding __init__"
    sdk = Dutiful("mine")
    assert sdk.name == "mine"
    assert sdk.is_connected() is False
    sdk.init(*FIVE)
    sdk.stop()


# --- init arguments --------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (FIVE, {}),
        (FIVE, {"edition": "Enterprise"}),
        (FIVE + (True, False, False, False, 1, 2, 3, 4, 5, True, 6, "Enterprise"), {}),
        ((), dict(zip(["clientId", "brokerHost", "protocol", "username", "password"], FIVE))),
        (FIVE[:2], {"protocol": "mqtt", "password": "p", "username": "u", "keepAlive": 5}),
    ],
    ids=["five-positional", "edition-kw", "all-17-positional", "all-kw", "mixed"],
)
def test_init_accepts(args, kwargs):
    sdk = SDK()
    assert sdk.init(*args, **kwargs) is None
    assert sdk.is_connected() is False
    sdk.stop()


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (FIVE[:4], {}),
        (FIVE, {"client_id": "x"}),
        (FIVE, {"Edition": "Enterprise"}),
        (FIVE + (True, False, False, False, 1, 2, 3, 4, 5, True, 6, "Enterprise", "extra"), {}),
        (FIVE, {"clientId": "again"}),
    ],
    ids=["four-positional", "snake-case-kw", "wrong-case-kw", "18-positional", "duplicate"],
)
def test_init_refuses(args, kwargs):
    with pytest.raises(TypeError):
        SDK().init(*args, **kwargs)


def test_init_with_an_unknown_protocol_raises():
    sdk = SDK()
    with pytest.raises(RuntimeError) as raised:
        sdk.init("c", "127.0.0.1:1883", "bogus", "u", "p")
    assert str(raised.value) == "SDK::init \u2014 MQTTClient_create failed: -14"
    assert sdk.connect() is False


INT_PARAMS = ["connectRetryInterval", "maxReconnectInterval", "keepAlive", "pingTimeout", "writeTimeout",
              "connectTimeout"]
BOOL_PARAMS = ["cleanSession", "resumeSubs", "connectRetry", "autoReconnect", "orderMatters"]
STR_PARAMS = ["clientId", "brokerHost", "protocol", "username", "password", "edition"]


def init_with(name, value):
    arguments = dict(zip(["clientId", "brokerHost", "protocol", "username", "password"], FIVE))
    arguments[name] = value
    sdk = SDK()
    try:
        sdk.init(**arguments)
    finally:
        sdk.stop()


@pytest.mark.parametrize("name", INT_PARAMS)
@pytest.mark.parametrize("value", [True, 0, -2147483648, 2147483647, decimal.Decimal("7.9")], ids=repr)
def test_int_parameter_accepts(name, value):
    init_with(name, value)


@pytest.mark.parametrize("name", INT_PARAMS)
@pytest.mark.parametrize("value", [2147483648, -2147483649, 30.0, "30", None, b"3"], ids=repr)
def test_int_parameter_refuses(name, value):
    with pytest.raises(TypeError):
        init_with(name, value)


@pytest.mark.parametrize("name", BOOL_PARAMS)
@pytest.mark.parametrize("value", [None, 0, 2, 0.5, decimal.Decimal(1)], ids=repr)
def test_bool_parameter_accepts(name, value):
    init_with(name, value)


@pytest.mark.parametrize("name", BOOL_PARAMS)
@pytest.mark.parametrize("value", ["", "True", [], ()], ids=repr)
def test_bool_parameter_refuses(name, value):
    with pytest.raises(TypeError):
        init_with(name, value)


@pytest.mark.parametrize("name", STR_PARAMS)
@pytest.mark.parametrize("value", [None, "\ud800", 1, memoryview(b"x")], ids=repr)
def test_str_parameter_refuses(name, value):
    with pytest.raises(TypeError):
        init_with(name, value)


def connect_packet(fake_server, *strings, **options):
    sdk = SDK()
    try:
        sdk.init(*strings, **options)
        assert sdk.connect()
        return fake_server.next_connect()
    finally:
        sdk.stop()


@pytest.mark.parametrize(
    "value, wire",
    [(True, 1), (7, 7), (decimal.Decimal("7.9"), 7), (65535, 65535)],
    ids=repr,
)
def test_keep_alive_conversion_on_the_wire(fake_server, value, wire):
    packet = connect_packet(fake_server, "c", fake_server.address, "tcp", "u", "p", keepAlive=value)
    assert packet.keep_alive == wire


@pytest.mark.parametrize(
    "value, clean",
    [(None, False), (0, False), (False, False), (2, True), (0.5, True), (True, True)],
    ids=repr,
)
def test_clean_session_conversion_on_the_wire(fake_server, value, clean):
    packet = connect_packet(fake_server, "c", fake_server.address, "tcp", "u", "p", cleanSession=value)
    assert bool(packet.flags & 0x02) is clean


def test_defaults_on_the_wire(fake_server):
    packet = connect_packet(fake_server, "c", fake_server.address, "tcp", "u", "p")
    assert (packet.protocol, packet.level, packet.keep_alive) == (b"MQTT", 4, 30)
    assert packet.flags == 0x80 | 0x40  # username, password; no will, no clean session


def test_a_server_of_mqtt_3_1_only_is_connected_to_with_3_1(fake_server):
    """It answers an MQTT 3.1.1 CONNECT "unacceptable protocol version" (CONNACK 1)."""
    fake_server.refusals = {4: 1}
    sdk = tarvo_sdk.SDK()
    try:
        sdk.init("c", fake_server.address, "tcp", "u", "p", autoReconnect=False)
        assert sdk.connect() is True
    finally:
        sdk.stop()
    seen = [fake_server.next_connect() for _ in range(2)]
    assert [(packet.protocol, packet.level) for packet in seen] == [(b"MQTT", 4), (b"MQIsdp", 3)]


@pytest.mark.parametrize(
    "kind",
    [lambda s: s.encode(), lambda s: bytearray(s.encode()), str],
    ids=["bytes", "bytearray", "str"],
)
def test_str_parameters_take_bytes_and_bytearray(fake_server, kind):
    packet = connect_packet(fake_server, kind("cl\u00efent"), kind(fake_server.address), kind("tcp"), kind("\u00fcser"),
                            kind("p\u00e4ss"))
    assert (packet.client_id, packet.username, packet.password) == (
        "cl\u00efent".encode(), "\u00fcser".encode(), "p\u00e4ss".encode())
