// Ownership of a library client handle.
#pragma once

#include "callback_route.hpp"
#include "library.hpp"

#include <memory>
#include <string>

namespace tarvo {

// Owns one client handle of a Library and ends it exactly once, in reset() or the
// destructor.
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

    // Creates a new handle, whose callbacks reach receiver, in place of an empty one;
    // returns the library's code.
    int create(const std::string& serverUri, const std::string& clientId, void* receiver);
    void reset();

    // Forgets the handle without a library call: in a forked child, whose copy of the
    // library has lost its threads and may hold their locks for ever.
    void abandon();

    // Opens a connection with options once no disconnect of the library is stopping its
    // receiving thread; returns the library's code.
    int connect(MQTTClient_connectOptions options);
    // Ends the handle's connection, waiting up to timeoutMs for messages in flight.
    void disconnect(int timeoutMs);

    Library& library() const { return library_; }
    MQTTClient get() const { return handle_; }
    CallbackRoute& route() const { return *route_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // The bookkeeping retirement depends on: a connection of this library opened or
    // closed (closedByDisconnect: the library's disconnect returned, which stops its
    // receiving thread when no other client is connected), and the receiving thread
    // entering a message callback.
    void connectionOpened() { ++library_.connectedClients_; }
    void connectionClosed(bool closedByDisconnect);
    static void messageCallbackEntered(Library& library) { ++library.messageCallbacksEntered_; }

    // True while no client of the library is connected: its receiving thread is then
    // stopped, or stopping.
    bool noClientConnected() const { return library_.connectedClients_.load() == 0; }

private:
    // Destroys every retired handle the receiving thread is done with.
    void destroyFinishedRetirees();

    Library& library_;
    MQTTClient handle_ = nullptr;
    std::shared_ptr<CallbackRoute> route_;
};

}  // namespace tarvo
