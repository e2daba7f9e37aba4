// The route a library handle's callbacks take to the object they serve.
#pragma once

#include "library.hpp"
#include "thread_safety.hpp"

#include <atomic>
#include <condition_variable>

namespace tarvo {

// The context the library hands to every callback of one handle. It lives as long as
// the handle, which may outlive its owner (see LibraryClient), so a callback reaches
// the receiver only while it is attached. The receiver lets go with detach(), which
// returns once no callback can still be using it.
class CallbackRoute {
public:
    CallbackRoute(Library& library, void* receiver) : library_(library), receiver_(receiver) {}

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

    bool idle() const { return visits_.load() == 0; }
    // Waits until no callback is in progress; bounded: for at most the given time.
    void waitForIdle(bool bounded);

    // Before a disconnect that frees the client's queued messages, until the next
    // connection attempt. The library's receiving thread may be handing one of them to
    // messageArrived right then, or later if it was preempted; from beginQueueRelease()
    // until endQueueRelease(), a message callback must leave its message alone and return
    // 0 (not taken: the library keeps it queued, and frees it with the rest).
    // beginQueueRelease() returns once no callback that may still read its message is in
    // progress.
    void beginQueueRelease();
    void endQueueRelease() { holding_.store(false); }
    bool holdsMessages() const { return holding_.load(); }

    Library& library() const { return library_; }
    void detach() {
        receiver_.store(nullptr);
        waitForIdle(false);
    }

private:
    void leave();

    Library& library_;
    std::atomic<void*> receiver_;
    std::atomic<int> visits_{0};
    std::atomic<int> waiters_{0};
    std::atomic<bool> holding_{false};
    // Taken only to wait on, or signal, idle (no visit in progress); the last lock
    // wherever it is taken.
    Mutex idleMutex_;
    std::condition_variable idle_;
};

}  // namespace tarvo
