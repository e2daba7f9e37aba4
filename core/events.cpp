// Handlers, and the three callbacks through which the library reports events.
#include "sdk.hpp"

#include <chrono>
#include <iostream>

namespace tarvo {

thread_local bool SDK::insideLibraryCallback = false;

namespace {
// A connection attempt waits this long for callbacks still running before it goes
// ahead; a handler that takes longer delays it no further.
constexpr auto kCallbackDrainTimeout = std::chrono::seconds(10);
}  // namespace

// Counts a library callback of this object as in progress for its whole duration and
// marks the thread as the library's, where waiting for the library is not possible.
// The count is atomic so that a message costs no lock; callbackMutex is taken only to
// wake a thread that waits for the count to drop to zero.
class SDK::CallbackScope {
public:
    explicit CallbackScope(SDK& sdk) : sdk_(sdk), wasInside_(insideLibraryCallback) {
        ++sdk_.callbacksInProgress;
        insideLibraryCallback = true;
    }
    ~CallbackScope() {
        insideLibraryCallback = wasInside_;
        if (--sdk_.callbacksInProgress == 0 && sdk_.callbackWaiters.load() > 0) {
            std::lock_guard lock(sdk_.callbackMutex);
            sdk_.callbacksDone.notify_all();
        }
    }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    SDK& sdk_;
    bool wasInside_;
};

// Holds handlerMutex and records the holder, so that the holder calling back into an
// operation that needs the mutex is refused instead of deadlocking.
class SDK::HandlerLock {
public:
    explicit HandlerLock(SDK& sdk) : sdk_(sdk), lock_(sdk.handlerMutex) {
        sdk_.handlerOwner.store(std::this_thread::get_id());
    }
    ~HandlerLock() { sdk_.handlerOwner.store(std::thread::id()); }
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

private:
    SDK& sdk_;
    std::lock_guard<std::mutex> lock_;
};

void SDK::on_message(MessageHandler handler) {
    refuseFromHandler("on_message");
    HandlerLock lock(*this);
    std::swap(messageHandler, handler);
    handler = nullptr;  // the replaced handler is released under the lock
}

void SDK::on_connection(ConnectionHandler handler) {
    refuseFromHandler("on_connection");
    HandlerLock lock(*this);
    std::swap(connectionHandler, handler);
    handler = nullptr;
}

void SDK::callConnectionHandler(bool isConnected, int code) {
    HandlerLock lock(*this);
    if (connectionHandler) {
        connectionHandler(isConnected, code);
    }
}

void SDK::reportHandlerFailure(std::string_view event) noexcept {
    try {
        if (handlerFailureReporter) {
            handlerFailureReporter(event);
            return;
        }
        throw;
    } catch (const std::exception& error) {
        std::cerr << "[SDK] " << event << " failed: " << error.what() << '\n';
    } catch (...) {
        std::cerr << "[SDK] " << event << " failed\n";
    }
}

void SDK::waitForCallbacksToFinish(bool bounded) {
    // Registering as a waiter before testing the count, while a callback lowers the
    // count before testing for waiters (both sequentially consistent), means that at
    // least one of the two sees the other: the wake-up cannot be lost.
    ++callbackWaiters;
    {
        std::unique_lock lock(callbackMutex);
        auto idle = [this] { return callbacksInProgress.load() == 0; };
        if (bounded) {
            callbacksDone.wait_for(lock, kCallbackDrainTimeout, idle);
        } else {
            callbacksDone.wait(lock, idle);
        }
    }
    --callbackWaiters;
}

int SDK::messageArrived(void* context, char* topicName, int /*topicLen*/, MQTTClient_message* message) {
    SDK& self = *static_cast<SDK*>(context);
    {
        CallbackScope scope(self);
        try {
            // The topic ends at its NUL; the payload is exactly payloadlen bytes.
            std::string topic = topicName != nullptr ? topicName : "";
            std::string payload;
            if (message->payload != nullptr && message->payloadlen > 0) {
                payload.assign(static_cast<const char*>(message->payload), message->payloadlen);
            }
            HandlerLock lock(self);
            if (self.messageHandler) {
                self.messageHandler(topic, payload);
            }
        } catch (...) {
            self.reportHandlerFailure("message handler");
        }
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topicName);
    return 1;
}

// Runs on a thread of the library's while it holds its own lock, and the library gives
// it only seconds: record the loss and hand the rest to a thread of ours.
void SDK::connectionLost(void* context, char* cause) {
    SDK& self = *static_cast<SDK*>(context);
    CallbackScope scope(self);
    self.connected.exchange(false);
    self.abandonDeliveries();
    std::cerr << "[SDK] Connection lost: " << (cause != nullptr ? cause : "unknown") << '\n';
    self.startLossRun();
}

void SDK::deliveryComplete(void* context, MQTTClient_deliveryToken token) {
    SDK& self = *static_cast<SDK*>(context);
    CallbackScope scope(self);
    std::lock_guard lock(self.deliveryMutex);
    if (self.unawaitedTokens.erase(token) == 0) {
        self.completedTokens.insert(token);
        self.deliveryDone.notify_all();
    }
}

}  // namespace tarvo
