// Construction and configuration of an SDK object.
#include "sdk.hpp"

#include <stdexcept>

namespace tarvo {

SDK::SDK() = default;

void SDK::init(const std::string& clientId_, const std::string& brokerHost, const std::string& protocol,
               const std::string& username_, const std::string& password_, bool cleanSession,
               bool /*resumeSubs*/, bool /*connectRetry*/, bool autoReconnect_, int /*connectRetryInterval*/,
               int maxReconnectInterval_, int keepAlive, int /*pingTimeout*/, int writeTimeout,
               bool /*orderMatters*/, int connectTimeout, const std::string& edition_) {
    refuseFromHandler("init");
    if (LibraryClient::libraryLostToFork()) {
        // An inherited object keeps its parent's client untouched, as does a new one.
        throw std::runtime_error(
            "SDK::init \xE2\x80\x94 this process was forked from one that used the MQTT library, whose "
            "threads do not survive fork(): start worker processes with the 'spawn' or 'forkserver' method");
    }
    // One object holds one library client: a repeated init first ends the earlier one
    // as stop would, without the "Not connected" notice.
    endReconnectRun();
    disconnectClient(false);
    endClient();

    std::lock_guard connectionLock(connectionMutex);
    clientId = clientId_;
    username = username_;
    password = password_;
    edition = edition_;
    serverUri = protocol + "://" + brokerHost;
    // The options point into the strings just replaced.
    connectOptions.username = username.c_str();
    pointAtPassword();

    {
        std::unique_lock clientLock(clientMutex);
        // The library takes these as C strings: cut at a NUL, they would name another
        // client or server than the caller did, so they are refused as it refuses text
        // it cannot accept.
        int rc = containsNul(serverUri) || containsNul(clientId) ? MQTTCLIENT_BAD_UTF8_STRING
                                                                  : client.create(serverUri, clientId, this);
        if (rc != MQTTCLIENT_SUCCESS) {
            throw std::runtime_error("SDK::init \xE2\x80\x94 MQTTClient_create failed: " + std::to_string(rc));
        }
    }
    MQTTClient_setCallbacks(client.get(), &client.route(), &SDK::connectionLost, &SDK::messageArrived,
                            &SDK::deliveryComplete);
    writeConnectOptions(cleanSession, keepAlive, writeTimeout, connectTimeout);
    autoReconnect = autoReconnect_;
    maxReconnectInterval = maxReconnectInterval_;
    forkCountAtInit = LibraryClient::forkCount();
    running.exchange(true);
}

// The MQTT password is binary data. One holding a NUL byte goes to the library through
// its length-counted binary field, which it reads only when the C string is null.
void SDK::pointAtPassword() {
    if (containsNul(password)) {
        connectOptions.password = nullptr;
        connectOptions.binarypwd.len = static_cast<int>(password.size());
        connectOptions.binarypwd.data = password.data();
    } else {
        connectOptions.password = password.c_str();
        connectOptions.binarypwd.len = 0;
        connectOptions.binarypwd.data = nullptr;
    }
}

void SDK::writeConnectOptions(bool cleanSession, int keepAlive, int writeTimeout, int connectTimeout) {
    connectOptions.keepAliveInterval = keepAlive;
    connectOptions.cleansession = cleanSession ? 1 : 0;
    connectOptions.connectTimeout = connectTimeout;
    connectOptions.retryInterval = writeTimeout;
    connectOptions.reliable = 0;
    connectOptions.maxInflightMessages = static_cast<int>(kMaxInflightMessages);
}

}  // namespace tarvo
