// Ownership of a library client handle.
#pragma once

#include "callback_route.hpp"
#include "library.hpp"

#include <atomic>
#include <memory>
#include <string>

namespace tarvo {

// Owns one client handle of a Library at a time and ends each exactly once, in reset(),
// the destructor, or when connect puts a new one in its place.
//
// The library's receiving thread goes on using a handle for a moment after that
// handle's last callback has returned (and may even call it again with messages still
// queued): destroying the handle then, while another client keeps that thread alive,
// crashes it. So reset() detaches the handle's callbacks and destroys it at once only
// while no client of the library is connected (the thread is then stopped); otherwise
// the handle is retired, and destroyed once the thread has been seen entering a later
// message callback (it calls them one after another, so it has left the retired
// handle's behind), or once no client is connected.
class LibraryClient {
public:
    explicit LibraryClient(Library& library) : library_(library) {}
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;
    ~LibraryClient() { reset(); }

    struct Callbacks {
        MQTTClient_connectionLost* connectionLost;
        MQTTClient_messageArrived* messageArrived;
        MQTTClient_deliveryComplete* deliveryComplete;
    };
    // Creates a new handle, whose callbacks reach receiver, in place of an empty one;
    // returns the library's code. Later handles of this client are made the same way.
    int create(const std::string& serverUri, const std::string& clientId, void* receiver, Callbacks callbacks);
    void reset();

    // Forgets the handle without a library call: in a forked child, whose copy of the
    // library has lost its threads and may hold their locks for ever.
    void abandon();

    Library& library() const { return library_; }
    MQTTClient get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // The handle's connections: only these open and close them, and they keep the count
    // of the library's connected clients that retirement depends on.
    //
    // Connects, returning the library's code, with what the library returns in
    // options.returned (such as whether the broker kept the session); first waits (up to
    // 10 s) for callbacks still running for the previous connection (connecting under its
    // connectionLost leaves the library without its receiving thread), ends a clean
    // disconnect's hold on messages, and waits until no disconnect of the library is
    // stopping its receiving thread. Each attempt is made on a new handle unless the old
    // one keeps something the session needs, or callsRunning says a library call may
    // still be using it (see renewIfSessionAllows). MQTT 3.1.1 first; MQTT 3.1 only when
    // the server answers that it does not speak 3.1.1.
    int connect(MQTTClient_connectOptions& options, bool callsRunning);
    // Disconnects, waiting up to timeoutMs for messages in flight. With a clean session
    // (releasesQueue) the library frees the messages still queued, including one its
    // receiving thread may be handing to a callback right now (or, preempted, a while
    // later): message callbacks are held off their messages until the next connect.
    void disconnect(int timeoutMs, bool releasesQueue);
    // The library dropped the open connection (as confirmed by asking it).
    void connectionLost() { connectionClosed(false); }

    // The receiving thread entering a message callback, which retirement waits for.
    static void messageCallbackEntered(Library& library) { library.retirement_.messageCallbackEntered(); }

    // True while no client of the library is connected: its receiving thread is then
    // stopped, or stopping.
    bool noClientConnected() const { return library_.retirement_.noClientConnected(); }

    // The session may bring QoS 2 messages in (a subscription or a message of QoS 2):
    // the library keeps one that waits for its PUBREL inside the handle, so the handle
    // must outlive a lost connection for as long as the session does.
    void noteQos2Inbound() { qos2Inbound_.store(true); }

private:
    // Makes a handle with its route; the library's code (nothing made on a failure).
    int open(MQTTClient& handle, std::shared_ptr<CallbackRoute>& route);
    void renewIfSessionAllows(const MQTTClient_connectOptions& options, bool callsRunning);
    int attempt(MQTTClient_connectOptions& options);
    // closedByDisconnect: the library's disconnect returned, which stops its receiving
    // thread when no other client is connected.
    void connectionClosed(bool closedByDisconnect);
    // Destroys every retired handle the receiving thread is done with.
    void destroyFinishedRetirees();

    Library& library_;
    // How handles are made, set by create.
    std::string serverUri_;
    std::string clientId_;
    void* receiver_ = nullptr;
    Callbacks callbacks_{};
    MQTTClient handle_ = nullptr;
    std::shared_ptr<CallbackRoute> route_;
    // The handle has waited for a CONNACK (and may hold a stale signal of one).
    bool connectAttempted_ = false;
    std::atomic<bool> qos2Inbound_{false};
};

}  // namespace tarvo
