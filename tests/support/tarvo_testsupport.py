"""What the tests, the soak scenarios and the benchmark share: a Mosquitto of their own
on a free loopback port, a paho-mqtt peer, a TCP server base with forwarding, and
waiting for a condition.

tests/python/conftest.py, tests/soak/soaklib.py and bench/run.py put this directory on
sys.path. Nothing here needs pytest, so scripts run outside it can import it too."""

import getpass
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time
import uuid
from pathlib import Path

HOST = "127.0.0.1"
REPO = Path(__file__).resolve().parents[2]
KEYS = REPO / "tests" / "keys"


# --- ports and waiting --------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=30.0, process=None):
    """Returns once something listens on the port. The bound is for a process that
    never listens, far above a start on a loaded machine; one that exits fails at once."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"{process.args[0]} exited ({process.returncode}) before listening on {HOST}:{port}")
        try:
            with socket.create_connection((HOST, port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.01)
    raise TimeoutError(f"nothing listens on {HOST}:{port}")


def wait_until(predicate, timeout=10.0, interval=0.01):
    """Whether predicate() came true within the timeout (asked once more at its end)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


# --- the broker ---------------------------------------------------------------------------

class Broker:
    """A Mosquitto process of the caller's own, killed by PID and restartable on the same
    port. Its output goes to log_path when given, else nowhere."""

    def __init__(self, workdir, extra_config="", log_path=None):
        self.port = free_port()
        self.config = Path(workdir) / f"mosquitto-{self.port}.conf"
        self.config.write_text(
            f"listener {self.port} {HOST}\nallow_anonymous true\n"
            "max_queued_messages 0\nmax_inflight_messages 1000\n" + extra_config
        )
        self.log = open(log_path, "ab") if log_path else None
        self.process = None
        self.start()

    @property
    def address(self):
        return f"{HOST}:{self.port}"

    def start(self):
        output = self.log or subprocess.DEVNULL
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.config)], stdout=output, stderr=output)
        wait_for_port(self.port, process=self.process)

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)

    def restart(self):
        self.kill()
        self.start()

    def close(self):
        self.kill()
        if self.log:
            self.log.close()


# --- certificates -----------------------------------------------------------------------------

TLS_KEY_PASSWORD = "client-key-secret-3141"


class TestPki:
    """Certificates made with the openssl command in `directory` (EC P-256, quick to make):
    ca (the broker's CA) with server (for localhost and 127.0.0.1), expired (same names,
    validity over in 2021) and other_name (for broker.invalid only); client_ca with
    client (its key encrypted with TLS_KEY_PASSWORD); stranger, a client certificate the
    broker's CA signed. Each certificate X is at X.crt, its key at X.key."""

    def __init__(self, directory):
        self.dir = Path(directory)
        self.dir.mkdir(parents=True, exist_ok=True)
        self._ca("ca", "tarvo test CA")
        self._ca("client_ca", "tarvo test client CA")
        names = "subjectAltName=DNS:localhost,IP:127.0.0.1"
        self._leaf("server", "ca", "localhost", names)
        self._leaf("expired", "ca", "localhost", names, "-not_before", "20200101000000Z", "-not_after", "20210101000000Z")
        self._leaf("other_name", "ca", "broker.invalid", "subjectAltName=DNS:broker.invalid")
        self._leaf("client", "client_ca", "tarvo test client", "extendedKeyUsage=clientAuth")
        self._leaf("stranger", "ca", "tarvo stranger", "extendedKeyUsage=clientAuth")
        self._openssl("pkey", "-in", self.key("client"), "-aes256", "-passout", f"pass:{TLS_KEY_PASSWORD}",
                      "-out", self.key("client"))

    def crt(self, name):
        return str(self.dir / f"{name}.crt")

    def key(self, name):
        return str(self.dir / f"{name}.key")

    def _openssl(self, *args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)

    def _new_key(self, name):
        self._openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", self.key(name))

    def _ca(self, name, common_name):
        self._new_key(name)
        self._openssl("req", "-x509", "-new", "-key", self.key(name), "-subj", f"/CN={common_name}", "-days", "30",
                      "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", self.crt(name))

    def _leaf(self, name, ca, common_name, extension, *validity):
        self._new_key(name)
        request = str(self.dir / f"{name}.csr")
        self._openssl("req", "-new", "-key", self.key(name), "-subj", f"/CN={common_name}",
                      "-addext", extension, "-out", request)
        self._openssl("x509", "-req", "-in", request, "-CA", self.crt(ca), "-CAkey", self.key(ca),
                      "-copy_extensions", "copyall", *(validity or ("-days", "30")), "-out", self.crt(name))


class TlsBroker(Broker):
    """A Broker (its own port plain MQTT) with more listeners, on free ports, whose port
    ports[name] gives: tls (the server certificate of `pki`), expired, other_name,
    client_cert (tls, requiring a client certificate of pki's client_ca), wss (websockets
    over TLS) and ws (plain websockets)."""

    def __init__(self, workdir, pki, log_path=None):
        def tls(name):
            return f"certfile {pki.crt(name)}\nkeyfile {pki.key(name)}\n"

        listeners = {
            "tls": tls("server"),
            "expired": tls("expired"),
            "other_name": tls("other_name"),
            "client_cert": tls("server") + f"cafile {pki.crt('client_ca')}\nrequire_certificate true\n",
            "wss": "protocol websockets\n" + tls("server"),
            "ws": "protocol websockets\n",
        }
        self.ports = {name: free_port() for name in listeners}
        # user: started as root, Mosquitto would switch to "mosquitto", who cannot read the keys.
        extra = f"user {getpass.getuser()}\n" + "".join(
            f"listener {self.ports[name]} {HOST}\n{lines}" for name, lines in listeners.items())
        super().__init__(workdir, extra, log_path)

    def start(self):
        super().start()
        for port in self.ports.values():
            wait_for_port(port, process=self.process)


# --- a peer ---------------------------------------------------------------------------------

class Peer:
    """A paho-mqtt client on a loopback broker. Every message goes to on_message(message);
    subscribe() returns once the broker acknowledged, publish() once the message is out."""

    def __init__(self, port, on_message, protocol=None, keepalive=30):
        import paho.mqtt.client as mqtt  # only the scripts that use a peer need paho-mqtt

        self._acked = threading.Event()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"peer-{uuid.uuid4().hex[:8]}",
                                  protocol=protocol or mqtt.MQTTv311)
        self.client.on_message = lambda _client, _userdata, message: on_message(message)
        self.client.on_subscribe = lambda *_args: self._acked.set()
        self.client.connect(HOST, port, keepalive=keepalive)
        self.client.loop_start()

    def subscribe(self, topic, timeout=10, **options):
        self._acked.clear()
        self.client.subscribe(topic, **options)
        if not self._acked.wait(timeout):
            raise TimeoutError(f"the peer's subscription to {topic!r} was not acknowledged")

    def publish(self, topic, payload, qos=1, timeout=10, retain=False):
        info = self.client.publish(topic, payload, qos=qos, retain=retain)
        info.wait_for_publish(timeout)
        if not info.is_published():
            raise TimeoutError(f"the peer's publication to {topic!r} did not go out")

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


# --- TCP servers and forwarding ------------------------------------------------------------------

def shut_down(*sockets):
    """Ends both directions of each socket; one already gone is fine."""
    for s in sockets:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def forward(source, sink):
    """Copies source to sink until either ends, then shuts both down."""
    try:
        while data := source.recv(65536):
            sink.sendall(data)
    except OSError:
        pass
    shut_down(source, sink)


class TcpServer:
    """Listens on a free loopback port and serves each connection on a thread of its own:
    subclasses write serve(sock, *state), where state is what on_accept(sock) returned on
    the accepting thread, so a setting changed later does not reach a connection already
    taken. close() ends the listener and every socket kept (accepted ones are)."""

    def __init__(self):
        self.listener = socket.create_server((HOST, 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.sockets = []
        self.closed = False
        threading.Thread(target=self._accept_all, daemon=True).start()

    @property
    def address(self):
        return f"{HOST}:{self.port}"

    def _accept_all(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.keep(sock)
            threading.Thread(target=self.serve, args=(sock, *self.on_accept(sock)), daemon=True).start()

    def on_accept(self, sock):
        return ()

    def serve(self, sock, *state):
        raise NotImplementedError

    def keep(self, *sockets):
        """Holds sockets for drop() and close(); once closed, closes them at once."""
        with self.lock:
            if not self.closed:
                self.sockets += sockets
                return
        shut_down(*sockets)
        for s in sockets:
            s.close()

    def forward_to(self, client, target_port, first=b""):
        """Connects to target_port, sends `first`, and forwards both ways from then on.
        Returns the upstream socket, or None (the client closed) when nothing listens."""
        try:
            upstream = socket.create_connection((HOST, target_port), timeout=5)
            upstream.settimeout(None)
            if first:
                upstream.sendall(first)
        except OSError:
            shut_down(client)
            client.close()
            return None
        self.keep(upstream)
        for source, sink in ((client, upstream), (upstream, client)):
            threading.Thread(target=forward, args=(source, sink), daemon=True).start()
        return upstream

    def drop(self):
        """Shuts down and closes every socket kept."""
        with self.lock:
            sockets, self.sockets = self.sockets, []
        shut_down(*sockets)
        for s in sockets:
            s.close()

    def close(self):
        with self.lock:
            self.closed = True
        self.listener.close()
        self.drop()


class Relay(TcpServer):
    """Forwards TCP between clients and a target port. cut() closes every forwarded
    connection; refuse()/accept() decide whether new ones are taken."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.accepting = True
        self.connections = 0
        super().__init__()

    def on_accept(self, sock):
        with self.lock:
            return (self.accepting,)

    def serve(self, client, accepting):
        if not accepting:
            client.close()
            return
        if self.forward_to(client, self.target_port) is not None:
            with self.lock:
                self.connections += 1

    def cut(self):
        self.drop()

    def refuse(self):
        with self.lock:
            self.accepting = False

    def accept(self):
        with self.lock:
            self.accepting = True


# --- scripts in a fresh interpreter ----------------------------------------------------------

SUPPORT_DIR = Path(__file__).resolve().parent


def script_env(extra=None):
    """The environment for a child Python process that imports this module."""
    env = dict(os.environ)
    env.update(extra or {})
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SUPPORT_DIR), env.get("PYTHONPATH")]))
    return env


def run_script(code, timeout=60, env=None):
    """Runs Python code in a fresh interpreter (which can import this module) and returns
    the finished process, so that console lines (written without flushing) are read once
    it has exited."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        timeout=timeout,
        env=script_env(env),
    )
