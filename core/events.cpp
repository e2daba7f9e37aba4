// Handlers, and the three callbacks through which the library reports events.
#include "console.hpp"
#include "sdk.hpp"

#include <iostream>
#include <utility>

namespace tarvo {

thread_local bool SDK::insideLibraryCallback = false;

// While a library callback runs: the route's visit (keeping the object from going away
// under it) and the mark that this thread is the library's, where waiting for the
// library is not possible. receiver() is null for a callback of a handle its object has
// let go of.
class SDK::CallbackScope {
public:
    explicit CallbackScope(void* context)
        : route_(*static_cast<CallbackRoute*>(context)), visit_(route_), wasInside_(insideLibraryCallback) {
        insideLibraryCallback = true;
    }
    ~CallbackScope() { insideLibraryCallback = wasInside_; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    SDK* receiver() const { return static_cast<SDK*>(visit_.receiver()); }
    CallbackRoute& route() const { return route_; }

private:
    CallbackRoute& route_;
    CallbackRoute::Visit visit_;
    bool wasInside_;
};

void SDK::on_message(MessageHandler handler) {
    refuseFromHandler("on_message");
    messageHandler.replace(std::move(handler), !insideLibraryCallback);
}

void SDK::on_connection(ConnectionHandler handler) {
    refuseFromHandler("on_connection");
    connectionHandler.replace(std::move(handler), !insideLibraryCallback);
}

void SDK::callConnectionHandler(bool isConnected, int code) { connectionHandler.call(isConnected, code); }

void SDK::reportHandlerFailure(std::string_view event) noexcept {
    try {
        if (handlerFailureReporter) {
            handlerFailureReporter(event);
            return;
        }
        throw;
    } catch (const std::exception& error) {
        writeLine(std::cerr, "[SDK] ", event, " failed: ", error.what());
    } catch (...) {
        writeLine(std::cerr, "[SDK] ", event, " failed");
    }
}

int SDK::messageArrived(void* context, char* topicName, int /*topicLen*/, MQTTClient_message* message) {
    LibraryClient::messageCallbackEntered();
    {
        CallbackScope scope(context);
        if (scope.route().holdsMessages()) {
            // Being disconnected with a clean session: the library frees this message
            // along with the rest of the queue (a message in flight at a clean
            // disconnect is discarded). Returning 0 tells it the message was not taken,
            // so it does not touch the freed entry again.
            scope.route().releaseHeldMessage();
            return 0;
        }
        if (SDK* self = scope.receiver()) {
            try {
                // The topic ends at its NUL; the payload is exactly payloadlen bytes.
                const std::string_view topic = topicName != nullptr ? topicName : "";
                std::string_view payload;
                if (message->payload != nullptr && message->payloadlen > 0) {
                    payload = {static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen)};
                }
                self->messageHandler.call(topic, payload);
            } catch (...) {
                self->reportHandlerFailure("message handler");
            }
        }
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topicName);
    return 1;
}

// Runs on a thread of the library's while it holds its own lock, and the library gives
// it only seconds: record the loss and hand the rest to a thread of ours.
void SDK::connectionLost(void* context, char* cause) {
    CallbackScope scope(context);
    SDK* self = scope.receiver();
    if (self == nullptr) {
        return;
    }
    bool wasConnected = false;
    {
        std::lock_guard lossLock(self->lossMutex);
        if (std::exchange(self->lossOfEndedConnectionPending, false)) {
            return;  // a disconnect ended that connection, and reported it
        }
        wasConnected = self->connected.exchange(false);
    }
    if (wasConnected) {
        LibraryClient::connectionClosed(false);
    }
    self->abandonDeliveries();
    writeLine(std::cerr, "[SDK] Connection lost: ", (cause != nullptr ? cause : "unknown"));
    self->startLossRun();
}

void SDK::deliveryComplete(void* context, MQTTClient_deliveryToken token) {
    CallbackScope scope(context);
    SDK* self = scope.receiver();
    if (self == nullptr) {
        return;
    }
    std::lock_guard lock(self->deliveryMutex);
    if (self->unawaitedTokens.erase(token) == 0) {
        self->completedTokens.insert(token);
        self->deliveryDone.notify_all();
    }
}

}  // namespace tarvo
