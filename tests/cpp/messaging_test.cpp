// Publishing, subscribing and receiving, against a real broker with a second SDK as peer.
#include "support.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvo::test {
namespace {

// --- publications refused before the library sees them -----------------------------------

struct Publication {
    const char* name;
    std::string topic;
    std::size_t payloadSize;
    int qos;
    int expected;
};

const Publication kPublications[] = {
    {"EmptyTopic", "", 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
    {"NulInTopic", std::string("a\0b", 3), 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
    {"TrailingNul", std::string("a/b\0", 4), 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
    {"PlusWildcard", "a/+/c", 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
    {"HashWildcard", "a/#", 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
    {"WildcardInsideLevel", "a+b", 1, 1, MQTTCLIENT_BAD_UTF8_STRING},
    {"QosMinusOne", "a/b", 1, -1, MQTTCLIENT_BAD_QOS},
    {"QosThree", "a/b", 1, 3, MQTTCLIENT_BAD_QOS},
    {"PayloadOneTooLong", "a/b", SDK::kMaxPayloadLength + 1, 1, MQTTCLIENT_FAILURE},
    {"LongestPayload", "a/b", SDK::kMaxPayloadLength, 2, MQTTCLIENT_SUCCESS},
    {"EmptyPayloadQos0", "a/b", 0, 0, MQTTCLIENT_SUCCESS},
    {"Qos1", "a", 10, 1, MQTTCLIENT_SUCCESS},
    {"Qos2", "/a/b/", 10, 2, MQTTCLIENT_SUCCESS},
    {"Utf8Topic", "caf\xC3\xA9/\xE2\x82\xAC", 10, 0, MQTTCLIENT_SUCCESS},
    {"ControlCharacter", "a\x01b", 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
    {"LongestTopic", std::string(SDK::kMaxMqttString, 't'), 1, 0, MQTTCLIENT_SUCCESS},
    {"TopicOneTooLong", std::string(SDK::kMaxMqttString + 1, 't'), 1, 0, MQTTCLIENT_BAD_UTF8_STRING},
};

class CheckPublication : public ::testing::TestWithParam<Publication> {};

TEST_P(CheckPublication, ReturnsTheCodePublishReports) {
    const Publication& p = GetParam();
    EXPECT_EQ(SDK::checkPublication(p.topic, p.payloadSize, p.qos), p.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckPublication, ::testing::ValuesIn(kPublications),
                         [](const auto& info) { return std::string(info.param.name); });

struct TopicFilter {
    const char* name;
    std::string filter;
    int expected;
};

const TopicFilter kTopicFilters[] = {
    {"Plain", "a/b", MQTTCLIENT_SUCCESS},
    {"HashAlone", "#", MQTTCLIENT_SUCCESS},
    {"HashLastLevel", "a/#", MQTTCLIENT_SUCCESS},
    {"PlusLevels", "+/b/+", MQTTCLIENT_SUCCESS},
    {"EmptyLevels", "/a//b/", MQTTCLIENT_SUCCESS},
    {"Empty", "", MQTTCLIENT_BAD_UTF8_STRING},
    {"HashInsideLevel", "a#", MQTTCLIENT_BAD_UTF8_STRING},
    {"HashNotLast", "a/#/b", MQTTCLIENT_BAD_UTF8_STRING},
    {"PlusInsideLevel", "a/b+", MQTTCLIENT_BAD_UTF8_STRING},
    {"Nul", std::string("a\0b", 3), MQTTCLIENT_BAD_UTF8_STRING},
    {"Delete", "a\x7F", MQTTCLIENT_BAD_UTF8_STRING},
    {"C1Control", "a\xC2\x85", MQTTCLIENT_BAD_UTF8_STRING},
    {"NonCharacterFFFF", "a\xEF\xBF\xBF", MQTTCLIENT_BAD_UTF8_STRING},
    {"NonCharacterFDD0", "\xEF\xB7\x90", MQTTCLIENT_BAD_UTF8_STRING},
    {"LastPlaneNonCharacter", "\xF4\x8F\xBF\xBE", MQTTCLIENT_BAD_UTF8_STRING},
    {"FourByteCharacter", "\xF0\x9F\x98\x80/x", MQTTCLIENT_SUCCESS},
    {"Latin1Byte", "caf\xE9", MQTTCLIENT_BAD_UTF8_STRING},
    {"OverlongSlash", "a\xC0\xAF", MQTTCLIENT_BAD_UTF8_STRING},
    {"Surrogate", "\xED\xA0\x80", MQTTCLIENT_BAD_UTF8_STRING},
    {"TruncatedSequence", "a\xE2\x82", MQTTCLIENT_BAD_UTF8_STRING},
};

class CheckTopicFilter : public ::testing::TestWithParam<TopicFilter> {};

TEST_P(CheckTopicFilter, ReturnsTheCodeSubscribeReports) {
    EXPECT_EQ(SDK::checkTopicFilter(GetParam().filter), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckTopicFilter, ::testing::ValuesIn(kTopicFilters),
                         [](const auto& info) { return std::string(info.param.name); });

// --- against a broker --------------------------------------------------------------------

class Messaging : public ::testing::Test {
protected:
    void SetUp() override {
        peer.on_message(received.handler());
        init(peer, {.brokerHost = broker.address()});
        init(sdk, {.brokerHost = broker.address()});
        captured([&] {
            ASSERT_TRUE(peer.connect());
            ASSERT_TRUE(sdk.connect());
        });
    }

    Broker broker;
    MessageLog received;  // by peer
    MessageLog late;      // by sdk, where a test sets it
    SDK peer{pahoLibrary(), consoleSink()};
    SDK sdk{pahoLibrary(), consoleSink()};
};

TEST(MessagingNotConnected, EveryOperationSaysSoAndDoesNothing) {
    RefusingPort nowhere;
    SDK fresh{pahoLibrary(), consoleSink()};
    SDK initialised{pahoLibrary(), consoleSink()};
    init(initialised, {.brokerHost = nowhere.address()});
    for (SDK* sdk : {&fresh, &initialised}) {
        bool subscribed = true;
        Output output = captured([&] {
            sdk->publish("t", "x", 1, false);
            subscribed = sdk->subscribe("t", 1);
            sdk->unsubscribe("t");
        });
        EXPECT_FALSE(subscribed);
        EXPECT_EQ(output.err, "[SDK] publish " EM_DASH " not connected\n"
                              "[SDK] subscribe " EM_DASH " not connected\n"
                              "[SDK] unsubscribe " EM_DASH " not connected\n");
        EXPECT_EQ(output.out, "");
    }
}

TEST_F(Messaging, SubscribeAndUnsubscribeLines) {
    bool ok = false;
    Output output = captured([&] {
        ok = sdk.subscribe("t", 1);
        sdk.unsubscribe("t");
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(output.out, "[SDK] Subscribed to: t\n[SDK] Unsubscribed from: t\n");
    EXPECT_EQ(output.err, "");
}

// Payloads are bytes: NUL bytes and an empty payload arrive exactly as published.
class PayloadBytes : public Messaging, public ::testing::WithParamInterface<int> {};

TEST_P(PayloadBytes, ArriveWhole) {
    const int qos = GetParam();
    const std::string binary("\0a\0\xff\x01\0", 6);
    captured([&] {
        ASSERT_TRUE(peer.subscribe("bytes/#", 2));
        sdk.publish("bytes/nul", binary, qos, false);
        sdk.publish("bytes/empty", "", qos, false);
        sdk.publish("bytes/last", "end", qos, false);
    });
    ASSERT_TRUE(received.waitForMessages(3, 10s));
    auto messages = received.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].topic, "bytes/nul");
    EXPECT_EQ(messages[0].payload, binary);
    EXPECT_EQ(messages[1].topic, "bytes/empty");
    EXPECT_EQ(messages[1].payload, "");
    EXPECT_EQ(messages[2].payload, "end");
}

INSTANTIATE_TEST_SUITE_P(Qos, PayloadBytes, ::testing::Values(0, 1, 2));

// A refused publication never reaches the broker, which would drop the connection.
TEST_F(Messaging, RefusedPublicationKeepsTheConnection) {
    Output output = captured([&] {
        ASSERT_TRUE(peer.subscribe("#", 1));
        sdk.publish("a/+", "x", 1, false);
        sdk.publish(std::string("a\0b", 3), "x", 1, false);
        sdk.publish("a/b", "x", 3, false);
        sdk.publish("after", "ok", 1, false);
    });
    EXPECT_EQ(output.err, "[SDK] publish failed on 'a/+', rc=-5\n"
                          "[SDK] publish failed on 'a" +
                              std::string(1, '\0') +
                              "b', rc=-5\n"
                              "[SDK] publish failed on 'a/b', rc=-9\n");
    ASSERT_TRUE(received.waitForMessages(1, 10s));
    EXPECT_EQ(received.messages()[0].topic, "after");
    EXPECT_TRUE(sdk.is_connected());
}

// Without a handler a message is taken and dropped: it is not handed over again once a
// handler is set.
TEST_F(Messaging, MessageWithoutHandlerIsDroppedNotRedelivered) {
    captured([&] {
        ASSERT_TRUE(sdk.subscribe("drop", 1));
        peer.publish("drop", "unseen", 1, false);
        // The broker routed "unseen" before it acknowledged the peer's publish, and
        // acknowledges this one after it on the same connection: once this returns, the
        // library's one receiving thread has read "unseen".
        sdk.publish("drop-barrier", "", 1, false);
    });
    sdk.on_message(late.handler());
    captured([&] { peer.publish("drop", "seen", 1, false); });
    ASSERT_TRUE(late.waitForMessages(1, 10s));
    std::this_thread::sleep_for(200ms);
    auto messages = late.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].payload, "seen");
    sdk.on_message(nullptr);
}

// A handler runs on the library's receiving thread; QoS 1 replies published from it
// must neither wait for acknowledgements that thread has yet to read nor be lost.
TEST_F(Messaging, HandlerMayPublishQos1Replies) {
    sdk.on_message([this](std::string_view, std::string_view payload, SDK::MessageFlags) {
        for (int i = 0; i < 3; ++i) {
            sdk.publish("reply", std::string(payload) + std::to_string(i), 1, false);
        }
    });
    captured([&] {
        ASSERT_TRUE(sdk.subscribe("request", 1));
        ASSERT_TRUE(peer.subscribe("reply", 1));
        peer.publish("request", "a", 1, false);
        peer.publish("request", "b", 1, false);
    });
    ASSERT_TRUE(received.waitForMessages(6, 10s));
    std::vector<std::string> payloads;
    for (const auto& message : received.messages()) {
        payloads.push_back(message.payload);
    }
    EXPECT_EQ(payloads, (std::vector<std::string>{"a0", "a1", "a2", "b0", "b1", "b2"}));
    sdk.on_message(nullptr);
}

}  // namespace
}  // namespace tarvo::test
