#include "library_client.hpp"

#include <utility>

namespace tarvo {

namespace {
// The CONNACK code of a server that does not speak the protocol version asked for.
constexpr int kUnacceptableProtocolVersion = 1;
}  // namespace

int LibraryClient::create(const std::string& serverUri, const std::string& clientId, void* receiver,
                          Callbacks callbacks) {
    serverUri_ = serverUri;
    clientId_ = clientId;
    receiver_ = receiver;
    callbacks_ = callbacks;
    qos2Inbound_.store(false);
    connectAttempted_ = false;
    return open(handle_, route_);
}

int LibraryClient::open(MQTTClient& handle, std::shared_ptr<CallbackRoute>& route) {
    route = std::make_shared<CallbackRoute>(library_, receiver_);
    int rc = library_.create(&handle, serverUri_.c_str(), clientId_.c_str());
    if (rc == MQTTCLIENT_SUCCESS) {
        rc = library_.setCallbacks(handle, route.get(), callbacks_.connectionLost, callbacks_.messageArrived,
                                   callbacks_.deliveryComplete);
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        if (handle != nullptr) {                               // a failed create may still have written it
            library_.destroy(std::exchange(handle, nullptr));  // never connected: nothing else uses it
        }
        route.reset();
    }
    return rc;
}

void LibraryClient::reset() {
    if (route_) {
        route_->detach();
    }
    if (handle_ == nullptr) {
        route_.reset();
        return;
    }
    MQTTClient handle = std::exchange(handle_, nullptr);
    if (noClientConnected()) {
        library_.destroy(handle);
        route_.reset();
    } else {
        library_.retirement_.retire(handle, std::move(route_));
    }
    destroyFinishedRetirees();
}

void LibraryClient::abandon() {
    handle_ = nullptr;
    route_.reset();
}

int LibraryClient::connect(MQTTClient_connectOptions& options, bool callsRunning) {
    route_->waitForIdle(true);
    route_->endQueueRelease();
    renewIfSessionAllows(options, callsRunning);
    // Pinned, so that a failed 3.1.1 attempt is not followed by a second CONNECT on the
    // same handle within the library's own call: the fallback comes only from the
    // server's answer, and on a new handle where one may be had.
    options.MQTTVersion = MQTTVERSION_3_1_1;
    int rc = attempt(options);
    if (rc == kUnacceptableProtocolVersion) {
        renewIfSessionAllows(options, callsRunning);
        options.MQTTVersion = MQTTVERSION_3_1;
        rc = attempt(options);
    }
    return rc;
}

// Not counted as a stop itself, although a failed MQTT 3.1 attempt ends as a disconnect
// does: counted, it would hold every other connect of the process for as long as it
// waits for a server that does not answer.
int LibraryClient::attempt(MQTTClient_connectOptions& options) {
    library_.threadStopOrder_.awaitNoStop();
    connectAttempted_ = true;
    const std::uint64_t retiredBefore = library_.retirement_.retiredSoFar();
    const int rc = library_.connect(handle_, &options);
    if (rc == MQTTCLIENT_SUCCESS) {
        library_.retirement_.clientConnected();
        library_.retirement_.connectAnswered(retiredBefore);
        destroyFinishedRetirees();
    }
    return rc;
}

// A handle that once waited for a CONNACK may hold a stale signal of one, which its next
// connect takes for the server's answer (see library.hpp): a new handle for every
// attempt is the one way to never meet it. The old handle is kept instead while it holds
// what a kept session still needs from it (QoS 1 and 2 publications in flight, which it
// sends again; an incoming QoS 2 message waiting for its PUBREL) or while something may
// still use it (a library call cut off by a loss, a callback still running). With a
// clean session the library drops all of that at connect anyway.
void LibraryClient::renewIfSessionAllows(const MQTTClient_connectOptions& options, bool callsRunning) {
    if (!connectAttempted_ || callsRunning || !route_->idle()) {
        return;
    }
    if (options.cleansession == 0 && (qos2Inbound_.load() || library_.hasPendingDeliveries(handle_))) {
        return;
    }
    MQTTClient fresh = nullptr;
    std::shared_ptr<CallbackRoute> freshRoute;
    if (open(fresh, freshRoute) != MQTTCLIENT_SUCCESS) {
        return;  // the old handle serves, as it would have without renewal
    }
    reset();
    handle_ = fresh;
    route_ = std::move(freshRoute);
    connectAttempted_ = false;
}

void LibraryClient::disconnect(int timeoutMs, bool releasesQueue) {
    if (releasesQueue) {
        route_->beginQueueRelease();
    }
    {
        ThreadStopOrder::Stop stop(library_.threadStopOrder_);
        library_.disconnect(handle_, timeoutMs);
    }
    connectionClosed(true);
}

void LibraryClient::connectionClosed(bool closedByDisconnect) {
    if (library_.retirement_.clientDisconnected() && closedByDisconnect) {
        destroyFinishedRetirees();
    }
}

void LibraryClient::destroyFinishedRetirees() {
    for (HandleRetirement::Retired& retired : library_.retirement_.finished()) {
        library_.destroy(retired.handle);
    }
}

}  // namespace tarvo
