#include "library_client.hpp"

#include <utility>
#include <vector>

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
        LockGuard lock(library_.retiredMutex_);
        library_.retired_.push_back({handle, std::move(route_), library_.messageCallbacksEntered_.load()});
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
int LibraryClient::connect(MQTTClient_connectOptions options) {
    route_->waitForIdle(true);
    route_->endQueueRelease();
    library_.threadStopOrder_.awaitNoStop();
    const int rc = library_.connect(handle_, &options);
    if (rc == MQTTCLIENT_SUCCESS) {
        ++library_.connectedClients_;
    }
    return rc;
}

void LibraryClient::disconnect(int timeoutMs, bool releasesQueue) {
    if (releasesQueue) {
        route_->beginQueueRelease();
    }
    {
        Library::ThreadStopOrder::Stop stop(library_.threadStopOrder_);
        library_.disconnect(handle_, timeoutMs);
    }
    connectionClosed(true);
}

void LibraryClient::connectionClosed(bool closedByDisconnect) {
    if (--library_.connectedClients_ == 0 && closedByDisconnect) {
        destroyFinishedRetirees();
    }
}

void LibraryClient::destroyFinishedRetirees() {
    std::vector<Library::RetiredHandle> finished;
    {
        LockGuard lock(library_.retiredMutex_);
        const bool threadStopped = noClientConnected();
        const std::uint64_t entered = library_.messageCallbacksEntered_.load();
        std::erase_if(library_.retired_, [&](Library::RetiredHandle& retired) {
            if (threadStopped || retired.messageCallbacksEnteredBefore < entered) {
                finished.push_back(std::move(retired));
                return true;
            }
            return false;
        });
    }
    for (Library::RetiredHandle& retired : finished) {
        library_.destroy(retired.handle);
    }
}

}  // namespace tarvo
