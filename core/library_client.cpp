#include "library_client.hpp"

#include <utility>

namespace tarvo {

int LibraryClient::create(const std::string& serverUri, const std::string& clientId, void* receiver) {
    route_ = std::make_shared<CallbackRoute>(library_, receiver);
    const int rc = library_.create(&handle_, serverUri.c_str(), clientId.c_str());
    if (rc != MQTTCLIENT_SUCCESS) {
        reset();  // a failed create may still have written the handle
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

// Not counted as a stop itself, although a failed connect ends its library's fallback
// attempt (MQTT 3.1) as a disconnect does: counted, it would hold every other connect of
// the process for as long as it waits for a server that does not answer.
int LibraryClient::connect(MQTTClient_connectOptions& options) {
    route_->waitForIdle(true);
    route_->endQueueRelease();
    library_.threadStopOrder_.awaitNoStop();
    const int rc = library_.connect(handle_, &options);
    if (rc == MQTTCLIENT_SUCCESS) {
        library_.retirement_.clientConnected();
    }
    return rc;
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
