// The Library of a real program: Paho's synchronous client, libpaho-mqtt3cs (with TLS).
#include "library.hpp"

#include <taken_message.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace tarvo {

namespace {

// Counted in every child forked after Paho was set up (see keepLibrarySetUp).
std::atomic<std::uint64_t> forksSinceSetUp{0};

class PahoLibrary final : public Library {
public:
    int create(MQTTClient* handle, const char* serverUri, const char* clientId) override {
        keepLibrarySetUp();
        return MQTTClient_create(handle, serverUri, clientId, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    }
    int setCallbacks(MQTTClient handle, void* context, MQTTClient_connectionLost* connectionLost,
                     MQTTClient_messageArrived* messageArrived,
                     MQTTClient_deliveryComplete* deliveryComplete) override {
        return MQTTClient_setCallbacks(handle, context, connectionLost, messageArrived, deliveryComplete);
    }
    int connect(MQTTClient handle, MQTTClient_connectOptions* options) override {
        paceWakeUp();
        const int rc = MQTTClient_connect(handle, options);
        noteWakeUp();
        return rc;
    }
    int disconnect(MQTTClient handle, int timeoutMs) override {
        // Not paced (a delay here would let a drop the library is about to report
        // overtake this disconnect), but the next connect is spaced from it.
        noteWakeUp();
        return MQTTClient_disconnect(handle, timeoutMs);
    }
    bool isConnected(MQTTClient handle) override { return MQTTClient_isConnected(handle) != 0; }
    int subscribe(MQTTClient handle, const char* filter, int qos) override {
        const int rc = MQTTClient_subscribe(handle, filter, qos);
        noteWakeUp();
        return rc;
    }
    int unsubscribe(MQTTClient handle, const char* filter) override {
        const int rc = MQTTClient_unsubscribe(handle, filter);
        noteWakeUp();
        return rc;
    }
    int publish(MQTTClient handle, const char* topic, MQTTClient_message* message,
                MQTTClient_deliveryToken* token) override {
        return MQTTClient_publishMessage(handle, topic, message, token);
    }
    int waitForCompletion(MQTTClient handle, MQTTClient_deliveryToken token, unsigned long timeoutMs) override {
        return MQTTClient_waitForCompletion(handle, token, timeoutMs);
    }
    bool hasPendingDeliveries(MQTTClient handle) override {
        MQTTClient_deliveryToken* tokens = nullptr;
        const int rc = MQTTClient_getPendingDeliveryTokens(handle, &tokens);
        const bool pending = rc != MQTTCLIENT_SUCCESS || tokens != nullptr;
        MQTTClient_free(tokens);
        return pending;
    }
    void destroy(MQTTClient handle) override { MQTTClient_destroy(&handle); }
    void freeMessage(MQTTClient_message* message, char* topic) override {
        tarvo_paho_free_taken_message(message, topic);
    }

private:
    // The receiving thread waits for its sockets in 100 ms polls. A connect or disconnect
    // wakes it early; but a wake-up less than 10 ms into a poll, with no socket ready,
    // makes it sleep 100 ms first (it takes such an early return for a spurious one),
    // and a connect meanwhile waits that long for its CONNACK to be read. So while the
    // thread runs, a connect is spaced by a little more than those 10 ms from the last
    // wake-up this process caused (a connect or disconnect) and from the answers the
    // thread has just read for it (CONNACK, SUBACK, UNSUBACK), after which it begins a
    // new poll: it then costs at most that, instead of 100 ms about half of the time. A
    // connect that has to start the thread waits 100 ms for the start anyway, and is not
    // spaced: spacing it only widens the window of a race of the library's (a CONNACK
    // signalled twice, see library.hpp).
    static constexpr auto kWakeUpSpacing = std::chrono::milliseconds(11);

    // Takes the next free slot (a connect that comes meanwhile is spaced from this one)
    // and sleeps until it without the lock, which subscribe and disconnect take too.
    void paceWakeUp() {
        const auto now = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point slot;
        {
            LockGuard lock(wakeUpMutex_);
            slot = receivingThreadRuns() ? std::max(now, lastWakeUp_ + kWakeUpSpacing) : now;
            lastWakeUp_ = std::max(lastWakeUp_, slot);
        }
        std::this_thread::sleep_until(slot);
    }
    void noteWakeUp() {
        LockGuard lock(wakeUpMutex_);
        lastWakeUp_ = std::max(lastWakeUp_, std::chrono::steady_clock::now());
    }

    Mutex wakeUpMutex_;
    std::chrono::steady_clock::time_point lastWakeUp_ TARVO_GUARDED_BY(wakeUpMutex_);

    // The library sets up its process-wide state (a socket pair among it) with the
    // first client and takes it down with the last, leaving those two sockets open:
    // every cycle of a program that creates and ends its only client would cost two
    // descriptors. One idle handle, created with the first client and never destroyed
    // (it never connects), keeps that state up for the life of the process.
    static void keepLibrarySetUp() {
        static const MQTTClient anchor = [] {
            pthread_atfork(nullptr, nullptr, [] { ++forksSinceSetUp; });
            // Once, before any other call: the shared library runs this as its load-time
            // initialiser, a static one relies on it being called (it sets up the
            // library's mutexes). The library then initialises OpenSSL itself, with the
            // first client; the core's own uses of OpenSSL need nothing more from
            // OpenSSL 3, which initialises itself on first use.
            MQTTClient_init_options init = MQTTClient_init_options_initializer;
            init.do_openssl_init = 1;
            MQTTClient_global_init(&init);
            MQTTClient handle = nullptr;
            MQTTClient_create(&handle, "tcp://127.0.0.1:1", "tarvo-library-anchor", MQTTCLIENT_PERSISTENCE_NONE,
                              nullptr);
            return handle;
        }();
        static_cast<void>(anchor);
    }
};

}  // namespace

Library& pahoLibrary() {
    static PahoLibrary library;
    return library;
}

std::uint64_t forksSincePahoSetUp() { return forksSinceSetUp.load(); }

}  // namespace tarvo
