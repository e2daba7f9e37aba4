"""Stale loss: a server accepts the session and closes the connection right after its
CONNACK; the client's connect returns True, the application disconnects and connects
again, now to a healthy broker (the same address: the server relays from then on).
That second session must stay up. Repeated `rounds` times, counting the second
sessions that reach the connection handler as lost (False, -1) after their own
(True, 0), or that is_connected() calls not connected, while the broker behind them is
fine. (The first session's own loss may reach the handler late, after the application
has disconnected and begun the next connect: counted, not a fault.)"""

import time

import tarvo_sdk

from soaklib import Broker, ConnectionEvents, TcpServer, scenario_main

DEFAULTS = {
    "rounds": 150,
    "watchdog": 400,
    "seed": None,
}

CONNACK = b"\x20\x02\x00\x00"


class SwitchingServer(TcpServer):
    """Answers CONNECT with a CONNACK and closes, or (relay=True) forwards to the broker."""

    def __init__(self, broker_port):
        self.broker_port = broker_port
        self.relay = False
        super().__init__()

    def on_accept(self, sock):
        return (self.relay,)

    def serve(self, sock, relay):
        if relay:
            self.forward_to(sock, self.broker_port)
            return
        try:
            sock.settimeout(5)
            sock.recv(4096)  # the CONNECT
            sock.sendall(CONNACK)
        except OSError:
            pass
        sock.close()


def run(p, report):
    broker = Broker(p["workdir"])
    server = SwitchingServer(broker.port)
    try:
        events = ConnectionEvents()
        sdk = tarvo_sdk.SDK()
        sdk.on_connection(events)
        sdk.init(f"soak-stale-{p['seed']}", server.address, "tcp", "u", "p", autoReconnect=False, connectTimeout=2)
        first_failed = second_failed = stale = subscribe_failed = late = 0
        for i in range(p["rounds"]):
            server.relay = False
            if sdk.connect():
                sdk.disconnect()
            else:
                first_failed += 1
            server.relay = True
            before = events.count()
            if not sdk.connect():
                second_failed += 1
                continue
            # The (True, 0) of this connect was called before connect returned.
            items = events.snapshot()
            second = max(i for i, e in enumerate(items) if e[0] and e[2])
            late += sum(1 for e in items[before:second] if e[0] is False)
            if not sdk.subscribe("soak/stale", 1):
                subscribe_failed += 1
            time.sleep(0.02)
            after = events.snapshot()[second + 1:]
            if any(e[0] is False for e in after) or not sdk.is_connected():
                stale += 1
                if stale <= 3:
                    report.note(f"round {i}: events from the second connect on {events.snapshot()[second:]}, "
                                f"connected {sdk.is_connected()}")
            sdk.disconnect()
        sdk.on_connection(None)
        sdk.stop()
    finally:
        server.close()
        broker.kill()

    report.figure("rounds", p["rounds"])
    report.figure("second sessions reported lost", stale)
    report.figure("first sessions' losses reported after the next connect began", late)
    report.figure("their subscribe failed", subscribe_failed)
    report.figure("connects failed first/second", f"{first_failed}/{second_failed}")
    report.bound(stale == 0, f"{stale} of {p['rounds']} healthy sessions were reported lost right after "
                 "the session before them was closed by its server")
    report.bound(second_failed == 0, f"{second_failed} connects to the healthy broker failed")


if __name__ == "__main__":
    scenario_main("stale loss", run, DEFAULTS)
