// Races between the library's threads and the application's, each forced into its
// worst interleaving with a scripted library (no broker, no sleeps).
#include "fake_library.hpp"
#include "reconnect_run.hpp"
#include "sdk.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using tarvo::SDK;
using tarvo::testing::FakeLibrary;
using tarvo::testing::Gate;
using Events = std::vector<std::pair<bool, int>>;
using Lines = std::vector<std::string>;

// What one SDK told its application: connection events, messages, console lines.
class Recorder {
public:
    void event(bool connected, int code) {
        std::lock_guard lock(mutex_);
        events_.emplace_back(connected, code);
        changed_.notify_all();
    }
    void message(std::string_view topic, std::string_view payload) {
        std::lock_guard lock(mutex_);
        messages_.emplace_back(std::string(topic) + " " + std::string(payload));
    }
    void line(std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    bool awaitEvents(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    }
    std::vector<std::pair<bool, int>> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<bool, int>> events_;
    std::vector<std::string> messages_;
    std::vector<std::string> lines_;
};

SDK::Options options(bool cleanSession, bool autoReconnect = true) {
    SDK::Options options;
    options.clientId = "races";
    options.brokerHost = "fake";
    options.cleanSession = cleanSession;
    options.autoReconnect = autoReconnect;
    options.connectTimeout = 5;
    return options;
}

class Races : public ::testing::Test {
protected:
    void start(bool cleanSession, bool autoReconnect = true) {
        sdk.on_connection([this](bool connected, int code) { recorder.event(connected, code); });
        sdk.on_message([this](std::string_view topic, std::string_view payload, SDK::MessageFlags) {
            recorder.message(topic, payload);
        });
        sdk.init(options(cleanSession, autoReconnect));
        ASSERT_TRUE(sdk.connect());
    }

    std::unique_ptr<SDK> newClient() {
        return std::make_unique<SDK>(library,
                                     [this](tarvo::ConsoleStream, std::string_view line) { recorder.line(line); });
    }
    // A client connected before the one under test: the library's receiving thread runs
    // for it throughout, and messages go to the client connected after it.
    std::unique_ptr<SDK> connectedBystander() {
        auto bystander = newClient();
        bystander->init(options(false));
        EXPECT_TRUE(bystander->connect());
        return bystander;
    }

    FakeLibrary library;  // outlives the SDKs
    Recorder recorder;
    SDK sdk{library, [this](tarvo::ConsoleStream, std::string_view line) { recorder.line(line); }};
};

// A loss report that comes after its connection was ended by disconnect, and another
// one opened, is about a connection that no longer exists.
TEST_F(Races, LateLossReportLeavesTheNextConnectionAlone) {
    start(false);
    Gate report;
    library.dropConnection(&report);
    sdk.disconnect();
    ASSERT_TRUE(sdk.connect());
    report.open();
    library.awaitLossReports();
    sdk.stop();  // joins the thread that took the report
    EXPECT_EQ(recorder.events(), (Events{{true, 0}, {false, 0}, {true, 0}, {false, 0}}));
    EXPECT_EQ(library.violations(), Lines{});
}

// A disconnect that leaves no client connected stops the library's receiving thread;
// another client's connect begun meanwhile would fail at once, so it waits for it.
TEST_F(Races, ConnectWaitsForAnotherClientsDisconnectStoppingTheReceivingThread) {
    start(false);
    auto other = newClient();
    other->init(options(false));
    bool otherConnected = false;
    std::thread connecting;
    library.onReceivingThreadStop([&] {
        connecting = std::thread([&] { otherConnected = other->connect(); });
        // Time for a connect that does not wait to reach the library (it would at once).
        static_cast<void>(library.awaitConnects(2, std::chrono::seconds(1)));
    });
    sdk.disconnect();
    connecting.join();
    library.onReceivingThreadStop(nullptr);
    other->stop();
    EXPECT_TRUE(otherConnected);
    EXPECT_EQ(library.violations(), Lines{});
}

// A subscribe waiting for its answer when the connection is lost gives up only after
// the library's time-out (nothing cuts it short), and then ends whatever connection its
// handle has: the reconnection comes at once all the same, and the give-up's end of it
// is one more loss, reconnected at once.
TEST_F(Races, RequestCutOffByALossDoesNotHoldTheReconnection) {
    start(false);
    library.answerRequests(false);
    Gate subscribeSent;
    library.onSubscribe([&] { subscribeSent.open(); });
    bool subscribed = true;
    std::thread subscriber([&] { subscribed = sdk.subscribe("a/b", 1); });
    ASSERT_TRUE(subscribeSent.wait());
    library.dropConnection();
    // Well within the library's 10 s, after which a reconnection that waits would come.
    const bool reconnectedWhileSubscribing = recorder.awaitEvents(3, std::chrono::seconds(5));
    library.answerRequests(true);
    library.timeOutRequests();
    subscriber.join();
    ASSERT_TRUE(reconnectedWhileSubscribing) << ::testing::PrintToString(recorder.events());
    ASSERT_TRUE(recorder.awaitEvents(5)) << ::testing::PrintToString(recorder.events());
    sdk.stop();
    EXPECT_FALSE(subscribed);
    EXPECT_EQ(recorder.events(), (Events{{true, 0}, {false, -1}, {true, 0}, {false, -1}, {true, 0}, {false, 0}}));
    EXPECT_EQ(library.violations(), Lines{});
}

// A client destroyed while its message handler runs (another client keeping the
// receiving thread running) outlives that call.
TEST_F(Races, DestroyingAClientWaitsForItsRunningCallback) {
    auto bystander = connectedBystander();
    auto client = newClient();
    Gate handlerEntered;
    Gate clientGone;
    bool goneDuringCallback = false;
    client->on_message([&](std::string_view, std::string_view, SDK::MessageFlags) {
        handlerEntered.open();
        // Time for a destruction that does not wait for this call to end.
        goneDuringCallback = clientGone.wait(std::chrono::seconds(1));
    });
    client->init(options(false));
    ASSERT_TRUE(client->connect());
    library.deliver("a/b", "payload");
    ASSERT_TRUE(handlerEntered.wait());
    client.reset();
    clientGone.open();
    ASSERT_TRUE(library.awaitReceived());
    bystander->stop();
    EXPECT_FALSE(goneDuringCallback);
    EXPECT_EQ(library.violations(), Lines{});
}

// The receiving thread goes back to a handle after its message callback returned; while
// another client keeps that thread running, a client stopped in that moment must not
// have its handle destroyed under it.
TEST_F(Races, StoppedClientsHandleOutlivesTheReceivingThreadsLastUseOfIt) {
    auto bystander = connectedBystander();
    start(false);
    Gate returned;
    Gate stopped;
    library.afterMessageArrived([&] {
        returned.open();
        stopped.wait();
    });
    library.deliver("a/b", "payload");
    ASSERT_TRUE(returned.wait());
    sdk.stop();
    stopped.open();
    ASSERT_TRUE(library.awaitReceived());
    library.afterMessageArrived(nullptr);
    bystander->stop();
    EXPECT_EQ(library.violations(), Lines{});
}

// A clean-session disconnect frees the queued messages, including the one the
// receiving thread is about to hand to the callback: that one must not be read.
TEST_F(Races, CleanDisconnectFreesTheMessageBeingHandedOver) {
    start(true);
    Gate aboutToHandOver;
    library.beforeMessageArrived([&] {
        aboutToHandOver.open();
        library.awaitInHandFreed();
    });
    library.deliver("a/b", "payload");
    ASSERT_TRUE(aboutToHandOver.wait());
    sdk.disconnect();
    ASSERT_TRUE(library.awaitReceived());
    sdk.stop();
    EXPECT_EQ(recorder.messages(), Lines{});
    EXPECT_EQ(library.violations(), Lines{});
}

// A connection handler that subscribes waits for a SUBACK that the receiving thread
// reads only after the message queued ahead of it: the message handler must be
// callable meanwhile.
TEST_F(Races, ConnectionHandlerSubscribesWhileAMessageWaitsAheadOfTheAnswer) {
    bool subscribed = false;
    library.onSubscribe([&] { library.deliver("a/1", "retained"); });
    sdk.on_message([this](std::string_view topic, std::string_view payload, SDK::MessageFlags) {
        recorder.message(topic, payload);
    });
    sdk.on_connection([&](bool connected, int) {
        if (connected) {
            subscribed = sdk.subscribe("a/#", 1);
        }
    });
    sdk.init(options(false));
    ASSERT_TRUE(sdk.connect());
    ASSERT_TRUE(library.awaitReceived());
    sdk.stop();
    EXPECT_TRUE(subscribed);
    EXPECT_EQ(recorder.messages(), Lines{"a/1 retained"});
    EXPECT_EQ(library.violations(), Lines{});
}

// A connection the library drops before connect has counted it as open has its report
// dropped (it belongs to no connection the object holds); connect then asks the library
// itself, and reports the loss.
TEST_F(Races, ConnectionLostBeforeConnectCountedItIsReported) {
    library.afterConnect([this] {
        library.dropConnection();
        library.awaitLossReports();
        // The report is the reconnect run's now; time for the run to take it while the
        // attempt is still under way (it would at once).
        Gate().wait(std::chrono::milliseconds(500));
    });
    start(false, false);
    library.afterConnect(nullptr);
    sdk.stop();  // joins the run
    EXPECT_EQ(recorder.events(), (Events{{true, 0}, {false, -1}}));
    EXPECT_EQ(library.violations(), Lines{});
}

// A QoS 1 publish waiting for its acknowledgement stops waiting when the connection is
// lost, and reports the message as not delivered. With a kept session (false) it leaves
// what remains of its 10 s to the library's own wait, which sees the message sent again
// on a new connection acknowledged (and ends at once on a handle that is not connected).
// With a clean session (true) the library dropped the message, and its wait, once
// connected again, would take that for an acknowledgement: none is made. An
// acknowledged publish needs no such wait.
class PublishCutOff : public Races, public ::testing::WithParamInterface<bool> {};

TEST_P(PublishCutOff, EndsWithTheConnectionUndelivered) {
    const bool cleanSession = GetParam();
    start(cleanSession, false);
    EXPECT_TRUE(sdk.publish("a/b", "acknowledged", 1, false));
    EXPECT_EQ(library.completionWaits(), std::vector<unsigned long>{});
    library.acknowledgePublications(false);
    bool delivered = true;
    std::thread publisher([this, &delivered] { delivered = sdk.publish("a/b", "cut off", 1, false); });
    ASSERT_TRUE(library.awaitPublications(2));
    library.dropConnection();
    publisher.join();
    EXPECT_FALSE(delivered);
    const std::vector<unsigned long> waits = library.completionWaits();
    if (cleanSession) {
        EXPECT_EQ(waits, std::vector<unsigned long>{});
    } else {
        ASSERT_EQ(waits.size(), 1u);
        // Well over half of the 10 s: the loss, not the time-out, ended the publish's wait.
        EXPECT_GT(waits[0], 5000u);
    }
    sdk.stop();
    EXPECT_EQ(recorder.events(), (Events{{true, 0}, {false, -1}}));
    EXPECT_EQ(library.violations(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Races, PublishCutOff, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "CleanSession" : "KeptSession"; });

// Replacing a handler waits until a call of the replaced one that is running has ended.
TEST_F(Races, ReplacingAHandlerWaitsForItsRunningCall) {
    start(false);
    Gate entered;
    Gate replaced;
    bool replacedDuringTheCall = false;
    sdk.on_message([&](std::string_view, std::string_view, SDK::MessageFlags) {
        entered.open();
        // Time for a replacement that does not wait for this call to return (it would at once).
        replacedDuringTheCall = replaced.wait(std::chrono::seconds(1));
    });
    library.deliver("a/b", "payload");
    ASSERT_TRUE(entered.wait());
    sdk.on_message(nullptr);
    replaced.open();
    ASSERT_TRUE(library.awaitReceived());
    sdk.stop();
    EXPECT_FALSE(replacedDuringTheCall);
    EXPECT_EQ(library.violations(), Lines{});
}

// On the library's receiving thread a subscribe or unsubscribe could only wait out the
// library's time-out (its answer is read by that very thread): both are refused at once.
TEST_F(Races, RequestsFromAMessageHandlerAreRefusedAtOnce) {
    start(false);
    bool subscribed = true;
    sdk.on_message([&](std::string_view, std::string_view, SDK::MessageFlags) {
        subscribed = sdk.subscribe("a/#", 1);
        sdk.unsubscribe("a/#");
    });
    library.deliver("a/b", "payload");
    ASSERT_TRUE(library.awaitReceived());
    sdk.stop();
    EXPECT_FALSE(subscribed);
    EXPECT_EQ(recorder.lines(), (Lines{"[SDK] Connected to tcp://fake\n", "[SDK] subscribe failed on 'a/#', rc=-1\n",
                                       "[SDK] unsubscribe failed on 'a/#', rc=-1\n", "[SDK] Disconnected\n"}));
    EXPECT_EQ(library.violations(), Lines{});
}

// A connection lost while the reconnect run's own attempt is under way is reported to
// that run, which takes it once the attempt is done, and reconnects again.
TEST_F(Races, LossDuringAReconnectAttemptIsTakenByTheSameRun) {
    start(false);
    bool dropped = false;
    library.afterConnect([&] {
        if (!std::exchange(dropped, true)) {
            library.dropConnection();
            library.awaitLossReports();
        }
    });
    library.dropConnection();
    ASSERT_TRUE(recorder.awaitEvents(5));
    sdk.stop();
    library.afterConnect(nullptr);
    EXPECT_EQ(recorder.events(), (Events{{true, 0}, {false, -1}, {true, 0}, {false, -1}, {true, 0}, {false, 0}}));
    EXPECT_EQ(library.violations(), Lines{});
}

// An unsubscribe made while a new session's subscriptions are being restored waits for
// the restore: sent before the restore's SUBSCRIBE was answered, it would be undone by it,
// and the filter it forgot would stay subscribed.
TEST_F(Races, UnsubscribeDuringARestoreOfSubscriptionsWaitsForIt) {
    SDK::Options resuming = options(true);
    resuming.resumeSubs = true;
    sdk.on_connection([this](bool connected, int code) { recorder.event(connected, code); });
    sdk.init(resuming);
    ASSERT_TRUE(sdk.connect());
    ASSERT_TRUE(sdk.subscribe("a/b", 1));
    Gate restoreSent;
    Gate restoreMayGoOn;
    library.onSubscribe([&] {
        restoreSent.open();
        restoreMayGoOn.wait();
    });
    library.dropConnection();
    ASSERT_TRUE(restoreSent.wait());
    std::promise<void> unsubscribed;
    std::thread unsubscriber([&] {
        sdk.unsubscribe("a/b");
        unsubscribed.set_value();
    });
    // Time for an unsubscribe that does not wait to go through (it would at once).
    const bool overtook = unsubscribed.get_future().wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    restoreMayGoOn.open();
    unsubscriber.join();
    library.onSubscribe(nullptr);
    ASSERT_TRUE(recorder.awaitEvents(3));
    sdk.stop();
    EXPECT_FALSE(overtook);
    Lines requests;
    for (const std::string& line : recorder.lines()) {
        if (line.starts_with("[SDK] Subscribed") || line.starts_with("[SDK] Unsubscribed")) {
            requests.push_back(line);
        }
    }
    EXPECT_EQ(requests,
              (Lines{"[SDK] Subscribed to: a/b\n", "[SDK] Subscribed to: a/b\n", "[SDK] Unsubscribed from: a/b\n"}));
    EXPECT_EQ(library.violations(), Lines{});
}

// init while the reconnect run waits between failed attempts ends the run first: no
// attempt follows, on the old client or the new one.
TEST_F(Races, InitDuringAReconnectRunEndsTheRun) {
    start(false);
    library.refuseConnections(true);
    library.dropConnection();
    ASSERT_TRUE(library.awaitConnects(2, std::chrono::seconds(30)));  // the run's first attempt
    sdk.init(options(false));
    // Time for an attempt by a run that init left going (the next would come after 1 s).
    EXPECT_FALSE(library.awaitConnects(3, std::chrono::seconds(2)));
    sdk.stop();
    EXPECT_EQ(recorder.events(), (Events{{true, 0}, {false, -1}}));
    EXPECT_EQ(library.violations(), Lines{});
}

// A server that closes the connection right after its CONNACK (granting, or refusing
// MQTT 3.1.1) can leave the CONNACK signalled twice on the handle: the next connect,
// the application's or a fallback to MQTT 3.1, meets no such stale answer.
TEST_F(Races, ConnectAfterAConnectionClosedRightAfterItsConnackMeetsNoStaleAnswer) {
    library.closeRightAfterConnack();
    start(false, false);
    ASSERT_TRUE(recorder.awaitEvents(2));
    EXPECT_TRUE(sdk.connect());
    sdk.stop();
    EXPECT_EQ(library.violations(), Lines{});
}

TEST_F(Races, ServerThatSpeaksOnlyMqtt31IsConnectedWithMqtt31) {
    library.refuseProtocolVersion(MQTTVERSION_3_1_1);
    start(false);
    sdk.stop();
    EXPECT_EQ(library.connectVersions(), (std::vector<int>{MQTTVERSION_3_1_1, MQTTVERSION_3_1}));
    EXPECT_EQ(library.violations(), Lines{});
}

// After a loss the reconnection gets a new handle (free of stale answers) unless the old
// one holds what the kept session needs: a QoS 1 publication in flight (sent again on
// the next connection), or QoS 2 messages coming in (one may wait for its PUBREL).
struct KeptSession {
    const char* name;
    bool cleanSession;
    bool qos1InFlight;
    bool qos2Subscription;
    bool handleRenewed;
};

class HandleRenewal : public Races, public ::testing::WithParamInterface<KeptSession> {};

TEST_P(HandleRenewal, ReconnectionKeepsTheHandleOnlyForWhatTheSessionNeeds) {
    const KeptSession& session = GetParam();
    start(session.cleanSession);
    if (session.qos2Subscription) {
        ASSERT_TRUE(sdk.subscribe("a/b", 2));
    }
    std::thread publisher;
    if (session.qos1InFlight) {
        library.acknowledgePublications(false);
        publisher = std::thread([this] { sdk.publish("a/b", "in flight", 1, false); });
        ASSERT_TRUE(library.awaitPublications(1));
    }
    const int handles = library.handlesCreated();
    library.dropConnection();
    ASSERT_TRUE(recorder.awaitEvents(3)) << ::testing::PrintToString(recorder.events());
    if (publisher.joinable()) {
        publisher.join();
    }
    EXPECT_EQ(library.handlesCreated() > handles, session.handleRenewed);
    sdk.stop();
    EXPECT_EQ(library.violations(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Sessions, HandleRenewal,
                         ::testing::Values(KeptSession{"Persistent", false, false, false, true},
                                           KeptSession{"PersistentWithQos1InFlight", false, true, false, false},
                                           KeptSession{"PersistentWithQos2Subscription", false, false, true, false},
                                           KeptSession{"CleanWithQos1InFlight", true, true, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The handle a reconnection replaced while another client kept the receiving thread
// running is destroyed once that thread has read the new connection's CONNACK (it is
// then done with the old one), not kept until every client of the process is gone.
TEST_F(Races, HandleReplacedAtAReconnectionIsDestroyedOnceTheNewConnectionIsAnswered) {
    auto bystander = connectedBystander();
    start(false);
    const int destroyed = library.handlesDestroyed();
    library.dropConnection();
    ASSERT_TRUE(recorder.awaitEvents(3)) << ::testing::PrintToString(recorder.events());
    EXPECT_EQ(library.handlesDestroyed(), destroyed + 1);
    sdk.stop();
    bystander.reset();
    EXPECT_EQ(library.violations(), Lines{});
}

// The run's own races, with a body of the test's making.
class ReconnectRunRaces : public ::testing::Test {
protected:
    void took(const std::string& cause) {
        std::lock_guard lock(mutex_);
        taken_.push_back(cause);
        changed_.notify_all();
    }
    bool awaitTaken(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return taken_.size() >= count; });
    }
    Lines taken() {
        std::lock_guard lock(mutex_);
        return taken_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Lines taken_;
};

// A loss reported after a run found no report left, while its thread is still on its
// way out, starts the next run.
TEST_F(ReconnectRunRaces, LossReportedWhileARunEndsStartsTheNext) {
    Gate firstEnded;
    Gate firstMayExit;
    int runs = 0;  // on the runs' threads, one after another
    tarvo::ReconnectRun run([&] {
        const bool first = ++runs == 1;
        while (const std::optional<tarvo::ReconnectRun::Task> task = run.take(true)) {
            took(task->cause);
        }
        if (first) {
            firstEnded.open();
            firstMayExit.wait();
        }
    });
    run.report("first");
    ASSERT_TRUE(firstEnded.wait());
    run.report("second");
    firstMayExit.open();
    EXPECT_TRUE(awaitTaken(2));
    run.end();
    EXPECT_EQ(taken(), (Lines{"first", "second"}));
    EXPECT_EQ(runs, 2);
}

// end() wakes a run that waits between attempts, and tells it that reconnecting is over.
TEST_F(ReconnectRunRaces, EndDuringTheWaitEndsTheWait) {
    Gate waiting;
    bool stillEnabled = true;
    tarvo::ReconnectRun run([&] {
        while (run.take(true)) {
            waiting.open();
            stillEnabled = run.wait(std::chrono::seconds(60));
        }
    });
    run.enable();
    run.report("lost");
    ASSERT_TRUE(waiting.wait());
    const auto start = std::chrono::steady_clock::now();
    run.end();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // not the 60 s
    EXPECT_FALSE(stillEnabled);
}

}  // namespace
