// Handlers, and the three callbacks through which the library reports events.
#include "sdk.hpp"

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
        say(ConsoleStream::Err, "[SDK] ", event, " failed: ", error.what());
    } catch (...) {
        say(ConsoleStream::Err, "[SDK] ", event, " failed");
    }
}

int SDK::messageArrived(void* context, char* topicName, int /*topicLen*/, MQTTClient_message* message) {
    // The route may be freed as soon as the visit below ends; the library outlives it.
    Library& library = static_cast<CallbackRoute*>(context)->library();
    LibraryClient::messageCallbackEntered(library);
    {
        CallbackScope scope(context);
        if (scope.route().holdsMessages()) {
            // Being disconnected with a clean session: the library frees this message
            // along with the rest of the queue (a message in flight at a clean
            // disconnect is discarded). Not taken, it stays queued until then, and the
            // library touches it no more (it hands it over again only when the client's
            // socket next has something to read).
            return 0;
        }
        if (SDK* self = scope.receiver()) {
            if (message->qos == 2) {
                self->client.noteQos2Inbound();
            }
            try {
                // The topic ends at its NUL; the payload is exactly payloadlen bytes.
                const std::string_view topic = topicName != nullptr ? topicName : "";
                std::string_view payload;
                if (message->payload != nullptr && message->payloadlen > 0) {
                    payload = {static_cast<const char*>(message->payload),
                               static_cast<std::size_t>(message->payloadlen)};
                }
                self->messageHandler.call(topic, payload,
                                          MessageFlags{.qos = message->qos,
                                                       .retained = message->retained != 0,
                                                       .duplicate = message->dup != 0});
            } catch (...) {
                self->reportHandlerFailure("message handler");
            }
        }
        // Within the visit: a clean disconnect waits for it to end before it frees the
        // queue, which still holds this message until the callback has returned.
        library.freeMessage(message, topicName);
    }
    return 1;
}

// Runs on a thread of the library's while the library holds its own lock, and it gives
// the callback only seconds: the report goes to a thread of ours, which confirms it.
void SDK::connectionLost(void* context, char* cause) {
    CallbackScope scope(context);
    if (SDK* self = scope.receiver()) {
        self->reportLossToConfirm(cause);
    }
}

// Whether a loss report is about the connection open now can only be asked of the
// library: the report may belong to one that a disconnect ended (too late for the
// report) and that another has replaced since. A connection that is still up was not
// lost; one that is down was, whichever connection the report was sent for.
bool SDK::confirmLoss(const std::string& cause) {
    bool down = false;
    {
        ConnectionState::Call call(connection);
        down = call.begun() && !library.isConnected(client.get());
    }
    // Marked lost only once the call has ended: a connect may follow at once, and one
    // that found this call still running would keep the handle of the lost connection.
    if (!down || !connection.lose()) {
        return false;
    }
    client.connectionLost();
    deliveries.abandonAll();
    say(ConsoleStream::Err, "[SDK] Connection lost: ", cause);
    return true;
}

// A connection the library lost before its attempt had counted it as open had its
// report dropped; when that happened to the connection just made, it is reported now.
void SDK::confirmLossBeforeCounted() {
    bool lost = false;
    {
        ConnectionState::Call call(connection);
        lost = call.begun() && !library.isConnected(client.get());
    }
    if (lost) {
        reportLossToConfirm(nullptr);
    }
}

void SDK::deliveryComplete(void* context, MQTTClient_deliveryToken token) {
    CallbackScope scope(context);
    SDK* self = scope.receiver();
    if (self == nullptr) {
        return;
    }
    self->deliveries.acknowledged(token);
}

}  // namespace tarvo
