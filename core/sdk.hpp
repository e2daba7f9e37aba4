// tarvo_sdk client core: one MQTT client over the Paho MQTT C synchronous library.
//
// Plain C++20, no Python. Every operation runs on its caller's thread; the library
// calls back on its own threads (see events.cpp) and the reconnect loop runs on a
// thread of ours (see reconnect.cpp).
//
// Lock order, outermost first (a thread never takes an earlier lock while holding a
// later one):
//   1. connectionMutex   connection attempts, disconnect, client creation/destruction
//   2. clientMutex       lifetime of the library client handle (shared for calls on it)
//   3. stopMutex         reconnect run state and the loop's timed wait
//   4. (a handle's CallbackRoute: waiting for its callbacks in progress to end)
//   5. deliveryMutex     QoS 1/2 deliveries awaited by publish
//   6. requestMutex      subscribes and unsubscribes waiting for the broker's answer
//   7. lossMutex         whether a loss report belongs to a connection already ended
// A handler is called with none of these held (see handler_slot.hpp), and a handler
// call is the only place that may take the Python interpreter lock (inside the
// handler). The library's receiving thread takes no lock that a handler holds while it
// waits for that thread.
#pragma once

#include "handler_slot.hpp"
#include "library_client.hpp"

#include <MQTTClient.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>

namespace tarvo {

inline bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

class SDK {
public:
    // The topic and payload are the library's own bytes, valid for the call only.
    using MessageHandler = std::function<void(std::string_view topic, std::string_view payload)>;
    using ConnectionHandler = std::function<void(bool connected, int code)>;
    // Told about an exception that a handler raised where there is no caller to take
    // it (library thread, reconnect thread, teardown). Called inside the catch block,
    // so it may rethrow to inspect the exception. Empty: the core writes one line.
    using HandlerFailureReporter = std::function<void(std::string_view event)>;
    // Asked every kInterruptCheckInterval while publish waits for an acknowledgement:
    // true makes publish give up waiting and throw Interrupted (the message stays in
    // flight). Set by the binding to let Python's signal handlers run.
    using InterruptCheck = std::function<bool()>;
    struct Interrupted : std::exception {
        const char* what() const noexcept override { return "interrupted"; }
    };
    static constexpr auto kInterruptCheckInterval = std::chrono::milliseconds(50);

    SDK();
    SDK(const SDK&) = delete;
    SDK& operator=(const SDK&) = delete;
    virtual ~SDK();

    void init(const std::string& clientId, const std::string& brokerHost, const std::string& protocol,
              const std::string& username, const std::string& password, bool cleanSession, bool resumeSubs,
              bool connectRetry, bool autoReconnect, int connectRetryInterval, int maxReconnectInterval,
              int keepAlive, int pingTimeout, int writeTimeout, bool orderMatters, int connectTimeout,
              const std::string& edition);

    bool connect();
    void disconnect();
    void stop();
    bool is_connected() const { return connected.load() && !inheritedAcrossFork(); }
    // Between a successful init and stop: there is a library client and maybe a loop.
    bool isRunning() const { return running.load() && !inheritedAcrossFork(); }

    void publish(const std::string& topic, std::string_view payload, int qos, bool retained);
    bool subscribe(const std::string& topic, int qos);
    void unsubscribe(const std::string& topic);

    void on_message(MessageHandler handler);
    void on_connection(ConnectionHandler handler);

    void setHandlerFailureReporter(HandlerFailureReporter reporter) { handlerFailureReporter = std::move(reporter); }
    void setInterruptCheck(InterruptCheck check) { interruptCheck = std::move(check); }

    // The code publish reports for a publication it refuses without calling the
    // library, or MQTTCLIENT_SUCCESS: a topic that holds a wildcard or is refused as a
    // filter would be (MQTTCLIENT_BAD_UTF8_STRING), a QoS outside 0-2
    // (MQTTCLIENT_BAD_QOS), a payload longer than kMaxPayloadLength (MQTTCLIENT_FAILURE).
    static int checkPublication(std::string_view topic, std::size_t payloadSize, int qos);
    // MQTTCLIENT_BAD_UTF8_STRING for a topic filter subscribe or unsubscribe refuses
    // without calling the library, else MQTTCLIENT_SUCCESS. Filters and topics are
    // refused when the library would send them cut (a NUL, more than kMaxMqttString
    // bytes) or the broker would drop the whole connection for them: not UTF-8, a
    // control character or a noncharacter, a misplaced wildcard, empty.
    static int checkTopicFilter(std::string_view filter);

    // Longest string (topic, client id, username, password) MQTT's 16-bit length carries.
    static constexpr std::size_t kMaxMqttString = 65535;

    // Longest payload the library's int length field can carry.
    static constexpr std::size_t kMaxPayloadLength = 2147483647;
    // QoS 1/2 messages that may await acknowledgement at once. The library's "reliable"
    // mode allows one, which makes a second reply published from inside a message
    // handler wait for ever (its acknowledgement is read only after the handler returns).
    static constexpr std::size_t kMaxInflightMessages = 1024;

private:
    class CallbackScope;

    // configuration (config.cpp)
    void writeConnectOptions(bool cleanSession, int keepAlive, int writeTimeout, int connectTimeout);
    void pointAtPassword();

    // lifecycle (lifecycle.cpp)
    bool sealPassword();
    int checkConnectRequest() const;
    int connectLibraryClient();
    void disconnectClient(bool reportNotConnected);
    void endClient();
    void refuseFromHandler(const char* operation) const;
    // In a child forked after init: the client, its connection and threads are the
    // parent's. Such an object behaves as stopped and touches none of them.
    bool inheritedAcrossFork() const { return forkCountAtInit.load() != LibraryClient::forkCount(); }
    void abandonAfterFork();

    // events (events.cpp)
    static int messageArrived(void* context, char* topicName, int topicLen, MQTTClient_message* message);
    static void connectionLost(void* context, char* cause);
    static void deliveryComplete(void* context, MQTTClient_deliveryToken token);
    void loseConnection(const char* cause);
    bool lostBeforeCounted();
    void callConnectionHandler(bool isConnected, int code);
    void reportHandlerFailure(std::string_view event) noexcept;

    // messaging (messaging.cpp)
    template <typename Request>
    int requestAnswer(Request request);
    int sendPublication(const std::string& topic, std::string_view payload, int qos, bool retained);
    bool awaitDelivery(MQTTClient_deliveryToken token, std::uint64_t epoch,
                       std::chrono::steady_clock::time_point deadline);
    void abandonDeliveries();

    // reconnect (reconnect.cpp)
    void startLossRun();
    void lossRun();
    void reportLoss();
    bool takePendingLoss(bool endRun);
    void reconnectLoop();
    std::optional<int> attemptReconnect();
    void endReconnectRun();

    // True on a thread while it runs a library callback: the library's one receiving
    // thread (or its connection-lost thread), which must never wait for the library.
    static thread_local bool insideLibraryCallback;

    LibraryClient client;
    MQTTClient_connectOptions connectOptions = MQTTClient_connectOptions_initializer;
    std::string serverUri;
    std::string username;
    std::string password;
    std::string clientId;
    std::string edition;
    std::string sealedPassword;
    // Messages come one at a time from the library's receiving thread; connection
    // events from several threads, delivered one at a time in order.
    HandlerSlot<std::string_view, std::string_view> messageHandler{this, false};
    HandlerSlot<bool, int> connectionHandler{this, true};
    std::atomic<bool> running{false};
    std::atomic<std::uint64_t> forkCountAtInit{LibraryClient::forkCount()};
    std::atomic<bool> connected{false};
    // True while a disconnect runs. The library's disconnect waits (up to its timeout)
    // until nothing is in flight, which a thread publishing in a loop would never let
    // happen; publishes, subscribes and unsubscribes begun meanwhile are refused.
    std::atomic<bool> disconnecting{false};
    bool autoReconnect = true;
    int maxReconnectInterval = 60;
    // Guarded by stopMutex: the thread that reports a loss and runs the reconnect loop,
    // and (retiredThread) its predecessor, joined by its successor or by stop.
    std::thread reconnectThread;
    std::thread retiredThread;
    std::condition_variable stopSignal;
    // Lock 3: guards the two threads, lossRunActive, pendingLosses and the loop's timed
    // wait on stopSignal; running is stored under it whenever it turns false.
    std::mutex stopMutex;
    bool lossRunActive = false;
    int pendingLosses = 0;

    // Lock 1: serialises connection attempts (connect, reconnect), sealing, disconnect,
    // and creating or destroying the library client; guards connectOptions and the
    // credential strings it points into.
    std::mutex connectionMutex;
    // Lock 2: shared by every library call on the handle, exclusive to create or
    // destroy it, so no call can run on a destroyed client.
    std::shared_mutex clientMutex;

    // Lock 5: guards the delivery bookkeeping of QoS 1/2 publishes. A token is in
    // completedTokens once its acknowledgement arrived and nobody has collected it yet;
    // in unawaitedTokens while in flight with no publish waiting for it (published from
    // a handler, or the wait timed out). deliveryEpoch moves on at every loss or
    // disconnect so waiters stop waiting for acknowledgements that cannot come.
    std::mutex deliveryMutex;
    std::condition_variable deliveryDone;
    std::unordered_set<MQTTClient_deliveryToken> completedTokens;
    std::unordered_set<MQTTClient_deliveryToken> unawaitedTokens;
    std::uint64_t deliveryEpoch = 0;

    // Lock 6: guards requestsAwaitingAnswer, the subscribes and unsubscribes inside the
    // library. Nothing is taken under it; connection attempts wait on requestsEnded.
    std::mutex requestMutex;
    std::condition_variable requestsEnded;
    int requestsAwaitingAnswer = 0;

    // Lock 7: guards lossOfEndedConnectionPending, and the loss callback's clearing of
    // connected. A connection the library dropped on its own (its loss report on the
    // way) and then ended by disconnect must not have that report count against the
    // next connection. Never held during a library call: the loss callback may run
    // with the library's lock held.
    std::mutex lossMutex;
    bool lossOfEndedConnectionPending = false;

    HandlerFailureReporter handlerFailureReporter;
    InterruptCheck interruptCheck;
};

}  // namespace tarvo
