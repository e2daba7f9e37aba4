// Connecting (with Enterprise credential sealing), disconnecting, stopping, teardown.
#include "broker_key.hpp"
#include "jose.hpp"
#include "sdk.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tarvo {

namespace {
constexpr int kDisconnectTimeoutMs = 10000;
// The library turns the connect timeout into milliseconds in an int: a longer one
// overflows, and every attempt fails at once.
constexpr int kMaxConnectTimeout = std::numeric_limits<int>::max() / 1000;
// The CONNECT's keepalive field has 16 bits.
constexpr int kMaxKeepAlive = 65535;
}  // namespace

void SDK::refuseFromHandler(const char* operation) const {
    // Going on would wait for the handler's own call to end (or, for init and stop,
    // destroy the client under the running callback).
    if (callingFromHandlerOf(this)) {
        throw std::logic_error(std::string("SDK::") + operation +
                               " cannot be called from inside a handler of the same object");
    }
}

// Replaces the password in connectOptions by a JWE token sealed to the broker key.
// Fails closed: on any failure the caller must not attempt a connection, since the
// plain password is exactly what this edition must never send.
bool SDK::sealPassword() {
    cjose_err err;
    jose::Key key(cjose_jwk_import(kBrokerKey.data(), kBrokerKey.size(), &err));
    if (!key) {
        say(ConsoleStream::Err, "[SDK] JWK import failed");
        return false;
    }
    jose::Header header(cjose_header_new(&err));
    if (!header) {
        say(ConsoleStream::Err, "[SDK] JWE header creation failed");
        return false;
    }
    cjose_header_set(header.get(), CJOSE_HDR_ALG, CJOSE_HDR_ALG_RSA_OAEP, &err);
    cjose_header_set(header.get(), CJOSE_HDR_ENC, CJOSE_HDR_ENC_A256GCM, &err);
    jose::Jwe jwe(cjose_jwe_encrypt(key.get(), header.get(), reinterpret_cast<const uint8_t*>(password.data()),
                                    password.size(), &err));
    if (!jwe) {
        say(ConsoleStream::Err, "[SDK] JWE encryption failed");
        return false;
    }
    jose::Text token(cjose_jwe_export(jwe.get(), &err));
    if (!token) {
        say(ConsoleStream::Err, "[SDK] JWE export failed");
        return false;
    }
    sealedPassword = token.get();
    connectOptions.password = sealedPassword.c_str();
    return true;
}

// The code connect reports for a request it refuses without calling the library, which
// would send it wrong or could not survive it; MQTTCLIENT_SUCCESS otherwise.
int SDK::checkConnectRequest() const {
    // A username is text, where MQTT forbids NUL: cut there, it would log in as someone
    // else. Longer than MQTT's 16-bit length, a field goes out with its length cut and
    // the CONNECT malformed.
    const std::size_t passwordSize = edition == "Enterprise" ? sealedPassword.size() : password.size();
    if (containsNul(username) || username.size() > kMaxMqttString || clientId.size() > kMaxMqttString ||
        passwordSize > kMaxMqttString) {
        return MQTTCLIENT_BAD_UTF8_STRING;
    }
    // A keepalive of 65,536 would go out as 0, which turns keepalive off. With no time
    // to connect, the library returns before its receiving thread is up, and the next
    // attempt starts a second one (a few of them crash the process).
    if (connectOptions.keepAliveInterval < 0 || connectOptions.keepAliveInterval > kMaxKeepAlive ||
        connectOptions.connectTimeout <= 0) {
        return MQTTCLIENT_BAD_STRUCTURE;
    }
    return MQTTCLIENT_SUCCESS;
}

// Connects with the configured options; a connect timeout too long for the library is
// taken as the longest it can wait.
int SDK::connectLibraryClient() {
    // The connection-lost callback of the previous connection may not have returned yet;
    // connecting under it leaves the library without its receiving thread.
    client.route().waitForIdle(true);
    client.route().endQueueRelease();
    MQTTClient_connectOptions options = connectOptions;
    options.connectTimeout = std::min(options.connectTimeout, kMaxConnectTimeout);
    return library.connect(client.get(), &options);
}

void SDK::sayUnavailable(Operation operation) const {
    switch (operation) {
    case Operation::Connect:
        say(ConsoleStream::Err, "[SDK] connect \xE2\x80\x94 call init() first");
        break;
    case Operation::Disconnect:
        say(ConsoleStream::Out, "[SDK] Not connected");
        break;
    case Operation::Publish:
        say(ConsoleStream::Err, "[SDK] publish \xE2\x80\x94 not connected");
        break;
    case Operation::Subscribe:
        say(ConsoleStream::Err, "[SDK] subscribe \xE2\x80\x94 not connected");
        break;
    case Operation::Unsubscribe:
        say(ConsoleStream::Err, "[SDK] unsubscribe \xE2\x80\x94 not connected");
        break;
    }
}

bool SDK::connect() {
    refuseFromHandler("connect");
    if (inheritedAcrossFork()) {
        sayUnavailable(Operation::Connect);
        return false;
    }
    // On the library's receiving thread a CONNACK could only be read after the attempt
    // gave up, and another attempt in progress could not end.
    switch (connection.beginConnect(!insideLibraryCallback)) {
    case ConnectionState::ConnectStart::NoClient:
        sayUnavailable(Operation::Connect);
        return false;
    case ConnectionState::ConnectStart::AlreadyConnected:
        say(ConsoleStream::Out, "[SDK] Already connected");
        return true;
    case ConnectionState::ConnectStart::Busy:
        say(ConsoleStream::Err, "[SDK] connect failed, rc=", MQTTCLIENT_FAILURE);
        return false;
    case ConnectionState::ConnectStart::Go:
        break;
    }
    {
        ConnectionState::Attempt attempt(connection);
        if (!insideLibraryCallback && edition == "Enterprise" && !sealPassword()) {
            return false;
        }
        int rc = insideLibraryCallback ? MQTTCLIENT_FAILURE : checkConnectRequest();
        if (rc == MQTTCLIENT_SUCCESS) {
            rc = connectLibraryClient();
        }
        if (rc != MQTTCLIENT_SUCCESS) {
            say(ConsoleStream::Err, "[SDK] connect failed, rc=", rc);
            return false;
        }
        client.connectionOpened();
        attempt.opened();
    }
    say(ConsoleStream::Out, "[SDK] Connected to ", serverUri);
    callConnectionHandler(true, 0);
    confirmLossBeforeCounted();
    return true;
}

void SDK::disconnect() {
    refuseFromHandler("disconnect");
    if (inheritedAcrossFork()) {
        sayUnavailable(Operation::Disconnect);
        return;
    }
    disconnectClient(true);
}

// disconnect without the re-entry check; teardown and a repeated init use it too.
void SDK::disconnectClient(bool reportNotConnected) {
    if (!connection.beginDisconnect()) {
        if (reportNotConnected) {
            sayUnavailable(Operation::Disconnect);
        }
        return;
    }
    // With a clean session the library's disconnect frees the messages still queued,
    // including one its receiving thread may be handing to a callback right now (or,
    // preempted, a while later): message callbacks are held off their messages until
    // the next connection attempt.
    if (connectOptions.cleansession != 0) {
        client.route().beginQueueRelease();
    }
    library.disconnect(client.get(), kDisconnectTimeoutMs);
    client.connectionClosed(true);
    deliveries.abandonAll();
    connection.endDisconnect();
    say(ConsoleStream::Out, "[SDK] Disconnected");
    callConnectionHandler(false, 0);
}

// Ends the library client once no connection attempt, disconnect or library call can use
// it, and leaves the connection in phase next. Callbacks are let go of first: one still
// running may be publishing. A loss reported late may have started a thread of ours: it
// is joined last.
void SDK::endClient(ConnectionState::Phase next) {
    connection.beginEnding();
    client.reset();
    if (next != ConnectionState::Phase::Ending) {
        connection.endEnding(next);
    }
    endReconnectRun();
}

void SDK::stop() {
    refuseFromHandler("stop");
    if (inheritedAcrossFork()) {
        sayUnavailable(Operation::Disconnect);
        return;
    }
    endReconnectRun();
    disconnectClient(true);
    endClient(ConnectionState::Phase::Stopped);
}

// The parent's threads do not exist here and their locks may stay held for ever: the
// handle and the threads are let go of without a library call, a lock or a join.
void SDK::abandonAfterFork() {
    for (std::thread* thread : {&reconnectThread, &retiredThread}) {
        if (thread->joinable()) {
            thread->detach();
        }
    }
    client.abandon();
}

SDK::~SDK() {
    if (inheritedAcrossFork()) {
        sayUnavailable(Operation::Disconnect);
        abandonAfterFork();
        return;
    }
    endReconnectRun();
    try {
        disconnectClient(true);
    } catch (...) {
        reportHandlerFailure("connection handler (teardown)");
    }
    endClient(ConnectionState::Phase::Stopped);
}

}  // namespace tarvo
