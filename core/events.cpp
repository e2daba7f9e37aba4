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
    if (SDK* self = scope.receiver()) {
        self->loseConnection(cause);
    }
}

// Reports the loss of the connection this object holds, once. A report that comes when
// the object holds none belongs to a connection already ended (by a disconnect that the
// library's report came too late for, or reported before) and is dropped: reported, it
// would land on whatever connection comes next.
void SDK::loseConnection(const char* cause) {
    {
        std::lock_guard lossLock(lossMutex);
        if (std::exchange(lossOfEndedConnectionPending, false)) {
            return;  // a disconnect ended that connection, and reported it
        }
        if (!connected.exchange(false)) {
            return;
        }
    }
    LibraryClient::connectionClosed(false);
    abandonDeliveries();
    writeLine(std::cerr, "[SDK] Connection lost: ", (cause != nullptr ? cause : "unknown"));
    startLossRun();
}

// A connection the library lost after its attempt returned and before it counted here
// had its report dropped: true when that happened to the connection just made.
bool SDK::lostBeforeCounted() {
    std::shared_lock clientLock(clientMutex);
    return client && connected.load() && MQTTClient_isConnected(client.get()) == 0;
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
