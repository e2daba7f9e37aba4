// Loss of the connection and reconnecting, against a real broker that is killed and
// restarted on the same port. The reconnect delays are read from the console lines, and
// the waits between attempts are timed from when those lines were written.
#include "support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace tarvo::test {
namespace {

struct Failure {
    Clock::time_point time;
    int delay;
};

constexpr std::string_view kFailed = "[SDK] Reconnect failed";

class Reconnect : public ::testing::Test {
protected:
    void start(bool autoReconnect, int maxReconnectInterval) {
        init(sdk, {.brokerHost = broker.address(),
                   .autoReconnect = autoReconnect,
                   .maxReconnectInterval = maxReconnectInterval,
                   .connectTimeout = 2});
        captured([&] { ASSERT_TRUE(sdk.connect()); });
    }

    // Every "Reconnect failed" line; fails the test on one of another form.
    static std::vector<Failure> failures(ConsoleCapture& console) {
        static const std::regex form(R"(\[SDK\] Reconnect failed, rc=-[0-9]+\. Retrying in ([0-9]+)s)");
        std::vector<Failure> result;
        for (const auto& line : console.lines(ConsoleCapture::Err)) {
            if (line.text.starts_with(kFailed)) {
                std::smatch match;
                EXPECT_TRUE(std::regex_match(line.text, match, form)) << line.text;
                result.push_back({line.time, match.empty() ? -1 : std::stoi(match[1])});
            }
        }
        return result;
    }

    static std::vector<int> delays(const std::vector<Failure>& failures, std::size_t n) {
        std::vector<int> result;
        for (std::size_t i = 0; i < n && i < failures.size(); ++i) {
            result.push_back(failures[i].delay);
        }
        return result;
    }

    // The wait after failure i, from its line to the "Attempting to reconnect" line of
    // the attempt that follows it (attempt i + 2: every attempt but the first follows a
    // failure), checked against the delay it announced; printed as a figure together
    // with the time from failure to failure (the wait plus one refused attempt).
    static void expectWaits(ConsoleCapture& console, const std::vector<Failure>& failures, std::size_t n,
                            const char* label) {
        std::vector<Clock::time_point> attempts;
        for (const auto& line : console.lines(ConsoleCapture::Out)) {
            if (line.text == "[SDK] Attempting to reconnect...") {
                attempts.push_back(line.time);
            }
        }
        std::string figures;
        for (std::size_t i = 0; i + 1 < n && i + 1 < failures.size(); ++i) {
            ASSERT_LT(i + 1, attempts.size()) << "no attempt after failure " << i + 1;
            const double wait = std::chrono::duration<double>(attempts[i + 1] - failures[i].time).count();
            const double gap = std::chrono::duration<double>(failures[i + 1].time - failures[i].time).count();
            // Each line is timed as it is written, by a thread a loaded machine can hold
            // up for a while between its steps: the margin allows that, and still tells
            // every delay from the next or previous whole second.
            EXPECT_NEAR(wait, failures[i].delay, 0.9) << "wait after failure " << i + 1;
            char text[96];
            std::snprintf(text, sizeof text, "%s%d s announced: waited %.3f s, failure to failure %.3f s",
                          figures.empty() ? "" : "; ", failures[i].delay, wait, gap);
            figures += text;
        }
        std::printf("[ FIGURE   ] reconnect back-off, %s: %s\n", label, figures.c_str());
    }

    void expectLossCall(std::size_t index) {
        auto calls = log.calls();
        ASSERT_GT(calls.size(), index);
        EXPECT_FALSE(calls[index].connected);
        EXPECT_EQ(calls[index].code, -1);
        EXPECT_NE(calls[index].thread, self);
    }

    Broker broker;
    ConnectionLog log;
    MessageLog received;
    SDK sdk{pahoLibrary(), consoleSink()};  // destroyed first: its handlers use the members above
    const std::thread::id self = std::this_thread::get_id();
};

TEST_F(Reconnect, LossWithoutAutoReconnectIsReportedAndNothingMore) {
    sdk.on_connection(log.handler());
    start(false, 1);
    ConsoleCapture console;
    broker.kill();
    ASSERT_TRUE(log.waitForCalls(2, 10s));
    expectLossCall(1);
    EXPECT_FALSE(sdk.is_connected());
    broker.start();
    std::this_thread::sleep_for(2500ms);  // past the first reconnect attempt, had there been one
    console.stop();
    EXPECT_EQ(console.err(), "[SDK] Connection lost: unknown\n");
    EXPECT_EQ(console.out(), "");
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_EQ(log.calls().size(), 2u);

    // Reconnecting is left to the application, and works.
    Output output = captured([&] { EXPECT_TRUE(sdk.connect()); });
    EXPECT_EQ(output.out, "[SDK] Connected to " + broker.uri() + "\n");
}

TEST_F(Reconnect, ReconnectsOnceTheBrokerIsBackAndTheHandlerCanResubscribe) {
    auto record = log.handler();
    sdk.on_connection([this, record](bool connected, int code) {
        record(connected, code);
        if (connected) {
            sdk.subscribe("renewed", 1);  // a clean session forgets subscriptions
        }
    });
    sdk.on_message(received.handler());
    start(true, 1);
    ConsoleCapture console;
    broker.kill();
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Err, kFailed, 2, 10s));
    broker.start();
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Out, "[SDK] Reconnected successfully", 1, 10s));
    ASSERT_TRUE(log.waitForCalls(3, 10s));
    EXPECT_TRUE(sdk.is_connected());
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Out, "[SDK] Subscribed to: renewed", 1, 10s));
    SDK peer{pahoLibrary(), [](ConsoleStream, std::string_view) {}};  // its lines are not the object's
    init(peer, {.brokerHost = broker.address()});
    ASSERT_TRUE(peer.connect());
    peer.publish("renewed", "again", 1, false);
    EXPECT_TRUE(received.waitForMessages(1, 10s));
    console.stop();

    auto calls = log.calls();
    ASSERT_EQ(calls.size(), 3u);
    expectLossCall(1);
    EXPECT_TRUE(calls[2].connected);
    EXPECT_EQ(calls[2].code, 0);
    EXPECT_NE(calls[2].thread, self);

    auto errLines = console.lines(ConsoleCapture::Err);
    ASSERT_FALSE(errLines.empty());
    EXPECT_EQ(errLines[0].text, "[SDK] Connection lost: unknown");
    auto failed = failures(console);
    EXPECT_EQ(errLines.size(), failed.size() + 1) << console.err();
    EXPECT_EQ(delays(failed, failed.size()), std::vector<int>(failed.size(), 1));

    std::vector<std::string> expected(failed.size() + 1, "[SDK] Attempting to reconnect...");
    expected.push_back("[SDK] Reconnected successfully to " + broker.uri());
    expected.push_back("[SDK] Subscribed to: renewed");
    std::vector<std::string> outLines;
    for (const auto& line : console.lines(ConsoleCapture::Out)) {
        outLines.push_back(line.text);
    }
    EXPECT_EQ(outLines, expected);
}

TEST_F(Reconnect, DelayDoublesUpToTheCapAndStopCutsTheWaitShort) {
    sdk.on_connection(log.handler());
    start(true, 3);
    ConsoleCapture console;
    broker.kill();
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Err, kFailed, 4, 20s));
    // Now in the 3 s wait after the fourth attempt.
    const auto stopStart = Clock::now();
    sdk.stop();
    const std::chrono::duration<double> stopTook = Clock::now() - stopStart;
    std::this_thread::sleep_for(200ms);
    console.stop();

    auto failed = failures(console);
    EXPECT_EQ(delays(failed, 5), (std::vector<int>{1, 2, 3, 3}));
    expectWaits(console, failed, 4, "cap 3");
    EXPECT_LT(stopTook.count(), 2.0);  // waiting out the 3 s would take about 3 s
    std::printf("[ FIGURE   ] stop during a 3 s reconnect wait took %.3f s\n", stopTook.count());
    EXPECT_EQ(console.count(ConsoleCapture::Out, "[SDK] Attempting to reconnect..."), 4u);
    EXPECT_EQ(log.calls().size(), 2u);
    EXPECT_FALSE(sdk.is_connected());
}

TEST_F(Reconnect, CapZeroRetriesAtOnceAfterTheFirstSecond) {
    start(true, 0);
    ConsoleCapture console;
    broker.kill();
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Err, kFailed, 3, 10s));
    sdk.stop();
    console.stop();
    auto failed = failures(console);
    EXPECT_EQ(delays(failed, 3), (std::vector<int>{1, 0, 0}));
    expectWaits(console, failed, 3, "cap 0");
}

TEST_F(Reconnect, NewLossAfterAReconnectStartsAgainAtOneSecond) {
    sdk.on_connection(log.handler());
    start(true, 3);
    ConsoleCapture console;
    broker.kill();
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Err, kFailed, 2, 10s));
    broker.start();
    ASSERT_TRUE(log.waitForCalls(3, 10s));  // reconnected
    broker.kill();
    ASSERT_TRUE(console.waitForLines(ConsoleCapture::Err, kFailed, 3, 10s));
    ASSERT_TRUE(log.waitForCalls(4, 10s));
    sdk.stop();
    console.stop();
    EXPECT_EQ(delays(failures(console), 3), (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(console.count(ConsoleCapture::Err, "[SDK] Connection lost: unknown"), 2u);
    expectLossCall(3);
}

}  // namespace
}  // namespace tarvo::test
