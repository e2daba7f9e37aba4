#include "live_clients.hpp"

#include "handlers.hpp"
#include "interruptible.hpp"

#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvo::binding {

namespace {

class LiveClients {
public:
    void add(BoundSDK& client) {
        std::lock_guard lock(mutex_);
        pins_.emplace(&client, 0);
    }

    // Waits while the exit hook is stopping this client.
    void remove(BoundSDK& client) {
        std::unique_lock lock(mutex_);
        unpinned_.wait(lock, [&] { return pins_.at(&client) == 0; });
        pins_.erase(&client);
    }

    void stopAll() {
        std::vector<BoundSDK*> clients;
        {
            std::lock_guard lock(mutex_);
            for (auto& [client, pins] : pins_) {
                ++pins;
                clients.push_back(client);
            }
        }
        for (BoundSDK* client : clients) {
            try {
                if (client->isRunning() && !client->hasAbandonedCalls()) {
                    client->stop();
                }
            } catch (...) {
                reportToUnraisableHook("stopping a client at exit");
            }
            std::lock_guard lock(mutex_);
            --pins_.at(client);
            unpinned_.notify_all();
        }
    }

private:
    // Guards pins_: every live client, with the number of exit hooks stopping it.
    // Taken with no core lock held.
    std::mutex mutex_;
    std::condition_variable unpinned_;
    std::unordered_map<BoundSDK*, int> pins_;
};

LiveClients& liveClients() {
    static LiveClients clients;
    return clients;
}

}  // namespace

BoundSDK::BoundSDK() {
    setHandlerFailureReporter(reportToUnraisableHook);
    setInterruptCheck(signalHandlerRaised);
    liveClients().add(*this);
}

BoundSDK::~BoundSDK() { liveClients().remove(*this); }

void BoundSDK::callAbandoned() {
    std::lock_guard lock(abandonedMutex_);
    ++abandonedCalls_;
}

bool BoundSDK::abandonedCallEnded() {
    std::lock_guard lock(abandonedMutex_);
    return --abandonedCalls_ == 0 && stopDeferred_.load();
}

bool BoundSDK::deferStop() {
    std::lock_guard lock(abandonedMutex_);
    if (abandonedCalls_ > 0) {
        stopDeferred_ = true;
    }
    return stopDeferred_.load();
}

void BoundSDK::cancelDeferredStop() {
    std::lock_guard lock(abandonedMutex_);
    stopDeferred_ = false;
}

void BoundSDK::deferredStopDone() { cancelDeferredStop(); }

bool BoundSDK::hasAbandonedCalls() {
    std::lock_guard lock(abandonedMutex_);
    return abandonedCalls_ > 0;
}

void stopLiveClients() { liveClients().stopAll(); }

}  // namespace tarvo::binding
