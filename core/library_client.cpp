#include "library_client.hpp"

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace tarvo {

namespace {
// The CONNACK return code of a server that does not speak the protocol version asked for.
constexpr int kUnacceptableProtocolVersion = 1;
}  // namespace

int LibraryClient::create(const std::string& serverUri, const std::string& clientId, void* receiver) {
    route_ = std::make_shared<CallbackRoute>(library_, receiver);
    int rc = library_.create(&handle_, serverUri.c_str(), clientId.c_str());
    if (rc != MQTTCLIENT_SUCCESS) {
        reset();  // a failed create may still have written the handle
        return rc;
    }
    return rc;
}

// The version is given (the library's own choice, MQTTVersion 0, falls back to 3.1 on
// any failure, which lets a stale CONNACK signal cost the next session: see
// library.hpp), and 3.1 is tried only when the server answers that it does not speak
// 3.1.1. A connect that failed with -1 may have taken such a stale signal for its
// answer, which only one connect can: it is tried once more. Neither second attempt
// outlasts the connect timeout: each gets the whole seconds left of it, as the library's
// fallback shared one timeout, and none is made with less than a second left.
int LibraryClient::connect(MQTTClient_connectOptions options) {
    using Clock = std::chrono::steady_clock;
    options.MQTTVersion = MQTTVERSION_3_1_1;
    std::optional<Clock::time_point> deadline;
    bool retriedFailure = false;
    for (;;) {
        library_.threadStopOrder_.awaitNoStop();
        if (!deadline) {
            deadline = Clock::now() + std::chrono::seconds(options.connectTimeout);
        }
        int rc = MQTTCLIENT_FAILURE;
        if (options.MQTTVersion == MQTTVERSION_3_1) {
            // A failed 3.1 attempt ends as a disconnect does, stopping the thread when it
            // finds no other handle connected.
            Library::ThreadStopOrder::Stop stop(library_.threadStopOrder_);
            rc = library_.connect(handle_, &options);
        } else {
            rc = library_.connect(handle_, &options);
        }
        const bool olderVersion = rc == kUnacceptableProtocolVersion && options.MQTTVersion == MQTTVERSION_3_1_1;
        const bool retry = rc == MQTTCLIENT_FAILURE && !std::exchange(retriedFailure, true);
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(*deadline - Clock::now());
        if (!(olderVersion || retry) || left.count() < 1) {
            return rc;
        }
        if (olderVersion) {
            options.MQTTVersion = MQTTVERSION_3_1;
        }
        options.connectTimeout = static_cast<int>(left.count());
    }
}

void LibraryClient::disconnect(int timeoutMs) {
    {
        Library::ThreadStopOrder::Stop stop(library_.threadStopOrder_);
        library_.disconnect(handle_, timeoutMs);
    }
    connectionClosed(true);
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
