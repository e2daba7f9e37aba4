// The last will: a message the broker publishes for the client when its connection ends
// without a DISCONNECT (it dropped, the process died).
#pragma once

#include "thread_safety.hpp"

#include <MQTTClient.h>

#include <optional>
#include <string>
#include <utility>

namespace tarvo {

struct WillMessage {
    std::string topic;
    std::string payload;  // binary, NUL bytes included
    int qos = 0;
    bool retained = false;
};

// The will that the connection attempts to come send in their CONNECT, or none; checked
// by whoever sets it.
class Will {
public:
    void set(std::optional<WillMessage> message) {
        LockGuard lock(mutex_);
        message_ = std::move(message);
    }

    // One connection attempt's will options and the strings they point at: made before
    // the library's connect, which copies them, and kept until it returns; never copied
    // or moved.
    class Attempt {
    public:
        explicit Attempt(const Will& will) {
            {
                LockGuard lock(will.mutex_);
                message_ = will.message_;
            }
            if (message_) {
                options_.topicName = message_->topic.c_str();
                // Through the length-counted field, which the library reads whenever its
                // data is set: binary, and empty where the C string would be refused.
                options_.payload.len = static_cast<int>(message_->payload.size());
                options_.payload.data = message_->payload.data();
                options_.qos = message_->qos;
                options_.retained = message_->retained ? 1 : 0;
            }
        }
        Attempt(const Attempt&) = delete;
        Attempt& operator=(const Attempt&) = delete;

        // Null when there is no will.
        MQTTClient_willOptions* options() { return message_ ? &options_ : nullptr; }

    private:
        std::optional<WillMessage> message_;
        MQTTClient_willOptions options_ = MQTTClient_willOptions_initializer;
    };

private:
    mutable Mutex mutex_;
    std::optional<WillMessage> message_ TARVO_GUARDED_BY(mutex_);
};

}  // namespace tarvo
