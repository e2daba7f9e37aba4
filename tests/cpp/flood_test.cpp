// Ending clients while a flood of messages arrives, against a real broker: tens of
// seconds, so run by ./dev soak (under the sanitizers) rather than ./dev test.
#include "support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace tarvo::test {
namespace {

// A handler with some work to do, so that under a flood a call is most likely running.
void work() {
    const auto until = Clock::now() + 200us;
    while (Clock::now() < until) {
    }
}

// The library has one receiving thread for all the clients of a process, kept running
// while any of them is connected. It takes a message from a client's queue before it
// calls the handler and removes it after the handler returned: both outside the core's
// count of callbacks in progress. Its disconnect frees the messages still queued, and
// destroying a handle frees the queue itself. Disconnecting or ending a client while
// messages arrive must leave that thread nothing freed to use. The peer stays connected
// throughout, as a second client of a real program would.
struct Ending {
    const char* name;
    std::function<void(std::unique_ptr<SDK>&, const std::string& address)> end;
};

class EndRightAfterAMessage : public ::testing::TestWithParam<Ending> {
protected:
    void SetUp() override {
        init(peer, {.brokerHost = broker.address()});
        captured([&] { ASSERT_TRUE(peer.connect()); });
    }

    Broker broker;
    SDK peer{pahoLibrary(), consoleSink()};
};

// 60 rounds; fewer where TARVO_FLOOD_ROUNDS says (the short run of ./dev test).
int rounds() {
    const char* rounds = std::getenv("TARVO_FLOOD_ROUNDS");
    return rounds != nullptr ? std::atoi(rounds) : 60;
}

TEST_P(EndRightAfterAMessage, LeavesTheLibraryNothingFreed) {
    ConsoleCapture console;
    Background flooder([&](const std::atomic<bool>& done) {
        for (long i = 0; !done && i < 20'000'000; ++i) {
            peer.publish("after/in", "m", 0, false);
        }
    });
    for (int round = 0, last = rounds(); round < last; ++round) {
        auto handled = std::make_shared<std::atomic<long>>(0);
        auto client = std::make_unique<SDK>(pahoLibrary(), consoleSink());
        client->on_message([handled](std::string_view, std::string_view, SDK::MessageFlags) {
            work();
            ++*handled;
        });
        init(*client, {.brokerHost = broker.address()});
        ASSERT_TRUE(client->connect());
        ASSERT_TRUE(client->subscribe("after/in", 0));
        ASSERT_TRUE(waitUntil([&] { return handled->load() > 5; }, 10s));
        GetParam().end(client, broker.address());  // a handler call is most likely running
    }
    flooder.stop();
    console.stop();
    EXPECT_TRUE(peer.is_connected());
}

INSTANTIATE_TEST_SUITE_P(
    Endings, EndRightAfterAMessage,
    ::testing::Values(Ending{"Disconnect",
                             [](std::unique_ptr<SDK>& sdk, const std::string&) {
                                 sdk->disconnect();
                                 // Let the library's thread settle before the destructor
                                 // ends the client: a fault shows up as the disconnect's.
                                 std::this_thread::sleep_for(50ms);
                             }},
                      Ending{"Stop", [](std::unique_ptr<SDK>& sdk, const std::string&) { sdk->stop(); }},
                      Ending{"Init", [](std::unique_ptr<SDK>& sdk,
                                        const std::string& address) { init(*sdk, {.brokerHost = address}); }},
                      Ending{"Destroy", [](std::unique_ptr<SDK>& sdk, const std::string&) { sdk.reset(); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvo::test
