// Connecting (with Enterprise credential sealing), disconnecting, stopping, teardown.
#include "broker_key.hpp"
#include "jose.hpp"
#include "sdk.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

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

// Seals the password as a JWE token to the broker key, which attempts then send in its
// place. Fails closed: on any failure the caller must not attempt a connection, since
// the plain password is exactly what this edition must never send.
bool SDK::sealPassword(const Session& session) {
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
    jose::Jwe jwe(cjose_jwe_encrypt(key.get(), header.get(), reinterpret_cast<const uint8_t*>(session.password.data()),
                                    session.password.size(), &err));
    if (!jwe) {
        say(ConsoleStream::Err, "[SDK] JWE encryption failed");
        return false;
    }
    jose::Text token(cjose_jwe_export(jwe.get(), &err));
    if (!token) {
        say(ConsoleStream::Err, "[SDK] JWE export failed");
        return false;
    }
    LockGuard lock(sessionMutex);
    sealedPassword = token.get();
    return true;
}

// The code connect reports for a request it refuses without calling the library, which
// would send it wrong or could not survive it; MQTTCLIENT_SUCCESS otherwise.
int SDK::checkConnectRequest(const Session& session) const {
    // A username is text, where MQTT forbids NUL: cut there, it would log in as someone
    // else. Longer than MQTT's 16-bit length, a field goes out with its length cut and
    // the CONNECT malformed.
    std::size_t passwordSize = session.password.size();
    if (session.edition == "Enterprise") {
        LockGuard lock(sessionMutex);
        passwordSize = sealedPassword.size();
    }
    if (containsNul(session.username) || session.username.size() > kMaxMqttString ||
        session.clientId.size() > kMaxMqttString || passwordSize > kMaxMqttString) {
        return MQTTCLIENT_BAD_UTF8_STRING;
    }
    // A keepalive of 65,536 would go out as 0, which turns keepalive off. With no time
    // to connect, the library returns before its receiving thread is up, and the next
    // attempt starts a second one (a few of them crash the process).
    const MQTTClient_connectOptions& options = session.connectOptions;
    if (options.keepAliveInterval < 0 || options.keepAliveInterval > kMaxKeepAlive || options.connectTimeout <= 0) {
        return MQTTCLIENT_BAD_STRUCTURE;
    }
    return MQTTCLIENT_SUCCESS;
}

// Connects with the session's options, in the Enterprise edition the token of the last
// sealing, and the TLS settings and the will of this moment; a connect timeout too long
// for the library is taken as the longest it can wait. A failure's reason, when one is
// known, goes to failureNote as " (reason)"; on success, sessionKept tells whether the
// broker kept the client's session (only an MQTT 3.1.1 CONNACK says so: on MQTT 3.1 it
// counts as not kept).
int SDK::connectLibraryClient(const Session& session, std::string& failureNote, bool& sessionKept) {
    MQTTClient_connectOptions options = session.connectOptions;
    options.connectTimeout = std::min(options.connectTimeout, kMaxConnectTimeout);
    std::string token;
    if (session.edition == "Enterprise") {
        LockGuard lock(sessionMutex);
        token = sealedPassword;
    }
    if (!token.empty()) {
        options.password = token.c_str();
    }
    Tls::Attempt tlsAttempt(tls, session.serverUri, options.connectTimeout);
    if (!tlsAttempt.refusal().empty()) {
        failureNote = " (" + tlsAttempt.refusal() + ")";
        return tlsAttempt.refusalCode();
    }
    options.ssl = tlsAttempt.options();
    Will::Attempt willAttempt(will);
    options.will = willAttempt.options();
    const int rc = client.connect(options, connection.callsInProgress());
    sessionKept = rc == MQTTCLIENT_SUCCESS && options.returned.sessionPresent != 0;
    if (const std::string reason = tlsAttempt.failureReason(rc); !reason.empty()) {
        failureNote = " (TLS: " + reason + ")";
    }
    return rc;
}

void SDK::sayUnavailable(Operation operation) const {
    struct Line {
        ConsoleStream stream;
        const char* text;
    };
    static constexpr Line kLines[] = {
        {ConsoleStream::Err, "[SDK] connect \xE2\x80\x94 call init() first"},  // Connect
        {ConsoleStream::Out, "[SDK] Not connected"},                           // Disconnect
        {ConsoleStream::Err, "[SDK] publish \xE2\x80\x94 not connected"},      // Publish
        {ConsoleStream::Err, "[SDK] subscribe \xE2\x80\x94 not connected"},    // Subscribe
        {ConsoleStream::Err, "[SDK] unsubscribe \xE2\x80\x94 not connected"},  // Unsubscribe
    };
    const Line& line = kLines[static_cast<std::size_t>(operation)];
    say(line.stream, line.text);
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
    case ConnectionState::ConnectStart::NotLost:  // (a reconnect's answer only)
        say(ConsoleStream::Err, "[SDK] connect failed, rc=", MQTTCLIENT_FAILURE);
        return false;
    case ConnectionState::ConnectStart::Go:
        break;
    }
    const std::shared_ptr<const Session> configured = session();
    bool retry = false;
    bool opened = false;
    {
        ConnectionState::Attempt attempt(connection);
        if (!insideLibraryCallback && configured->edition == "Enterprise" && !sealPassword(*configured)) {
            return false;
        }
        std::string failureNote;
        int rc = insideLibraryCallback ? MQTTCLIENT_FAILURE : checkConnectRequest(*configured);
        bool sessionKept = false;
        if (rc == MQTTCLIENT_SUCCESS) {
            rc = connectLibraryClient(*configured, failureNote, sessionKept);
            // What the checks above refuse would fail again; what the broker (or its
            // absence) refused may not.
            retry = rc != MQTTCLIENT_SUCCESS && configured->connectRetry;
        }
        if (rc != MQTTCLIENT_SUCCESS) {
            say(ConsoleStream::Err, "[SDK] connect failed, rc=", rc, failureNote);
            if (retry) {
                attempt.leaveToReconnectRun();
            }
        } else {
            say(ConsoleStream::Out, "[SDK] Connected to ", configured->serverUri);
            restoreSubscriptions(*configured, sessionKept, attempt);
            attempt.opened();
            opened = true;
        }
    }
    if (!opened) {
        if (retry) {
            retryConnectLater();
        }
        return false;
    }
    callConnectionHandler(true, 0);
    confirmLossBeforeCounted();
    return true;
}

// On a connection whose broker kept no session for the client, subscribes again to what
// the client was subscribed to (with resumeSubs), before the connection counts as open: the
// application's own subscribes and unsubscribes wait meanwhile, while messages arrive and
// may be answered. A subscription that fails is reported as subscribe reports it; one
// that finds the connection gone ends the restore (the loss is reported once the attempt
// has ended).
void SDK::restoreSubscriptions(const Session& session, bool sessionKept, ConnectionState::Attempt& attempt) {
    if (!session.resumeSubs || sessionKept) {
        return;
    }
    const std::vector<std::pair<std::string, int>> filters = subscriptions.filters();
    if (filters.empty()) {
        return;
    }
    attempt.restoring();
    for (const auto& [filter, qos] : filters) {
        if (qos == 2) {
            client.noteQos2Inbound();
        }
        ConnectionState::Call call(connection);
        const int rc = library.subscribe(client.get(), filter.c_str(), qos);
        if (rc == MQTTCLIENT_SUCCESS) {
            say(ConsoleStream::Out, "[SDK] Subscribed to: ", filter);
            continue;
        }
        say(ConsoleStream::Err, "[SDK] subscribe failed on '", filter, "', rc=", rc);
        if (!library.isConnected(client.get())) {
            return;
        }
    }
}

// A connect failed with connectRetry: the reconnect run tries again in the background.
void SDK::retryConnectLater() {
    try {
        run.retryConnect();
    } catch (const std::system_error& error) {
        say(ConsoleStream::Err, "[SDK] Reconnect thread could not be started: ", error.what());
    }
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
    // The library waits for the messages in flight (up to the timeout), unless an
    // interrupt gave them up: a frozen broker would hold the caller for the whole 10 s.
    client.disconnect(deliveries.givenUp() ? 0 : kDisconnectTimeoutMs, session()->connectOptions.cleansession != 0);
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
    run.end();
}

// The one way init (before it makes its new client), stop and teardown end what the
// object had: the reconnect run, the connection (with its line and event), the client.
// An exception of the connection handler leaves the client to a later stop or teardown,
// except in teardown, where nobody could take it.
void SDK::shutDown(Shutdown kind) {
    run.end();
    if (kind == Shutdown::Teardown) {
        try {
            disconnectClient(true);
        } catch (...) {
            reportHandlerFailure("connection handler (teardown)");
        }
    } else {
        disconnectClient(kind == Shutdown::Stop);
    }
    endClient(kind == Shutdown::ForNewClient ? ConnectionState::Phase::Ending : ConnectionState::Phase::Stopped);
}

void SDK::stop() {
    refuseFromHandler("stop");
    if (inheritedAcrossFork()) {
        sayUnavailable(Operation::Disconnect);
        return;
    }
    shutDown(Shutdown::Stop);
}

// The parent's threads do not exist here and their locks may stay held for ever: the
// handle and the threads are let go of without a library call, a lock or a join.
void SDK::abandonAfterFork() {
    run.abandonAfterFork();
    client.abandon();
}

SDK::~SDK() {
    if (inheritedAcrossFork()) {
        sayUnavailable(Operation::Disconnect);
        abandonAfterFork();
        return;
    }
    shutDown(Shutdown::Teardown);
}

}  // namespace tarvo
