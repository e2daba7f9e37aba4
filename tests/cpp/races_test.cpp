// Races between the library's threads and the application's, each forced into its
// worst interleaving with a scripted library (no broker, no sleeps).
#include "fake_library.hpp"
#include "sdk.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <memory>
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

SDK::Options options(bool cleanSession) {
    SDK::Options options;
    options.clientId = "races";
    options.brokerHost = "fake";
    options.cleanSession = cleanSession;
    options.connectTimeout = 5;
    return options;
}

class Races : public ::testing::Test {
protected:
    void start(bool cleanSession) {
        sdk.on_connection([this](bool connected, int code) { recorder.event(connected, code); });
        sdk.on_message([this](std::string_view topic, std::string_view payload) { recorder.message(topic, payload); });
        sdk.init(options(cleanSession));
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
    client->on_message([&](std::string_view, std::string_view) {
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
    sdk.on_message([this](std::string_view topic, std::string_view payload) { recorder.message(topic, payload); });
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

}  // namespace
