#include "live_clients.hpp"

#include "handlers.hpp"
#include "interruptible.hpp"

#include <condition_variable>
#include <unordered_map>
#include <vector>

namespace tarvo::binding {

namespace {

class LiveClients {
public:
    void add(BoundSDK& client) {
        LockGuard lock(mutex_);
        pins_.emplace(&client, 0);
    }

    // Waits while the exit hook is stopping this client.
    void remove(BoundSDK& client) {
        UniqueLock lock(mutex_);
        lock.wait(unpinned_, [&]() TARVO_REQUIRES(mutex_) { return pins_.at(&client) == 0; });
        pins_.erase(&client);
    }

    void stopAll(bool interrupted) {
        std::vector<BoundSDK*> clients;
        {
            LockGuard lock(mutex_);
            for (auto& [client, pins] : pins_) {
                ++pins;
                clients.push_back(client);
            }
        }
        for (BoundSDK* client : clients) {
            try {
                if (client->isRunning() && !client->abandonedCalls.any()) {
                    if (interrupted) {
                        client->giveUpDeliveries();
                    }
                    client->stop();
                }
            } catch (...) {
                reportToUnraisableHook("stopping a client at exit");
            }
            LockGuard lock(mutex_);
            --pins_.at(client);
            unpinned_.notify_all();
        }
    }

private:
    // Taken with no core lock held.
    Mutex mutex_;
    std::condition_variable unpinned_;
    // Every live client, with the number of exit hooks stopping it.
    std::unordered_map<BoundSDK*, int> pins_ TARVO_GUARDED_BY(mutex_);
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

void stopLiveClients(bool interrupted) { liveClients().stopAll(interrupted); }

}  // namespace tarvo::binding
