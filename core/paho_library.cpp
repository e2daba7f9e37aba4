// The Library of a real program: Paho's synchronous client, libpaho-mqtt3c.
#include "library.hpp"

#include <pthread.h>

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
        return MQTTClient_connect(handle, options);
    }
    int disconnect(MQTTClient handle, int timeoutMs) override { return MQTTClient_disconnect(handle, timeoutMs); }
    bool isConnected(MQTTClient handle) override { return MQTTClient_isConnected(handle) != 0; }
    int subscribe(MQTTClient handle, const char* filter, int qos) override {
        return MQTTClient_subscribe(handle, filter, qos);
    }
    int unsubscribe(MQTTClient handle, const char* filter) override { return MQTTClient_unsubscribe(handle, filter); }
    int publish(MQTTClient handle, const char* topic, MQTTClient_message* message,
                MQTTClient_deliveryToken* token) override {
        return MQTTClient_publishMessage(handle, topic, message, token);
    }
    int waitForCompletion(MQTTClient handle, MQTTClient_deliveryToken token, unsigned long timeoutMs) override {
        return MQTTClient_waitForCompletion(handle, token, timeoutMs);
    }
    void destroy(MQTTClient handle) override { MQTTClient_destroy(&handle); }
    void freeMessage(MQTTClient_message* message, char* topic) override {
        MQTTClient_freeMessage(&message);
        MQTTClient_free(topic);
    }

private:
    // The library sets up its process-wide state (a socket pair among it) with the
    // first client and takes it down with the last, leaving those two sockets open:
    // every cycle of a program that creates and ends its only client would cost two
    // descriptors. One idle handle, created with the first client and never destroyed
    // (it never connects), keeps that state up for the life of the process.
    static void keepLibrarySetUp() {
        static const MQTTClient anchor = [] {
            pthread_atfork(nullptr, nullptr, [] { ++forksSinceSetUp; });
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
