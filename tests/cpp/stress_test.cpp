// Operations racing library callbacks and each other: must neither deadlock (the ctest
// timeout fails a hang) nor crash, and the object must work afterwards.
#include "support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

namespace tarvo::test {
namespace {

TEST(Stress, LifecycleLoopWhileMessagesArriveAndAnotherThreadPublishes) {
    Broker broker;
    std::atomic<long> arrived{0};
    std::atomic<long> connectionCalls{0};
    ConsoleCapture console;  // thousands of lines; shown only if the test fails

    SDK flood{pahoLibrary(), consoleSink()};  // publishes QoS 0 to the topic the object under test subscribes to
    init(flood, {.brokerHost = broker.address()});
    ASSERT_TRUE(flood.connect());

    MessageLog received;  // for the final round trip
    SDK sdk{pahoLibrary(), consoleSink()};
    sdk.on_message([&](std::string_view, std::string_view, SDK::MessageFlags) { ++arrived; });
    sdk.on_connection([&](bool, int) { ++connectionCalls; });
    init(sdk, {.brokerHost = broker.address()});

    Background flooder([&](const std::atomic<bool>& done) {
        for (long i = 0; !done && i < 2'000'000; ++i) {
            flood.publish("stress/in", std::to_string(i), 0, false);
            if (i % 2 == 0) {
                // Paced so that the broker builds no backlog for the subscriber: a QoS 1
                // acknowledgement queued behind one would hold a disconnect for the
                // library's whole 10 s wait for in-flight messages.
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    Background publisher([&](const std::atomic<bool>& done) {  // on the object under test, beside the cycles
        for (long i = 0; !done && i < 200'000; ++i) {
            if (sdk.is_connected()) {
                sdk.publish("stress/out", "x", static_cast<int>(i % 2), false);
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
    });

    int cycles = 0;
    const auto end = Clock::now() + 2s;
    for (; Clock::now() < end && cycles < 10'000; ++cycles) {
        if (sdk.connect()) {
            sdk.subscribe("stress/in", cycles % 3);
            if (cycles == 0) {
                // Messages must reach the handler amid the cycles; on a loaded machine a
                // short cycle may see none, so the first one waits for one.
                waitUntil([&] { return arrived.load() > 0; }, 10s);
            }
            sdk.publish("stress/out", "main", 1, false);
        }
        switch (cycles % 4) {
        case 0:
        case 1:
            sdk.disconnect();
            break;
        case 2:
            sdk.stop();
            init(sdk, {.brokerHost = broker.address()});
            break;
        case 3:  // init on a connected object
            init(sdk, {.brokerHost = broker.address()});
            break;
        }
    }
    flooder.stop();
    publisher.stop();

    // Still a working object: a final round trip through the broker.
    sdk.on_message(received.handler());
    init(sdk, {.brokerHost = broker.address()});
    ASSERT_TRUE(sdk.connect());
    ASSERT_TRUE(sdk.subscribe("stress/final", 1));
    sdk.publish("stress/final", "done", 1, false);
    EXPECT_TRUE(received.waitForMessages(1, 10s));
    sdk.stop();
    console.stop();

    EXPECT_GT(arrived.load(), 0);
    std::printf("[ FIGURE   ] stress: %d lifecycle cycles in 2 s, %ld messages handled, %ld connection-handler calls\n",
                cycles, arrived.load(), connectionCalls.load());
}

}  // namespace
}  // namespace tarvo::test
