// Construction and configuration of an SDK object.
#include "sdk.hpp"

#include <memory>
#include <stdexcept>

namespace tarvo {

SDK::SDK(Library& library_, ConsoleSink console_)
    : library(library_), console(std::move(console_)), currentSession(std::make_shared<const Session>(Options{})) {}

void SDK::init(const Options& options) {
    refuseFromHandler("init");
    if (forksSincePahoSetUp() != 0) {
        // An inherited object keeps its parent's client untouched, as does a new one.
        throw std::runtime_error(
            "SDK::init \xE2\x80\x94 this process was forked from one that used the MQTT library, whose "
            "threads do not survive fork(): start worker processes with the 'spawn' or 'forkserver' method");
    }
    // One object holds one library client: a repeated init first ends the earlier one
    // as stop would, without the "Not connected" notice. The phase stays Ending until the
    // new client is made, so that no attempt can use a half-written configuration.
    shutDown(Shutdown::ForNewClient);
    tls.readEnvironment();

    auto configured = std::make_shared<const Session>(options);
    {
        LockGuard lock(sessionMutex);
        currentSession = configured;
        sealedPassword.clear();
    }
    subscriptions.clear();
    // The library takes these as C strings: cut at a NUL, they would name another client
    // or server than the caller did, so they are refused as it refuses text it cannot
    // accept.
    int rc = containsNul(configured->serverUri) || containsNul(configured->clientId)
                 ? MQTTCLIENT_BAD_UTF8_STRING
                 : client.create(configured->serverUri, configured->clientId, this,
                                 {&SDK::connectionLost, &SDK::messageArrived, &SDK::deliveryComplete});
    if (rc != MQTTCLIENT_SUCCESS) {
        connection.endEnding(ConnectionState::Phase::Unconfigured);
        throw std::runtime_error("SDK::init \xE2\x80\x94 MQTTClient_create failed: " + std::to_string(rc));
    }
    forkCountAtInit = forksSincePahoSetUp();
    run.enable();
    connection.endEnding(ConnectionState::Phase::Idle);
}

SDK::Session::Session(const Options& options)
    : serverUri(options.protocol + "://" + options.brokerHost),
      clientId(options.clientId),
      username(options.username),
      password(options.password),
      edition(options.edition),
      resumeSubs(options.resumeSubs),
      connectRetry(options.connectRetry),
      autoReconnect(options.autoReconnect),
      connectRetryInterval(options.connectRetryInterval),
      maxReconnectInterval(options.maxReconnectInterval) {
    connectOptions.username = username.c_str();
    // The MQTT password is binary data. One holding a NUL byte goes to the library
    // through its length-counted binary field, which it reads only when the C string is
    // null.
    if (containsNul(password)) {
        connectOptions.password = nullptr;
        connectOptions.binarypwd.len = static_cast<int>(password.size());
        connectOptions.binarypwd.data = password.data();
    } else {
        connectOptions.password = password.c_str();
    }
    connectOptions.keepAliveInterval = options.keepAlive;
    connectOptions.cleansession = options.cleanSession ? 1 : 0;
    connectOptions.connectTimeout = options.connectTimeout;
    connectOptions.retryInterval = options.writeTimeout;
    connectOptions.reliable = 0;
    connectOptions.maxInflightMessages = static_cast<int>(kMaxInflightMessages);
}

}  // namespace tarvo
