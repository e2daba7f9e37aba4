// Connection lifecycle: console lines, states, connection-handler calls, re-entry from
// handlers, and a repeated init.
#include "support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>
#include <utility>

namespace tarvo::test {
namespace {

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override { sdk.on_connection(log.handler()); }
    void initSdk() { init(sdk, {.brokerHost = broker.address()}); }

    Broker broker;  // outlives sdk
    ConnectionLog log;
    SDK sdk{pahoLibrary(), consoleSink()};
    const std::thread::id self = std::this_thread::get_id();
};

TEST_F(Lifecycle, ConnectBeforeInitIsRefused) {
    bool ok = true;
    Output output = captured([&] { ok = sdk.connect(); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(output.err, "[SDK] connect " EM_DASH " call init() first\n");
    EXPECT_EQ(output.out, "");
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(Lifecycle, ConnectCallsHandlerOnCallerThreadAndRepeatedConnectIsANoOp) {
    initSdk();
    bool ok = false;
    Output output = captured([&] { ok = sdk.connect(); });
    // Recorded before connect returned: the handler ran inside connect.
    auto calls = log.calls();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(sdk.is_connected());
    EXPECT_EQ(output.out, "[SDK] Connected to " + broker.uri() + "\n");
    EXPECT_EQ(output.err, "");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].connected);
    EXPECT_EQ(calls[0].code, 0);
    EXPECT_EQ(calls[0].thread, self);

    ok = false;
    output = captured([&] { ok = sdk.connect(); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(output.out, "[SDK] Already connected\n");
    EXPECT_EQ(log.calls().size(), 1u);
}

TEST_F(Lifecycle, DisconnectTwice) {
    initSdk();
    ASSERT_TRUE(sdk.connect());
    Output output = captured([&] { sdk.disconnect(); });
    EXPECT_EQ(output.out, "[SDK] Disconnected\n");
    EXPECT_FALSE(sdk.is_connected());
    auto calls = log.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[1].connected);
    EXPECT_EQ(calls[1].code, 0);
    EXPECT_EQ(calls[1].thread, self);

    output = captured([&] { sdk.disconnect(); });
    EXPECT_EQ(output.out, "[SDK] Not connected\n");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(log.calls().size(), 2u);

    ASSERT_TRUE(sdk.connect());  // a disconnected client connects again
}

TEST_F(Lifecycle, StopTwiceThenConnectNeedsInit) {
    initSdk();
    ASSERT_TRUE(sdk.connect());
    Output output = captured([&] { sdk.stop(); });
    EXPECT_EQ(output.out, "[SDK] Disconnected\n");
    auto calls = log.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[1].connected);
    EXPECT_EQ(calls[1].code, 0);

    output = captured([&] { sdk.stop(); });
    EXPECT_EQ(output.out, "[SDK] Not connected\n");
    EXPECT_EQ(output.err, "");

    bool ok = true;
    output = captured([&] { ok = sdk.connect(); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(output.err, "[SDK] connect " EM_DASH " call init() first\n");
    EXPECT_EQ(log.calls().size(), 2u);
}

TEST_F(Lifecycle, ConnectWhereNothingListensFails) {
    RefusingPort nowhere;
    init(sdk, {.brokerHost = nowhere.address(), .connectTimeout = 2});
    bool ok = true;
    Output output = captured([&] { ok = sdk.connect(); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_TRUE(std::regex_match(output.err, std::regex(R"(\[SDK\] connect failed, rc=-[0-9]+\n)"))) << output.err;
    EXPECT_EQ(output.out, "");
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(Lifecycle, InitWithSchemeTheLibraryRejectsThrowsAndLeavesNoClient) {
    try {
        init(sdk, {.brokerHost = broker.address(), .protocol = "bogus"});
        FAIL() << "init accepted the scheme 'bogus'";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "SDK::init " EM_DASH " MQTTClient_create failed: -14");
    }
    Output output = captured([&] { EXPECT_FALSE(sdk.connect()); });
    EXPECT_EQ(output.err, "[SDK] connect " EM_DASH " call init() first\n");
}

TEST_F(Lifecycle, DestroyingAConnectedObjectDisconnectsAndTellsTheHandler) {
    auto owned = std::make_unique<SDK>(pahoLibrary(), consoleSink());
    owned->on_connection(log.handler());
    init(*owned, {.brokerHost = broker.address()});
    ASSERT_TRUE(owned->connect());
    Output output = captured([&] { owned.reset(); });
    EXPECT_EQ(output.out, "[SDK] Disconnected\n");
    auto calls = log.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[1].connected);
    EXPECT_EQ(calls[1].code, 0);
    EXPECT_EQ(calls[1].thread, self);
}

TEST_F(Lifecycle, HandlerThrowingDuringTeardownIsReportedNotFatal) {
    auto owned = std::make_unique<SDK>(pahoLibrary(), consoleSink());
    owned->on_connection([](bool connected, int) {
        if (!connected) {
            throw std::runtime_error("boom");
        }
    });
    init(*owned, {.brokerHost = broker.address()});
    ASSERT_TRUE(owned->connect());
    Output output = captured([&] { owned.reset(); });
    EXPECT_EQ(output.err, "[SDK] connection handler (teardown) failed: boom\n");
}

TEST_F(Lifecycle, HandlerExceptionDuringConnectReachesTheCallerAndTheConnectionStays) {
    sdk.on_connection([](bool connected, int) {
        if (connected) {
            throw std::runtime_error("handler refused");
        }
    });
    initSdk();
    try {
        captured([&] { sdk.connect(); });
        FAIL() << "connect swallowed the handler's exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "handler refused");
    }
    EXPECT_TRUE(sdk.is_connected());
    Output output = captured([&] { sdk.disconnect(); });
    EXPECT_EQ(output.out, "[SDK] Disconnected\n");
}

// A second init on a connected object ends the first connection as stop would, but
// without the "Not connected" notice, and leaves a working object.
TEST_F(Lifecycle, SecondInitOnAConnectedObjectDisconnectsFirst) {
    Broker second;
    initSdk();
    ASSERT_TRUE(sdk.connect());
    Output output = captured([&] { init(sdk, {.brokerHost = second.address()}); });
    EXPECT_EQ(output.out, "[SDK] Disconnected\n");
    EXPECT_EQ(output.err, "");
    EXPECT_FALSE(sdk.is_connected());
    auto calls = log.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[1].connected);
    EXPECT_EQ(calls[1].code, 0);

    bool ok = false;
    output = captured([&] { ok = sdk.connect(); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(output.out, "[SDK] Connected to " + second.uri() + "\n");
    EXPECT_EQ(log.calls().size(), 3u);
}

// --- re-entry: a handler calling back into an operation of its own object ---------------

struct Reentry {
    const char* name;
    std::function<void(SDK&, const std::string& address)> call;
};

const Reentry kReentries[] = {
    {"connect", [](SDK& sdk, const std::string&) { sdk.connect(); }},
    {"disconnect", [](SDK& sdk, const std::string&) { sdk.disconnect(); }},
    {"stop", [](SDK& sdk, const std::string&) { sdk.stop(); }},
    {"init", [](SDK& sdk, const std::string& address) { init(sdk, {.brokerHost = address}); }},
    {"on_message", [](SDK& sdk, const std::string&) { sdk.on_message(nullptr); }},
    {"on_connection", [](SDK& sdk, const std::string&) { sdk.on_connection(nullptr); }},
};

std::string outcomeOf(const std::function<void()>& call) {
    try {
        call();
        return "returned";
    } catch (const std::logic_error&) {
        return "logic_error";
    } catch (const std::exception& error) {
        return std::string("other exception: ") + error.what();
    }
}

class ReentryFromHandler : public ::testing::TestWithParam<Reentry> {
protected:
    void record(const std::function<void()>& call) {
        std::string outcome = outcomeOf(call);
        std::lock_guard lock(mutex);
        outcomes.push_back(outcome);
    }
    std::vector<std::string> takeOutcomes() {
        std::lock_guard lock(mutex);
        return std::exchange(outcomes, {});
    }

    Broker broker;
    std::mutex mutex;
    std::vector<std::string> outcomes;  // of every handler call, teardown's included
    MessageLog received;
    SDK sdk{pahoLibrary(), consoleSink()};  // destroyed first: its handlers use the members above
};

TEST_P(ReentryFromHandler, ConnectionHandlerIsRefusedWithLogicError) {
    sdk.on_connection([this](bool, int) { record([this] { GetParam().call(sdk, broker.address()); }); });
    init(sdk, {.brokerHost = broker.address()});
    captured([&] {
        EXPECT_TRUE(sdk.connect());
        sdk.disconnect();
    });
    EXPECT_EQ(takeOutcomes(), (std::vector<std::string>{"logic_error", "logic_error"}));
    // Nothing was left locked: the object still works.
    EXPECT_TRUE(captured([&] { EXPECT_TRUE(sdk.connect()); }).out.starts_with("[SDK] Connected"));
}

// The message handler runs on the library's thread; the same calls are refused there.
TEST_P(ReentryFromHandler, MessageHandlerIsRefusedWithLogicError) {
    sdk.on_message([this, log = received.handler()](std::string_view topic, std::string_view payload,
                                                    SDK::MessageFlags flags) {
        record([this] { GetParam().call(sdk, broker.address()); });
        log(topic, payload, flags);
    });
    init(sdk, {.brokerHost = broker.address()});
    captured([&] {
        ASSERT_TRUE(sdk.connect());
        ASSERT_TRUE(sdk.subscribe("reentry", 1));
        sdk.publish("reentry", "x", 1, false);
        EXPECT_TRUE(received.waitForMessages(1, 10s));
    });
    EXPECT_EQ(takeOutcomes(), std::vector<std::string>{"logic_error"});
    EXPECT_TRUE(sdk.is_connected());
}

INSTANTIATE_TEST_SUITE_P(Operations, ReentryFromHandler, ::testing::ValuesIn(kReentries),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvo::test
