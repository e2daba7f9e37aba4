// Connecting (with Enterprise credential sealing), disconnecting, stopping, teardown.
#include "broker_key.hpp"
#include "jose.hpp"
#include "console.hpp"
#include "sdk.hpp"

#include <algorithm>
#include <iostream>
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
        std::cerr << "[SDK] JWK import failed\n";
        return false;
    }
    jose::Header header(cjose_header_new(&err));
    if (!header) {
        std::cerr << "[SDK] JWE header creation failed\n";
        return false;
    }
    cjose_header_set(header.get(), CJOSE_HDR_ALG, CJOSE_HDR_ALG_RSA_OAEP, &err);
    cjose_header_set(header.get(), CJOSE_HDR_ENC, CJOSE_HDR_ENC_A256GCM, &err);
    jose::Jwe jwe(cjose_jwe_encrypt(key.get(), header.get(), reinterpret_cast<const uint8_t*>(password.data()),
                                    password.size(), &err));
    if (!jwe) {
        std::cerr << "[SDK] JWE encryption failed\n";
        return false;
    }
    jose::Text token(cjose_jwe_export(jwe.get(), &err));
    if (!token) {
        std::cerr << "[SDK] JWE export failed\n";
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
// taken as the longest it can wait (24 days).
int SDK::connectLibraryClient() {
    // A subscribe or unsubscribe still waiting for the answer of a lost connection gives
    // up after the library's 10 s and then closes its client's connection, whichever is
    // open by then: the next one is opened only after it. No new one can start
    // meanwhile, as the client counts as not connected.
    {
        std::unique_lock lock(requestMutex);
        requestsEnded.wait(lock, [this] { return requestsAwaitingAnswer == 0; });
    }
    MQTTClient_connectOptions options = connectOptions;
    options.connectTimeout = std::min(options.connectTimeout, kMaxConnectTimeout);
    return MQTTClient_connect(client.get(), &options);
}

bool SDK::connect() {
    refuseFromHandler("connect");
    if (inheritedAcrossFork()) {
        std::cerr << "[SDK] connect \xE2\x80\x94 call init() first\n";
        return false;
    }
    {
        std::lock_guard connectionLock(connectionMutex);
        if (!client) {
            std::cerr << "[SDK] connect \xE2\x80\x94 call init() first\n";
            return false;
        }
        if (connected.load()) {
            std::cout << "[SDK] Already connected\n";
            return true;
        }
        // On the library's receiving thread the CONNACK could only be read after the
        // attempt gave up.
        if (insideLibraryCallback) {
            writeLine(std::cerr, "[SDK] connect failed, rc=", MQTTCLIENT_FAILURE);
            return false;
        }
        if (edition == "Enterprise" && !sealPassword()) {
            return false;
        }
        int rc = checkConnectRequest();
        if (rc == MQTTCLIENT_SUCCESS) {
            client.route().waitForIdle(true);
            client.route().endQueueRelease();
            rc = connectLibraryClient();
        }
        if (rc != MQTTCLIENT_SUCCESS) {
            writeLine(std::cerr, "[SDK] connect failed, rc=", rc);
            return false;
        }
        connected.exchange(true);
        LibraryClient::connectionOpened();
        writeLine(std::cout, "[SDK] Connected to ", serverUri);
    }
    callConnectionHandler(true, 0);
    if (lostBeforeCounted()) {
        loseConnection(nullptr);
    }
    return true;
}

void SDK::disconnect() {
    refuseFromHandler("disconnect");
    if (inheritedAcrossFork()) {
        std::cout << "[SDK] Not connected\n";
        return;
    }
    disconnectClient(true);
}

// disconnect without the re-entry check; teardown and a repeated init use it too.
void SDK::disconnectClient(bool reportNotConnected) {
    {
        std::lock_guard connectionLock(connectionMutex);
        if (!client || !connected.load()) {
            if (reportNotConnected) {
                std::cout << "[SDK] Not connected\n";
            }
            return;
        }
        // With a clean session the library's disconnect frees the messages still
        // queued, including one its receiving thread may be handing to a callback
        // right now (or, preempted, a while later): message callbacks are held off
        // their messages until the next connection attempt.
        if (connectOptions.cleansession != 0) {
            client.route().beginQueueRelease();
        }
        // Dropped by the library but not yet reported (connected is cleared under
        // lossMutex when the report comes): the report is this disconnect's.
        const bool droppedByLibrary = MQTTClient_isConnected(client.get()) == 0;
        {
            std::lock_guard lossLock(lossMutex);
            lossOfEndedConnectionPending = droppedByLibrary && connected.load();
        }
        disconnecting = true;
        MQTTClient_disconnect(client.get(), kDisconnectTimeoutMs);
        disconnecting = false;
        // A loss reported meanwhile has counted the connection closed already.
        if (connected.exchange(false)) {
            LibraryClient::connectionClosed(true);
        }
        abandonDeliveries();
        std::cout << "[SDK] Disconnected\n";
    }
    callConnectionHandler(false, 0);
}

// Ends the library client once no connection attempt (connectionMutex), no callback
// and no library call (clientMutex) can use it. Callbacks are let go of first, without
// clientMutex: one still running may be publishing. A loss reported late may have
// started a thread of ours: it is joined last.
void SDK::endClient() {
    {
        std::lock_guard connectionLock(connectionMutex);
        if (client) {
            client.route().detach();
        }
        std::unique_lock clientLock(clientMutex);
        client.reset();
        // A report still on the way can no longer reach this object.
        std::lock_guard lossLock(lossMutex);
        lossOfEndedConnectionPending = false;
    }
    endReconnectRun();
}

void SDK::stop() {
    refuseFromHandler("stop");
    if (inheritedAcrossFork()) {
        std::cout << "[SDK] Not connected\n";
        return;
    }
    endReconnectRun();
    disconnectClient(true);
    endClient();
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
        std::cout << "[SDK] Not connected\n";
        abandonAfterFork();
        return;
    }
    endReconnectRun();
    try {
        disconnectClient(true);
    } catch (...) {
        reportHandlerFailure("connection handler (teardown)");
    }
    endClient();
}

}  // namespace tarvo
