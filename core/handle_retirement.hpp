// The handles of one Library that the library's receiving thread may still be using,
// and what is known of that thread: when a retired handle may be destroyed.
#pragma once

#include "thread_safety.hpp"

#include <MQTTClient.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarvo {

class CallbackRoute;

// Counts the library's connected clients (while there is one, its receiving thread
// runs) and the message callbacks that thread has entered, and keeps the handles retired
// while it ran until it is done with them: once it has entered a message callback of a
// later turn (it calls them one after another), once it has read the CONNACK of a
// connect begun after they were retired (it reads one packet at a time, and nothing
// brings it back to a handle whose connection is closed), or once no client is connected. The
// counts are atomic because callbacks update them; mutex_ is the last lock wherever it is
// taken. This part makes no library call: the caller destroys what finished() hands back.
class HandleRetirement {
public:
    struct Retired {
        MQTTClient handle;
        std::shared_ptr<CallbackRoute> route;
        std::uint64_t messageCallbacksEnteredBefore;
        std::uint64_t sequence;
    };

    HandleRetirement() = default;
    HandleRetirement(const HandleRetirement&) = delete;
    HandleRetirement& operator=(const HandleRetirement&) = delete;

    // A client's connect succeeded.
    void clientConnected() { ++connectedClients_; }
    // A client's connection ended; true if it was the last connected one.
    bool clientDisconnected() { return --connectedClients_ == 0; }
    // True while no client is connected: the receiving thread is then stopped, or stopping.
    bool noClientConnected() const { return connectedClients_.load() == 0; }

    // The receiving thread entering a message callback.
    void messageCallbackEntered() { ++messageCallbacksEntered_; }

    // How many handles were retired so far: taken before a connect, and handed to
    // connectAnswered once that connect has its CONNACK.
    std::uint64_t retiredSoFar() TARVO_EXCLUDES(mutex_);
    void connectAnswered(std::uint64_t retiredBefore) TARVO_EXCLUDES(mutex_);

    // Keeps a handle (and its callbacks' route) until the receiving thread is done with it.
    void retire(MQTTClient handle, std::shared_ptr<CallbackRoute> route) TARVO_EXCLUDES(mutex_);
    // Takes the retired handles the receiving thread is done with, for the caller to
    // destroy.
    std::vector<Retired> finished() TARVO_EXCLUDES(mutex_);

private:
    std::atomic<int> connectedClients_{0};
    std::atomic<std::uint64_t> messageCallbacksEntered_{0};
    Mutex mutex_;
    std::vector<Retired> retired_ TARVO_GUARDED_BY(mutex_);
    std::uint64_t retiredSoFar_ TARVO_GUARDED_BY(mutex_) = 0;
    // Every handle retired before this many retirements is done with.
    std::uint64_t doneBefore_ TARVO_GUARDED_BY(mutex_) = 0;
};

}  // namespace tarvo
