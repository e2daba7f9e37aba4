// Construction and configuration of an SDK object.
#include "sdk.hpp"

#include <stdexcept>

namespace tarvo {

int LibraryClient::create(const std::string& serverUri, const std::string& clientId) {
    int rc = MQTTClient_create(&handle_, serverUri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        reset();  // a failed create may still have written the handle
    }
    return rc;
}

void LibraryClient::reset() {
    if (handle_ != nullptr) {
        MQTTClient_destroy(&handle_);
        handle_ = nullptr;
    }
}

SDK::SDK() = default;

void SDK::init(const std::string& clientId_, const std::string& brokerHost, const std::string& protocol,
               const std::string& username_, const std::string& password_, bool cleanSession,
               bool /*resumeSubs*/, bool /*connectRetry*/, bool autoReconnect_, int /*connectRetryInterval*/,
               int maxReconnectInterval_, int keepAlive, int /*pingTimeout*/, int writeTimeout,
               bool /*orderMatters*/, int connectTimeout, const std::string& edition_) {
    refuseFromHandler("init");
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
    connectOptions.password = password.c_str();

    {
        std::unique_lock clientLock(clientMutex);
        if (int rc = client.create(serverUri, clientId); rc != MQTTCLIENT_SUCCESS) {
            throw std::runtime_error("SDK::init \xE2\x80\x94 MQTTClient_create failed: " + std::to_string(rc));
        }
    }
    MQTTClient_setCallbacks(client.get(), this, &SDK::connectionLost, &SDK::messageArrived, &SDK::deliveryComplete);
    writeConnectOptions(cleanSession, keepAlive, writeTimeout, connectTimeout);
    autoReconnect = autoReconnect_;
    maxReconnectInterval = maxReconnectInterval_;
    running.exchange(true);
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
