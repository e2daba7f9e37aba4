#include "library_client.hpp"

#include <pthread.h>

#include <chrono>
#include <thread>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarvo {

namespace {

// Process-wide, as the library's receiving thread is. The counters are atomic because
// the library's callbacks update them, some while holding the library's own lock;
// retiredMutex is never held during a library call.
std::atomic<int> connectedClients{0};
std::atomic<std::uint64_t> messageCallbacksEntered{0};
// Counted in every child forked after the library was set up (see keepLibraryInitialised).
std::atomic<std::uint64_t> forksSinceLibrarySetUp{0};

// A connection attempt waits this long for callbacks still running before it goes
// ahead; a handler that takes longer delays it no further.
constexpr auto kBoundedIdleWait = std::chrono::seconds(10);

struct RetiredHandle {
    MQTTClient handle;
    std::unique_ptr<CallbackRoute> route;
    std::uint64_t messageCallbacksEnteredBefore;
};

class RetiredHandles {
public:
    void add(MQTTClient handle, std::unique_ptr<CallbackRoute> route) {
        std::lock_guard lock(mutex_);
        handles_.push_back({handle, std::move(route), messageCallbacksEntered.load()});
    }

    // Destroys every retired handle the receiving thread is done with.
    void destroyFinished() {
        std::vector<RetiredHandle> finished;
        {
            std::lock_guard lock(mutex_);
            const bool threadStopped = connectedClients.load() == 0;
            const std::uint64_t entered = messageCallbacksEntered.load();
            std::erase_if(handles_, [&](RetiredHandle& retired) {
                if (threadStopped || retired.messageCallbacksEnteredBefore < entered) {
                    finished.push_back(std::move(retired));
                    return true;
                }
                return false;
            });
        }
        for (RetiredHandle& retired : finished) {
            MQTTClient_destroy(&retired.handle);
        }
    }

private:
    // Guards handles_; the last lock taken wherever it is taken.
    std::mutex mutex_;
    std::vector<RetiredHandle> handles_;
};

RetiredHandles& retiredHandles() {
    static RetiredHandles handles;
    return handles;
}

// The library sets up its process-wide state (a socket pair among it) with the first
// client and takes it down with the last, leaving those two sockets open: every cycle
// of a program that creates and ends its only client would cost two descriptors. One
// idle handle, created with the first client and never destroyed (it never connects),
// keeps that state up for the life of the process.
void keepLibraryInitialised() {
    static const MQTTClient anchor = [] {
        pthread_atfork(nullptr, nullptr, [] { ++forksSinceLibrarySetUp; });
        MQTTClient handle = nullptr;
        MQTTClient_create(&handle, "tcp://127.0.0.1:1", "tarvo-library-anchor", MQTTCLIENT_PERSISTENCE_NONE,
                          nullptr);
        return handle;
    }();
    static_cast<void>(anchor);
}

}  // namespace

void CallbackRoute::waitForIdle(bool bounded) {
    // Registering as a waiter before testing the count, while a visit lowers the count
    // before testing for waiters (both sequentially consistent), means that at least
    // one of the two sees the other: the wake-up cannot be lost.
    ++waiters_;
    {
        std::unique_lock lock(idleMutex_);
        auto idle = [this] { return visits_.load() == 0; };
        if (bounded) {
            idle_.wait_for(lock, kBoundedIdleWait, idle);
        } else {
            idle_.wait(lock, idle);
        }
    }
    --waiters_;
}

void CallbackRoute::beginQueueRelease() {
    // holding_ is set before visits_ is read, and a callback counts its visit before it
    // reads holding_: either this sees the visit, or the callback sees the hold.
    holding_.store(true);
    ++waiters_;
    {
        std::unique_lock lock(idleMutex_);
        idle_.wait(lock, [this] { return visits_.load() == 0 || held_.load(); });
    }
    --waiters_;
}

void CallbackRoute::endQueueRelease() {
    holding_.store(false);
    held_.store(false);
}

void CallbackRoute::releaseHeldMessage() {
    {
        std::lock_guard lock(idleMutex_);
        held_.store(true);
        idle_.notify_all();
    }
    // The disconnecting thread calls the library's disconnect as soon as it is woken; it
    // may itself wait for this thread (the library stops its receiving thread along
    // with the last client), so this cannot wait for the whole disconnect to end.
    while (MQTTClient_isConnected(handle_.load())) {
        std::this_thread::yield();
    }
}

void CallbackRoute::leave() {
    if (--visits_ == 0 && waiters_.load() > 0) {
        std::lock_guard lock(idleMutex_);
        idle_.notify_all();
    }
}

int LibraryClient::create(const std::string& serverUri, const std::string& clientId, void* receiver) {
    keepLibraryInitialised();
    route_ = std::make_unique<CallbackRoute>(receiver);
    int rc = MQTTClient_create(&handle_, serverUri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        reset();  // a failed create may still have written the handle
        return rc;
    }
    route_->setHandle(handle_);
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
    if (connectedClients.load() == 0) {
        MQTTClient_destroy(&handle);
        route_.reset();
    } else {
        retiredHandles().add(handle, std::move(route_));
    }
    retiredHandles().destroyFinished();
}

void LibraryClient::abandon() {
    handle_ = nullptr;
    route_.reset();
}

std::uint64_t LibraryClient::forkCount() { return forksSinceLibrarySetUp.load(); }

bool LibraryClient::libraryLostToFork() { return forksSinceLibrarySetUp.load() != 0; }

bool LibraryClient::noClientConnected() { return connectedClients.load() == 0; }

void LibraryClient::connectionOpened() { ++connectedClients; }

void LibraryClient::connectionClosed(bool closedByDisconnect) {
    if (--connectedClients == 0 && closedByDisconnect) {
        retiredHandles().destroyFinished();
    }
}

void LibraryClient::messageCallbackEntered() { ++messageCallbacksEntered; }

}  // namespace tarvo
