// Connecting (with Enterprise credential sealing), disconnecting, stopping, teardown.
#include "broker_key.hpp"
#include "jose.hpp"
#include "console.hpp"
#include "sdk.hpp"

#include <iostream>
#include <stdexcept>

namespace tarvo {

namespace {
constexpr int kDisconnectTimeoutMs = 10000;
}

void SDK::refuseFromHandler(const char* operation) const {
    // handlerMutex is not recursive and is held by this very thread: going on would
    // deadlock (or, for init and stop, destroy the client under the running callback).
    if (handlerOwner.load() == std::this_thread::get_id()) {
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

bool SDK::connect() {
    refuseFromHandler("connect");
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
        if (edition == "Enterprise" && !sealPassword()) {
            return false;
        }
        // A username is text, where MQTT forbids NUL; cut there it would log in as
        // someone else.
        if (containsNul(username)) {
            writeLine(std::cerr, "[SDK] connect failed, rc=", MQTTCLIENT_BAD_UTF8_STRING);
            return false;
        }
        client.route().waitForIdle(true);
        client.route().endQueueRelease();
        int rc = MQTTClient_connect(client.get(), &connectOptions);
        if (rc != MQTTCLIENT_SUCCESS) {
            writeLine(std::cerr, "[SDK] connect failed, rc=", rc);
            return false;
        }
        connected.exchange(true);
        LibraryClient::connectionOpened();
        writeLine(std::cout, "[SDK] Connected to ", serverUri);
    }
    callConnectionHandler(true, 0);
    return true;
}

void SDK::disconnect() {
    refuseFromHandler("disconnect");
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
    }
    endReconnectRun();
}

void SDK::stop() {
    refuseFromHandler("stop");
    endReconnectRun();
    disconnectClient(true);
    endClient();
}

SDK::~SDK() {
    endReconnectRun();
    try {
        disconnectClient(true);
    } catch (...) {
        reportHandlerFailure("connection handler (teardown)");
    }
    endClient();
}

}  // namespace tarvo
