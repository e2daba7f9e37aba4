"""Enterprise edition: the MQTT password is sealed for the broker, never sent as it is.

Run it with `./dev demo enterprise`. That starts a throwaway Mosquitto on a free
loopback port with the tarvo-jwe-auth plugin (see broker/README.md), the development
key pair and one user in its password file, and passes the port and that user's
credentials in TARVO_BROKER_PORT, TARVO_DEMO_USER and TARVO_DEMO_PASSWORD.

Three clients try to connect:
  1. Enterprise with the right password: connects.
  2. Enterprise with a wrong password: refused ("[SDK] connect failed, rc=5").
  3. Community with the right password: refused too, since this broker takes
     plain passwords only with plugin_opt_allow_plain_passwords true.
"""

import os

import tarvo_sdk

BROKER = "127.0.0.1:" + os.environ.get("TARVO_BROKER_PORT", "1883")
USER = os.environ.get("TARVO_DEMO_USER", "demo")
PASSWORD = os.environ.get("TARVO_DEMO_PASSWORD", "")


def try_connect(title: str, edition: str, password: str) -> bool:
    sdk = tarvo_sdk.SDK()
    # With edition="Enterprise" every connect seals the password as a JWE token to the
    # broker public key compiled into the module. The username goes unchanged.
    # autoReconnect=False: nothing here should retry in the background.
    sdk.init("demo-" + edition.lower(), BROKER, "tcp", USER, password,
             autoReconnect=False, edition=edition)
    connected = sdk.connect()  # False when the broker says "not authorised" (rc=5)
    print(f"{title + ':':28} connect() -> {connected}", flush=True)
    sdk.stop()
    return connected


outcomes = [
    try_connect("Enterprise, right password", "Enterprise", PASSWORD),
    try_connect("Enterprise, wrong password", "Enterprise", PASSWORD + "-wrong"),
    try_connect("Community, plain password", "Community", PASSWORD),
]
# The demo succeeds when exactly the first client got in.
raise SystemExit(0 if outcomes == [True, False, False] else 1)
