// tarvo_sdk client core: one MQTT client over the MQTT library (see library.hpp).
//
// Plain C++20, no Python. Every operation runs on its caller's thread; the library
// calls back on its own threads (see events.cpp) and the reconnect loop runs on a
// thread of ours (see reconnect_run.hpp and reconnect.cpp).
//
// Each part owns its lock, annotated for Clang's thread-safety analysis (./dev check):
// the connection's state, the delivery tracker, the subscription book, each handler
// slot, the callback route, the library's retired handles, the reconnect run, and the
// session (below). Each is held only for a moment and no other is taken under it, with
// one exception: an ordered handler slot holds its call order during the handler's call,
// and so (level 1) comes before every other lock (level 2), which the handler may take.
// No library call is made with any of them held. A handler call is the only place that
// may take the Python interpreter lock (inside the handler); the library's receiving
// thread takes no lock that a handler holds while it waits for that thread.
#pragma once

#include "connection_state.hpp"
#include "console.hpp"
#include "delivery_tracker.hpp"
#include "handler_slot.hpp"
#include "library_client.hpp"
#include "reconnect_run.hpp"
#include "subscription_book.hpp"
#include "tls.hpp"
#include "will.hpp"

#include <MQTTClient.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

inline bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

class SDK {
public:
    // What a PUBLISH's header says of the message: its QoS; retained: sent from the topic's
    // retained message, for a new subscription; duplicate: sent again (QoS 1 and 2), so
    // that it may have arrived before.
    struct MessageFlags {
        int qos = 0;
        bool retained = false;
        bool duplicate = false;
    };
    // The topic and payload are the library's own bytes, valid for the call only.
    using MessageHandler = std::function<void(std::string_view topic, std::string_view payload, MessageFlags flags)>;
    using ConnectionHandler = std::function<void(bool connected, int code)>;
    // Told about an exception that a handler raised where there is no caller to take
    // it (library thread, reconnect thread, teardown). Called inside the catch block,
    // so it may rethrow to inspect the exception. Empty: the core writes one line.
    using HandlerFailureReporter = std::function<void(std::string_view event)>;
    // Asked every DeliveryTracker::kInterruptCheckInterval while publish waits for an
    // acknowledgement: true makes publish give up waiting and throw Interrupted (the
    // message stays in flight). Set by the binding to let Python's signal handlers run.
    using InterruptCheck = DeliveryTracker::InterruptCheck;
    using Interrupted = DeliveryTracker::Interrupted;

    // What init configures. A connect timeout too long for the library is taken as the
    // longest it can wait (24 days).
    struct Options {
        std::string clientId;
        std::string brokerHost;
        std::string protocol = "tcp";
        std::string username;
        std::string password;
        bool cleanSession = false;
        // Subscribe again to what was subscribed when a connection finds that the broker
        // kept no session.
        bool resumeSubs = false;
        // A failed connect goes on in the background, every connectRetryInterval seconds.
        bool connectRetry = false;
        bool autoReconnect = true;
        int connectRetryInterval = 5;  // seconds
        int maxReconnectInterval = 1;  // seconds
        int keepAlive = 30;            // seconds
        int writeTimeout = 10;         // seconds, the library's retry interval
        int connectTimeout = 30;       // seconds
        std::string edition = "Community";
    };

    // The library defaults to Paho's; the console to standard output and error.
    explicit SDK(Library& library = pahoLibrary(), ConsoleSink console = writeToStandardStreams);
    SDK(const SDK&) = delete;
    SDK& operator=(const SDK&) = delete;
    ~SDK();

    void init(const Options& options);

    bool connect();
    void disconnect();
    void stop();
    bool is_connected() const { return connected() && !inheritedAcrossFork(); }
    // Between a successful init and stop: there is a library client and maybe a loop.
    bool isRunning() const { return !inheritedAcrossFork() && run.enabled(); }

    // True once the library took the message and, at QoS 1 and 2, the broker acknowledged
    // it within the wait; inside a message handler, where no acknowledgement can be
    // awaited, once the library took it. False for every refusal and failure.
    bool publish(const std::string& topic, std::string_view payload, int qos, bool retained);
    bool subscribe(const std::string& topic, int qos);
    void unsubscribe(const std::string& topic);

    // TLS files for the connections to come (the next attempt on): checked here, and
    // throws TlsFileError for one that cannot be used. Once called, an address that is
    // not a TLS one is refused at connect.
    void tls_set(TlsFiles files) { tls.set(std::move(files)); }

    // The will of the connections to come (the next attempt on, the reconnect loop's
    // too), before or after init, which keeps it as it keeps the TLS files; will_clear:
    // none. Throws std::invalid_argument for a will that publish would refuse
    // (checkPublication), or whose payload is longer than a CONNECT carries
    // (kMaxMqttString).
    void will_set(WillMessage message);
    void will_clear() { will.set(std::nullopt); }

    void on_message(MessageHandler handler);
    void on_connection(ConnectionHandler handler);

    enum class Operation { Connect, Disconnect, Publish, Subscribe, Unsubscribe };
    // Writes the line an operation writes when it finds nothing to work on: no client
    // (connect), no connection (the others). Also for a binding that answers for a
    // stopped object while a call it gave up on still holds the client.
    void sayUnavailable(Operation operation) const;

    // The messages in flight now are given up: the next disconnect (also of stop and
    // teardown) does not wait for their acknowledgements. For a program ended by an
    // interrupt.
    void giveUpDeliveries() { deliveries.giveUp(); }

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

    template <typename... Parts>
    void say(ConsoleStream stream, const Parts&... parts) const {
        console(stream, composeLine(parts...));
    }
    // A view of the connection's state: true while it is open.
    bool connected() const { return connection.connected(); }

    // What init configured, frozen: the next init makes a new one. The connect options
    // point into its own strings; in the Enterprise edition an attempt sends the sealed
    // token in place of the password.
    struct Session {
        explicit Session(const Options& options);
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        const std::string serverUri;
        const std::string clientId;
        const std::string username;
        const std::string password;
        const std::string edition;
        const bool resumeSubs;
        const bool connectRetry;
        const bool autoReconnect;
        const int connectRetryInterval;
        const int maxReconnectInterval;
        MQTTClient_connectOptions connectOptions = MQTTClient_connectOptions_initializer;
    };
    std::shared_ptr<const Session> session() const TARVO_EXCLUDES(sessionMutex) {
        LockGuard lock(sessionMutex);
        return currentSession;
    }

    // lifecycle (lifecycle.cpp)
    bool sealPassword(const Session& session) TARVO_EXCLUDES(sessionMutex);
    int checkConnectRequest(const Session& session) const TARVO_EXCLUDES(sessionMutex);
    int connectLibraryClient(const Session& session, std::string& failureNote, bool& sessionKept)
        TARVO_EXCLUDES(sessionMutex);
    void restoreSubscriptions(const Session& session, bool sessionKept, ConnectionState::Attempt& attempt);
    void retryConnectLater();
    void disconnectClient(bool reportNotConnected);
    void endClient(ConnectionState::Phase next);
    // ForNewClient: init's, silent when not connected, leaving the phase Ending.
    enum class Shutdown { ForNewClient, Stop, Teardown };
    void shutDown(Shutdown kind);
    void refuseFromHandler(const char* operation) const;
    // In a child forked after init: the client, its connection and threads are the
    // parent's. Such an object behaves as stopped and touches none of them.
    bool inheritedAcrossFork() const { return forkCountAtInit.load() != forksSincePahoSetUp(); }
    // The parent's locks may be held for ever here: nothing is locked.
    void abandonAfterFork() TARVO_NO_THREAD_SAFETY_ANALYSIS;

    // events (events.cpp)
    static int messageArrived(void* context, char* topicName, int topicLen, MQTTClient_message* message);
    static void connectionLost(void* context, char* cause);
    static void deliveryComplete(void* context, MQTTClient_deliveryToken token);
    bool confirmLoss(const std::string& cause);
    void confirmLossBeforeCounted();
    void callConnectionHandler(bool isConnected, int code);
    void reportHandlerFailure(std::string_view event) noexcept;

    // messaging (messaging.cpp)
    // The library's code for taking the message, and whether it was delivered (as
    // publish answers).
    struct Publication {
        int rc = MQTTCLIENT_SUCCESS;
        bool delivered = false;
    };
    Publication sendPublication(const std::string& topic, std::string_view payload, int qos, bool retained);
    template <typename Request>
    int sendRequest(Request request);

    // reconnect (reconnect.cpp)
    void reportLossToConfirm(const char* cause);
    void lossRun();
    enum class Retrying { AfterLoss, FailedConnect };
    void reconnectLoop(const Session& session, Retrying retrying);
    std::optional<int> attemptReconnect(const Session& session, Retrying retrying, std::string& failureNote);
    void reportLoss();

    // True on a thread while it runs a library callback: the library's one receiving
    // thread (or its connection-lost thread), which must never wait for the library.
    static thread_local bool insideLibraryCallback;

    Library& library;
    const ConsoleSink console;
    Tls tls;
    Will will;
    LibraryClient client{library};
    ConnectionState connection;
    DeliveryTracker deliveries;
    SubscriptionBook subscriptions;
    // Taken with no other lock held, for a moment.
    mutable Mutex sessionMutex;
    std::shared_ptr<const Session> currentSession TARVO_GUARDED_BY(sessionMutex);
    // The token of the last sealing since init, which every attempt sends until the next.
    std::string sealedPassword TARVO_GUARDED_BY(sessionMutex);
    // Messages come one at a time from the library's receiving thread; connection
    // events from several threads, delivered one at a time in order.
    HandlerSlot<std::string_view, std::string_view, MessageFlags> messageHandler{this, false};
    HandlerSlot<bool, int> connectionHandler{this, true};
    std::atomic<std::uint64_t> forkCountAtInit{forksSincePahoSetUp()};
    // Set by the binding before anything else is called.
    HandlerFailureReporter handlerFailureReporter;
    InterruptCheck interruptCheck;
    // Last, so that it ends first: its thread uses everything above.
    ReconnectRun run{[this] { lossRun(); }};
};

}  // namespace tarvo
