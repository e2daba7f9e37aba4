// Ownership of Paho client handles, and the route their callbacks take.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace tarvo {

// The context the library hands to every callback of one handle. It lives as long as
// the handle, which may outlive its owner (see LibraryClient), so a callback reaches
// the receiver only while it is attached. The receiver lets go with detach(), which
// returns once no callback can still be using it.
class CallbackRoute {
public:
    explicit CallbackRoute(void* receiver) : receiver_(receiver) {}

    // One callback's visit: counted before the receiver is read, so that detach() either
    // waits for the visit or the visit finds no receiver.
    class Visit {
    public:
        explicit Visit(CallbackRoute& route) : route_(route) { ++route_.visits_; }
        ~Visit() { route_.leave(); }
        Visit(const Visit&) = delete;
        Visit& operator=(const Visit&) = delete;
        void* receiver() const { return route_.receiver_.load(); }

    private:
        CallbackRoute& route_;
    };

    // Waits until no callback is in progress; bounded: for at most the given time.
    void waitForIdle(bool bounded);

    // Before a disconnect that frees the client's queued messages, until the next
    // connection attempt. The library's receiving thread may be handing one of them to
    // messageArrived right then, or later if it was preempted; from beginQueueRelease()
    // until endQueueRelease(), a message callback must call releaseHeldMessage() and
    // then leave its message alone. beginQueueRelease() returns once no callback is in
    // progress or the one in progress is held so.
    void beginQueueRelease();
    void endQueueRelease();
    bool holdsMessages() const { return holding_.load(); }
    // Waits, on the receiving thread, until the library has disconnected the client, and
    // with it freed the held message (it does so under its own lock, which it also takes
    // to answer whether the client is connected).
    void releaseHeldMessage();

    void setHandle(MQTTClient handle) { handle_.store(handle); }
    void detach() {
        receiver_.store(nullptr);
        waitForIdle(false);
    }

private:
    void leave();

    std::atomic<void*> receiver_;
    std::atomic<MQTTClient> handle_{nullptr};
    std::atomic<int> visits_{0};
    std::atomic<int> waiters_{0};
    std::atomic<bool> holding_{false};
    std::atomic<bool> held_{false};
    // Taken only to wait on, or signal, idle (no visit in progress, or the one in
    // progress held); the last lock wherever it is taken.
    std::mutex idleMutex_;
    std::condition_variable idle_;
};

// Owns one Paho client handle and ends it exactly once, in reset() or the destructor.
//
// The library serves every client of the process from one receiving thread, which goes
// on using a client's handle for a moment after that client's last callback has
// returned (and may even call it again with messages still queued): destroying the
// handle then, while another client keeps that thread alive, crashes it. So reset()
// detaches the handle's callbacks and destroys it at once only while no client of this
// process is connected (the thread is then stopped); otherwise the handle is retired,
// and destroyed once the thread has been seen entering a later message callback (it
// calls them one after another, so it has left the retired handle's behind), or once
// no client is connected.
class LibraryClient {
public:
    LibraryClient() = default;
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

    MQTTClient get() const { return handle_; }
    CallbackRoute& route() const { return *route_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Process-wide bookkeeping retirement depends on: a connection of any client opened
    // or closed (closedByDisconnect: the library's disconnect returned, which stops its
    // receiving thread when no other client is connected), and the receiving thread
    // entering a message callback.
    // The library's threads do not survive fork(). forkCount() changes in every child
    // forked after this process set the library up (its clients, and the library itself,
    // are unusable there); libraryLostToFork() tells whether that happened here.
    static std::uint64_t forkCount();
    static bool libraryLostToFork();

    // True while no client of this process is connected: the library's receiving thread
    // is then stopped, or stopping.
    static bool noClientConnected();

    static void connectionOpened();
    static void connectionClosed(bool closedByDisconnect);
    static void messageCallbackEntered();

private:
    MQTTClient handle_ = nullptr;
    std::unique_ptr<CallbackRoute> route_;
};

}  // namespace tarvo
