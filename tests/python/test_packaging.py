"""The type stub and the wheel.

The stub (binding/tarvo_sdk.pyi) must describe the built module exactly: mypy's
stubtest checks what exists, and the signatures pybind11 writes into each method's
docstring are compared with the stub's, parameter by parameter. The examples must
type-check against it under mypy --strict. The wheel must carry its metadata and,
installed into a fresh virtual environment, work and type-check outside the source
tree: a missing install rule fails here."""

import ast
import email.parser
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
import tarvo_sdk

from tarvo_testsupport import REPO

STUB = REPO / "binding" / "tarvo_sdk.pyi"
EXAMPLES = sorted((REPO / "examples").glob("*.py"))
METHODS = sorted(name for name in vars(tarvo_sdk.SDK) if not name.startswith("_")) + ["__init__"]

# Where the stub says more than pybind11 can: (method, pybind11's parameter name) ->
# (pybind11's annotation, the stub's). A change on either side shows up here.
REFINED = {
    ("publish", "payload"): ("str", "str | bytes | bytearray"),
    ("on_message", "arg0"): ("collections.abc.Callable[[str, str], None]", "_MessageHandler | None"),
    ("on_connection", "arg0"): (
        "collections.abc.Callable[[bool, typing.SupportsInt | typing.SupportsIndex], None]",
        "_ConnectionHandler | None",
    ),
    # tls_set's paths: anything os.fsencode takes, or None.
    **{("tls_set", name): ("object", "_Path | None") for name in ("ca_certs", "certfile", "keyfile")},
    ("tls_set", "keyfile_password"): ("str | None", "str | bytes | None"),
    ("will_set", "payload"): ("str | None", "str | bytes | bytearray | None"),
}
# pybind11's spelling of an argument type -> the stub's (it rejects float for all of them).
SPELLING = {"typing.SupportsInt | typing.SupportsIndex": "int"}


def clean_env(**extra):
    """The environment without the variables that would let the source tree leak in."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env.update(extra)
    return env


def run(args, *, cwd, env=None, timeout=120):
    return subprocess.run(
        [str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout
    )


def mypy_strict(python, files, *, cwd, cache, env):
    return run([python, "-m", "mypy", "--strict", f"--cache-dir={cache}", *files], cwd=cwd, env=env)


# --- the stub ----------------------------------------------------------------------


def runtime_signature(method):
    """pybind11's signature line, e.g. "publish(self: tarvo_sdk.SDK, topic: str, ...) -> None"."""
    line = getattr(tarvo_sdk.SDK, method).__doc__.splitlines()[0]
    return ast.parse(f"def {line}: ...").body[0]


def stub_signature(method):
    tree = ast.parse(STUB.read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "SDK"]
    (func,) = [node for node in cls.body if isinstance(node, ast.FunctionDef) and node.name == method]
    return func


def parameters(func):
    """[(name, positional only, annotation, default)] without self."""
    args = func.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs), ast.unparse(func)
    every = [(a, True) for a in args.posonlyargs] + [(a, False) for a in args.args]
    defaults = [None] * (len(every) - len(args.defaults)) + args.defaults
    return [
        (a.arg, positional, ast.unparse(a.annotation), None if d is None else ast.literal_eval(d))
        for (a, positional), d in zip(every[1:], defaults[1:])
    ]


@pytest.mark.parametrize("method", METHODS)
def test_stub_signature_matches_the_binding(method):
    runtime, stub = runtime_signature(method), stub_signature(method)
    runtime_params, stub_params = parameters(runtime), parameters(stub)
    assert len(stub_params) == len(runtime_params), ast.unparse(stub)
    for (name, _, annotation, default), (s_name, s_positional, s_annotation, s_default) in zip(
        runtime_params, stub_params
    ):
        # pybind11 names an argument it was given no name for argN, and takes it only by
        # position; the stub then gives it a readable name, positional-only.
        unnamed = re.fullmatch(r"arg\d+", name) is not None
        assert s_positional == unnamed and (unnamed or s_name == name), (method, name, s_name)
        if (method, name) in REFINED:
            assert (annotation, s_annotation) == REFINED[method, name]
        else:
            assert s_annotation == SPELLING.get(annotation, annotation), (method, name)
        assert s_default == default, (method, name)
    assert ast.unparse(stub.returns) == ast.unparse(runtime.returns)


@pytest.mark.timeout(180)
def test_stubtest_finds_the_stub_complete_and_consistent(tmp_path):
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    result = run([sys.executable, "-m", "mypy.stubtest", "tarvo_sdk"], cwd=tmp_path, env=env, timeout=170)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.timeout(180)
def test_examples_type_check_strictly(tmp_path):
    assert EXAMPLES
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    result = mypy_strict(sys.executable, EXAMPLES, cwd=REPO, cache=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSES = """\
import tarvo_sdk

def on_connection(connected: bool, code: int) -> None:
    print(connected, code + 1)

sdk = tarvo_sdk.SDK()
sdk.on_connection(on_connection)
sdk.on_connection(None)
sdk.on_message(lambda topic, payload: payload.encode("utf-8", "surrogateescape"))
sdk.publish("t", bytearray(b"\\xff"), qos=2, retained=True)
granted: bool = sdk.subscribe("t", 1)
delivered: bool = sdk.publish("t", "x", 1)
sdk.on_message(lambda topic, payload, *, retained: print(retained))
def on_flags(topic: str, payload: str, *, retained: bool, qos: int, dup: bool) -> None: ...
def on_dup(topic: str, payload: str, dup: bool) -> None: ...
sdk.on_message(on_flags)
sdk.on_message(on_dup)
sdk.will_set("status", None, 1, retain=True)
sdk.will_set("status", b"gone")
sdk.will_clear()
sdk.publish("t", 1.5)  # E
sdk.publish("t", "x", qos=1.0)  # E
sdk.on_message(lambda topic: None)  # E
sdk.on_connection(lambda connected, code: code.upper())  # E
sdk.unsubscribe(topic="t")  # E
sdk.init("id", "127.0.0.1:1883", "tcp", "", "", keepAlive="30")  # E
connected: str = sdk.connect()  # E
unconfirmed: str = sdk.publish("t", "x")  # E
def on_qos_name(topic: str, payload: str, *, qos: str) -> None: ...
sdk.on_message(on_qos_name)  # E
sdk.will_set("status", 5)  # E
sdk.will_set("status", retained=True)  # E
"""


@pytest.mark.timeout(180)
def test_stub_rejects_misuse_and_accepts_use(tmp_path):
    """Every line marked E, and only those, is a type error."""
    (tmp_path / "use.py").write_text(MISUSES)
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    result = mypy_strict(sys.executable, ["use.py"], cwd=tmp_path, cache=tmp_path / "cache", env=env)
    errors = {int(n) for n in re.findall(r"^use\.py:(\d+): error", result.stdout, re.M)}
    marked = {n for n, line in enumerate(MISUSES.splitlines(), 1) if line.endswith("# E")}
    assert errors == marked, result.stdout


# --- the wheel ---------------------------------------------------------------------

WHEEL_FILES = {"tarvo_sdk.pyi", "tarvo_sdk-stubs/__init__.pyi"}


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel named by TARVO_WHEEL, or one built now from the source tree."""
    if given := os.environ.get("TARVO_WHEEL"):
        return Path(given)
    out = tmp_path_factory.mktemp("wheel")
    result = run(
        [sys.executable, "-m", "build", "--wheel", "--no-isolation", "--skip-dependency-check",
         "--outdir", out, "-C", f"build-dir={out / 'build'}", REPO],
        cwd=REPO, timeout=540,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    (built,) = out.glob("*.whl")
    return built


@pytest.mark.slow
@pytest.mark.timeout(600)
def test_wheel_metadata_and_contents(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        info = "tarvo_sdk-0.1.0.dist-info"
        metadata = email.parser.Parser().parsestr(archive.read(f"{info}/METADATA").decode())
        license_text = archive.read(f"{info}/licenses/LICENSE").decode()
    assert metadata["Name"] == "tarvo_sdk"
    assert metadata["Requires-Python"] == "==3.14.*"
    assert metadata["License-Expression"] == "MIT"
    assert metadata["License-File"] == "LICENSE"
    assert license_text.startswith("MIT License") and "the tarvo_sdk authors" in license_text
    assert metadata["Summary"].startswith("A small, dependable MQTT client")
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (REPO / "README.md").read_text().strip()
    # The module, its stub twice, and nothing from the source tree.
    modules = {n for n in names if re.fullmatch(r"tarvo_sdk\.cpython-314-[^/]+\.so", n)}
    assert len(modules) == 1
    assert names - modules - {n for n in names if n.startswith(f"{info}/")} == WHEEL_FILES
    assert wheel.name.startswith("tarvo_sdk-0.1.0-cp314-cp314-")


SMOKE = """\
import sys
import threading

import tarvo_sdk

assert tarvo_sdk.__file__.startswith(sys.prefix), tarvo_sdk.__file__
arrived = threading.Event()
payloads: list[str] = []


def on_message(topic: str, payload: str) -> None:
    payloads.append(payload)
    arrived.set()


sdk = tarvo_sdk.SDK()
sdk.on_message(on_message)
sdk.init("wheel-smoke", sys.argv[1], "tcp", "", "")
assert sdk.connect()
assert sdk.subscribe("smoke/wheel", qos=1)
sdk.publish("smoke/wheel", "installed", qos=1)
assert arrived.wait(10), "no message came back"
sdk.stop()
print("smoke:", payloads)
"""


@pytest.mark.slow
@pytest.mark.timeout(600)
def test_installed_wheel_works_and_type_checks_outside_the_source_tree(wheel, broker, tmp_path):
    venv = tmp_path / "venv"
    python = venv / "bin" / "python"
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "smoke.py").write_text(SMOKE)
    env = clean_env()
    steps = [
        [sys.executable, "-m", "venv", "--system-site-packages", venv],
        [python, "-m", "pip", "install", "--no-deps", "--no-index", "--quiet", wheel],
    ]
    for step in steps:
        result = run(step, cwd=elsewhere, env=env)
        assert result.returncode == 0, result.stdout + result.stderr

    result = run([python, "smoke.py", broker.address], cwd=elsewhere, env=env, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "smoke: ['installed']" in result.stdout

    # Type checkers find the installed stub with no help from the source tree.
    result = mypy_strict(python, ["smoke.py"], cwd=elsewhere, cache=tmp_path / "cache", env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    result = run([python, "-m", "mypy.stubtest", "tarvo_sdk"], cwd=elsewhere, env=env, timeout=170)
    assert result.returncode == 0, result.stdout + result.stderr
