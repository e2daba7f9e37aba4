// A scripted MQTT library for tests that must shape an interleaving exactly.
//
// It keeps the threading contract stated in core/library.hpp: one receiving thread
// reads every answer (CONNACK, SUBACK, UNSUBACK, PUBACK) and calls messageArrived and
// deliveryComplete one at a time in order, handing a message not taken over again with
// the handle's next packet; connectionLost runs on a thread of its own while the
// library's lock is held. What the core does against that contract is
// recorded as a violation instead of crashing or hanging.
#pragma once

#include "library.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::testing {

// A one-shot latch: wait() returns once open() was called (or the timeout passed).
class Gate {
public:
    void open();
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

class FakeLibrary final : public Library {
public:
    FakeLibrary();
    ~FakeLibrary() override;

    // --- script -----------------------------------------------------------------
    // A message for the newest connected handle, read by the receiving thread in turn.
    void deliver(std::string topic, std::string payload);
    // The library drops the connection of the newest connected handle on its own; its
    // connectionLost runs once reportGate (if any) is open.
    void dropConnection(Gate* reportGate = nullptr);
    // Called on the receiving thread just before it hands a message to messageArrived,
    // and just after messageArrived returned, before the thread goes back to the
    // handle (as the library's does, to unqueue the message).
    void beforeMessageArrived(std::function<void()> hook);
    void afterMessageArrived(std::function<void()> hook);
    // Called inside subscribe after the SUBSCRIBE "went out" and before its answer is
    // queued; with answerRequests false, no answer is queued at all.
    void onSubscribe(std::function<void()> hook);
    void answerRequests(bool answer);
    // Called inside connect once the connection is open, before connect returns.
    void afterConnect(std::function<void()> hook);
    // With true, the broker refuses every connection (connect fails) until false again.
    void refuseConnections(bool refuse);
    // The broker closes the next connection it grants right after its CONNACK: the
    // handle keeps a stale CONNACK signal, which its next connect takes for its answer
    // (a violation: that connect abandons the CONNECT it sent) and fails.
    void closeRightAfterConnack();
    // The broker answers a CONNECT of this protocol version "unacceptable protocol
    // version" (CONNACK 1) and closes, leaving the signal stale as above.
    void refuseProtocolVersion(int version);
    // With false, the broker acknowledges no QoS 1 or 2 publication made meanwhile.
    void acknowledgePublications(bool acknowledge);
    // Called inside a disconnect that left no handle connected, while the library stops
    // its receiving thread: a connect begun meanwhile fails at once (-1), as the
    // library's does, and is recorded as a violation.
    void onReceivingThreadStop(std::function<void()> hook);
    // Every subscribe and unsubscribe still waiting gives up as the library's does: it
    // fails, and ends whatever connection its handle has then.
    void timeOutRequests();
    // Waits until every connectionLost started so far has returned.
    void awaitLossReports();
    // Waits until the receiving thread has handed over everything queued; false on timeout.
    bool awaitReceived(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until the message the receiving thread has in hand was freed; false on timeout.
    bool awaitInHandFreed(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // --- observations -------------------------------------------------------------
    std::vector<std::string> violations();
    // Waits until connect (publish) was called count times in all; false on timeout.
    bool awaitConnects(int count, std::chrono::milliseconds timeout);
    bool awaitPublications(int count, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // The time-outs waitForCompletion was called with, in order.
    std::vector<unsigned long> completionWaits();
    int handlesCreated();
    int handlesDestroyed();
    // The protocol version of every connect, in order.
    std::vector<int> connectVersions();

    // --- Library -------------------------------------------------------------------
    int create(MQTTClient* handle, const char* serverUri, const char* clientId) override;
    int setCallbacks(MQTTClient handle, void* context, MQTTClient_connectionLost* connectionLost,
                     MQTTClient_messageArrived* messageArrived, MQTTClient_deliveryComplete* deliveryComplete) override;
    int connect(MQTTClient handle, MQTTClient_connectOptions* options) override;
    int disconnect(MQTTClient handle, int timeoutMs) override;
    bool isConnected(MQTTClient handle) override;
    int subscribe(MQTTClient handle, const char* filter, int qos) override;
    int unsubscribe(MQTTClient handle, const char* filter) override;
    int publish(MQTTClient handle, const char* topic, MQTTClient_message* message,
                MQTTClient_deliveryToken* token) override;
    int waitForCompletion(MQTTClient handle, MQTTClient_deliveryToken token, unsigned long timeoutMs) override;
    bool hasPendingDeliveries(MQTTClient handle) override;
    void destroy(MQTTClient handle) override;
    void freeMessage(MQTTClient_message* message, char* topic) override;

private:
    struct Handle;
    struct Delivery;
    struct Event;

    // Changes a setting of the script under the library's lock.
    template <typename Setting>
    void script(Setting& setting, Setting value);
    Handle& handleOf(MQTTClient handle);                 // mutex_ held
    void checkUsable(Handle& handle, const char* call);  // mutex_ held
    int awaitAnswer(std::unique_lock<std::mutex>& lock, Handle& handle, bool request);
    int request(MQTTClient handle, const char* call);   // subscribe, unsubscribe
    void dropLocked(Handle& handle, Gate* reportGate);  // mutex_ held
    void receive();
    void violation(std::string what);  // mutex_ held
    // On a thread inside connectionLost, which holds the library's lock: records the call
    // as a violation (it would wait for that very lock) and returns true.
    bool calledInsideConnectionLost(const char* call);

    // The library's lock: every call takes it, and connectionLost runs under it.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Handle>> handles_;
    std::deque<Event> incoming_;
    std::vector<std::shared_ptr<Delivery>> inHand_;
    std::vector<std::string> violations_;
    std::function<void()> beforeMessageArrived_;
    std::function<void()> afterMessageArrived_;
    std::function<void()> onSubscribe_;
    std::function<void()> afterConnect_;
    std::function<void()> onReceivingThreadStop_;
    bool stoppingReceivingThread_ = false;
    bool answerRequests_ = true;
    bool acknowledgePublications_ = true;
    bool refuseConnections_ = false;
    bool closeRightAfterConnack_ = false;
    int refusedVersion_ = -1;
    std::vector<int> connectVersions_;
    std::vector<unsigned long> completionWaits_;
    int publications_ = 0;
    std::uint64_t requestsTimedOut_ = 0;
    int connects_ = 0;
    int nextToken_ = 1;
    bool ending_ = false;
    std::thread::id receivingThreadId_;
    std::vector<std::thread> lossThreads_;
    std::thread receivingThread_;
};

}  // namespace tarvo::testing
