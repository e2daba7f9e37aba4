// The MQTT library as the core uses it. Every MQTTClient_* call of the core goes
// through one Library, so that a test can put a scripted library in its place.
#pragma once

#include "handle_retirement.hpp"
#include "thread_safety.hpp"

#include <MQTTClient.h>

#include <condition_variable>
#include <cstdint>

namespace tarvo {

// Library calls that may stop a library's receiving thread (every disconnect), counted
// while they run: a connect waits until none runs. Kept beside the library, not in its
// handle retirement, because it orders calls rather than keeping handles; it is the one
// piece of ordering the seam needs, as the library itself leaves that window open.
class ThreadStopOrder {
public:
    void awaitNoStop() TARVO_EXCLUDES(mutex_) {
        UniqueLock lock(mutex_);
        lock.wait(ended_, [this]() TARVO_REQUIRES(mutex_) { return stopsInProgress_ == 0; });
    }
    class Stop {
    public:
        explicit Stop(ThreadStopOrder& order) : order_(order) {
            LockGuard lock(order_.mutex_);
            ++order_.stopsInProgress_;
        }
        ~Stop() {
            LockGuard lock(order_.mutex_);
            if (--order_.stopsInProgress_ == 0) {
                order_.ended_.notify_all();
            }
        }
        Stop(const Stop&) = delete;
        Stop& operator=(const Stop&) = delete;

    private:
        ThreadStopOrder& order_;
    };

private:
    Mutex mutex_;
    std::condition_variable ended_;
    int stopsInProgress_ TARVO_GUARDED_BY(mutex_) = 0;
};

// What the core relies on, and what a Library in Paho's place must keep:
//
// - One receiving thread serves every handle of the library. It calls messageArrived
//   and deliveryComplete one at a time, in the order their packets came, and it reads
//   the answers (CONNACK, SUBACK, UNSUBACK) that connect, subscribe and unsubscribe
//   wait for: on that thread those calls can only time out.
// - connectionLost runs on a thread of its own, after isConnected turned false, once
//   per connection the library itself drops (never for one ended by disconnect). The
//   thread that started it holds the library's lock until it returns: the callback may
//   call nothing of the library, and may come after that connection was ended and a
//   new one opened. Whether the connection it reports is the one open now is known
//   only by asking isConnected once the callback has returned.
// - A subscribe or unsubscribe waits up to 10 s for its answer, and nothing cuts that
//   wait short; one that times out ends whatever connection the handle has by then.
// - disconnect with a clean session frees the handle's queued messages, among them
//   one the receiving thread may be handing to messageArrived right then. Such a call
//   must leave its message alone and return 0 (not taken): the message then stays
//   queued, untouched, until the disconnect frees it or the handle's socket next has
//   something to read (when it is handed over again). A call that took its message
//   gives it back with freeMessage before it ends, and the message stays queued until
//   the receiving thread takes the library's lock back to unqueue it: a clean
//   disconnect that takes the lock first frees it too (see freeMessage).
// - disconnect stops the receiving thread when it finds no other handle connected or
//   connecting, and waits for it to end; a connect that begins meanwhile finds the
//   thread still running, starts no new one, and fails at once (-1) or waits its whole
//   timeout for an answer nobody reads. LibraryClient keeps connects out of that window.
// - A server that closes the connection right after its CONNACK (granting or refusing)
//   can leave the CONNACK signalled twice: the handle's next connect takes the stale
//   signal for its answer and abandons the CONNECT it sent (with MQTTVersion 0 it then
//   falls back to MQTT 3.1 on a second socket), and the server may let that abandoned
//   CONNECT take the session opened next over. Nothing clears the signal: only a handle
//   that never had it avoids it (see LibraryClient::connect).
// - The receiving thread may go on using a handle for a moment after the handle's last
//   callback returned: destroy is safe only while no handle of the library is
//   connected (the thread is then stopped), or once that thread has entered a message
//   callback of a later turn. LibraryClient keeps that rule.
class Library {
public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    virtual ~Library() = default;

    virtual int create(MQTTClient* handle, const char* serverUri, const char* clientId) = 0;
    virtual int setCallbacks(MQTTClient handle, void* context, MQTTClient_connectionLost* connectionLost,
                             MQTTClient_messageArrived* messageArrived,
                             MQTTClient_deliveryComplete* deliveryComplete) = 0;
    virtual int connect(MQTTClient handle, MQTTClient_connectOptions* options) = 0;
    virtual int disconnect(MQTTClient handle, int timeoutMs) = 0;
    virtual bool isConnected(MQTTClient handle) = 0;
    virtual int subscribe(MQTTClient handle, const char* filter, int qos) = 0;
    virtual int unsubscribe(MQTTClient handle, const char* filter) = 0;
    virtual int publish(MQTTClient handle, const char* topic, MQTTClient_message* message,
                        MQTTClient_deliveryToken* token) = 0;
    virtual int waitForCompletion(MQTTClient handle, MQTTClient_deliveryToken token, unsigned long timeoutMs) = 0;
    // True when the handle has QoS 1 or 2 publications in flight (or cannot tell).
    virtual bool hasPendingDeliveries(MQTTClient handle) = 0;
    virtual void destroy(MQTTClient handle) = 0;
    // Frees a message, and its topic, that messageArrived took (returns 1 for), called
    // by that callback. The library may still free them itself, once (see above): this
    // frees them only if it does not.
    virtual void freeMessage(MQTTClient_message* message, char* topic) = 0;

protected:
    // True while some client of this library is connected, as far as LibraryClient has
    // counted: the receiving thread then runs.
    bool receivingThreadRuns() const { return !retirement_.noClientConnected(); }

private:
    // The seam's own state is only what LibraryClient needs per library, beside the
    // calls: which handles the receiving thread may still use, and the ordering of
    // connects against disconnects. Both are about the one receiving thread a library
    // has, so each library owns one of each.
    friend class LibraryClient;
    HandleRetirement retirement_;
    ThreadStopOrder threadStopOrder_;
};

// Paho's synchronous client, the library of a real program; set up on first use.
Library& pahoLibrary();

// Changes in every child forked after this process set Paho up: the library's threads
// do not survive fork(), so its clients, and the library itself, are unusable there.
std::uint64_t forksSincePahoSetUp();

}  // namespace tarvo
