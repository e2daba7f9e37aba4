// Subscribing, unsubscribing and publishing.
#include "sdk.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace tarvo {

namespace {

constexpr auto kCompletionTimeout = std::chrono::milliseconds(10000);

// Mosquitto takes a topic holding any of these for a malformed packet (MQTT lets a
// receiver do so) and drops the connection: U+0000-U+001F, U+007F-U+009F and the
// noncharacters. Bytes that are not UTF-8 count as such a character too.
bool holdsRefusedCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) {
            return true;
        }
        char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return true;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kShortest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
            codePoint <= 0x1F || (codePoint >= 0x7F && codePoint <= 0x9F) ||
            (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE) {
            return true;
        }
        i += length;
    }
    return false;
}

// '#' only as the whole last level, '+' only as a whole level.
bool wildcardsArePlaced(std::string_view filter) {
    for (std::size_t i = 0; i < filter.size(); ++i) {
        const bool levelStart = i == 0 || filter[i - 1] == '/';
        const bool levelEnd = i + 1 == filter.size() || filter[i + 1] == '/';
        if ((filter[i] == '+' && !(levelStart && levelEnd)) ||
            (filter[i] == '#' && !(levelStart && i + 1 == filter.size()))) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The library cuts a topic at its NUL (reaching a topic the caller never named) or at
// 65,535 bytes (malformed, its fields shifted), and passes on what the broker drops the
// whole connection for; so these are refused here, before the library sees them.
int SDK::checkTopicFilter(std::string_view filter) {
    if (filter.empty() || filter.size() > kMaxMqttString || holdsRefusedCharacter(filter) ||
        !wildcardsArePlaced(filter)) {
        return MQTTCLIENT_BAD_UTF8_STRING;
    }
    return MQTTCLIENT_SUCCESS;
}

// A wildcard is for filters only; a bad QoS, like a bad topic, would cost the connection.
int SDK::checkPublication(std::string_view topic, std::size_t payloadSize, int qos) {
    if (topic.find_first_of("+#") != std::string_view::npos || checkTopicFilter(topic) != MQTTCLIENT_SUCCESS) {
        return MQTTCLIENT_BAD_UTF8_STRING;
    }
    if (qos < 0 || qos > 2) {
        return MQTTCLIENT_BAD_QOS;
    }
    if (payloadSize > kMaxPayloadLength) {
        return MQTTCLIENT_FAILURE;
    }
    return MQTTCLIENT_SUCCESS;
}

// Runs a subscribe or unsubscribe on the open connection, counted while the library
// waits for the broker's answer, so that the client is not ended under it, and after a
// restore of subscriptions in progress. On the library's receiving thread the answer
// could only be read after the call gave up: refused.
template <typename Request>
int SDK::sendRequest(Request request) {
    if (insideLibraryCallback) {
        return MQTTCLIENT_FAILURE;
    }
    ConnectionState::Call call(connection, true);
    return call.begun() ? request(client.get()) : MQTTCLIENT_DISCONNECTED;
}

bool SDK::subscribe(const std::string& topic, int qos) {
    if (!is_connected()) {
        sayUnavailable(Operation::Subscribe);
        return false;
    }
    int rc = checkTopicFilter(topic);
    if (rc == MQTTCLIENT_SUCCESS) {
        if (qos == 2) {
            client.noteQos2Inbound();
        }
        rc = sendRequest([&](MQTTClient handle) { return library.subscribe(handle, topic.c_str(), qos); });
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        say(ConsoleStream::Err, "[SDK] subscribe failed on '", topic, "', rc=", rc);
        return false;
    }
    subscriptions.granted(topic, qos);
    say(ConsoleStream::Out, "[SDK] Subscribed to: ", topic);
    return true;
}

void SDK::unsubscribe(const std::string& topic) {
    if (!is_connected()) {
        sayUnavailable(Operation::Unsubscribe);
        return;
    }
    int rc = checkTopicFilter(topic);
    if (rc == MQTTCLIENT_SUCCESS) {
        rc = sendRequest([&](MQTTClient handle) { return library.unsubscribe(handle, topic.c_str()); });
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        say(ConsoleStream::Err, "[SDK] unsubscribe failed on '", topic, "', rc=", rc);
        return;
    }
    subscriptions.forget(topic);
    say(ConsoleStream::Out, "[SDK] Unsubscribed from: ", topic);
}

void SDK::will_set(WillMessage message) {
    switch (checkPublication(message.topic, message.payload.size(), message.qos)) {
    case MQTTCLIENT_BAD_UTF8_STRING:
        throw std::invalid_argument("will_set: not a topic a message can be published to (empty, a wildcard, "
                                    "not UTF-8, a control character, or longer than 65,535 bytes)");
    case MQTTCLIENT_BAD_QOS:
        throw std::invalid_argument("will_set: qos must be 0, 1 or 2");
    default:
        break;
    }
    if (message.payload.size() > kMaxMqttString) {
        throw std::invalid_argument("will_set: a will's payload is at most 65,535 bytes");
    }
    will.set(std::move(message));
}

bool SDK::publish(const std::string& topic, std::string_view payload, int qos, bool retained) {
    if (!is_connected()) {
        sayUnavailable(Operation::Publish);
        return false;
    }
    Publication sent{.rc = checkPublication(topic, payload.size(), qos)};
    if (sent.rc == MQTTCLIENT_SUCCESS) {
        sent = sendPublication(topic, payload, qos, retained);
    }
    if (sent.rc != MQTTCLIENT_SUCCESS) {
        say(ConsoleStream::Err, "[SDK] publish failed on '", topic, "', rc=", sent.rc);
        return false;
    }
    return sent.delivered;
}

SDK::Publication SDK::sendPublication(const std::string& topic, std::string_view payload, int qos, bool retained) {
    const auto deadline = std::chrono::steady_clock::now() + kCompletionTimeout;
    ConnectionState::Call call(connection);
    if (!call.begun()) {
        return {.rc = MQTTCLIENT_DISCONNECTED};
    }
    std::uint64_t epoch = 0;
    if (qos > 0) {
        if (insideLibraryCallback && deliveries.unawaitedCount() >= kMaxInflightMessages) {
            return {.rc = MQTTCLIENT_MAX_MESSAGES_INFLIGHT};
        }
        epoch = deliveries.epoch();
    }
    MQTTClient_message message = MQTTClient_message_initializer;
    message.payloadlen = static_cast<int>(payload.size());
    message.payload = const_cast<char*>(payload.data());  // read only; the caller keeps it alive
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    MQTTClient_deliveryToken token = 0;
    if (const int rc = library.publish(client.get(), topic.c_str(), &message, &token); rc != MQTTCLIENT_SUCCESS) {
        return {.rc = rc};
    }
    if (insideLibraryCallback) {
        // The library's thread reads the acknowledgements itself, after this handler
        // returns: waiting here could only time out. Taken is all that can be told.
        if (qos > 0) {
            deliveries.leaveUnawaited(token);
        }
        return {.delivered = true};
    }
    // A QoS 0 message is complete once written, and an acknowledged one needs nothing
    // more: the library's completion wait only costs a lock its receiving thread needs.
    if (qos == 0 || deliveries.await(token, epoch, deadline, interruptCheck)) {
        return {.delivered = true};
    }
    // Timed out; or a loss or disconnect ended the wait. With a clean session the library
    // dropped the message with the session, and once connected again its own wait would
    // take the message's absence for an acknowledgement. Otherwise it sends the message
    // again on the next connection, and its wait (polling in 100 ms steps for what
    // remains of the 10 s) sees the acknowledgement there.
    if (deliveries.epoch() == epoch || session()->connectOptions.cleansession != 0) {
        return {};
    }
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int rc = library.waitForCompletion(client.get(), token,
                                             static_cast<unsigned long>(std::max<long>(remaining.count(), 0)));
    return {.delivered = rc == MQTTCLIENT_SUCCESS};
}

}  // namespace tarvo
