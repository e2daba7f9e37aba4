// The acknowledgements that QoS 1 and 2 publishes wait for.
#pragma once

#include "thread_safety.hpp"

#include <MQTTClient.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <unordered_set>

namespace tarvo {

// A token is completed once its acknowledgement arrived and nobody has collected it
// yet; unawaited while in flight with no publish waiting for it (published from a
// handler, or its wait ended early). The epoch moves on at every loss or disconnect,
// so that waiters stop waiting for acknowledgements that cannot come. Given up: an
// interrupt ended a wait for an acknowledgement (or the program's end was interrupted),
// so that ending the connection does not wait for the messages in flight either. Its
// lock is the last wherever it is taken.
class DeliveryTracker {
public:
    // Thrown by await when its interrupt check asked it to give up.
    struct Interrupted : std::exception {
        const char* what() const noexcept override { return "interrupted"; }
    };
    using InterruptCheck = std::function<bool()>;
    static constexpr auto kInterruptCheckInterval = std::chrono::milliseconds(50);

    std::uint64_t epoch() {
        LockGuard lock(mutex_);
        return epoch_;
    }
    std::size_t unawaitedCount() {
        LockGuard lock(mutex_);
        return unawaited_.size();
    }

    bool givenUp() {
        LockGuard lock(mutex_);
        return givenUp_;
    }
    void giveUp() {
        LockGuard lock(mutex_);
        givenUp_ = true;
    }

    // The token's acknowledgement will not be waited for.
    void leaveUnawaited(MQTTClient_deliveryToken token) {
        LockGuard lock(mutex_);
        unawaited_.insert(token);
    }

    // Called by the library's receiving thread for each acknowledgement.
    void acknowledged(MQTTClient_deliveryToken token) {
        LockGuard lock(mutex_);
        if (unawaited_.erase(token) == 0) {
            completed_.insert(token);
            done_.notify_all();
        }
    }

    // True once the token's acknowledgement arrived; false when the deadline passed or a
    // loss or disconnect cut the wait short. Asks interruptCheck (if any) every
    // kInterruptCheckInterval, and throws Interrupted when it says so; the token is then
    // left unawaited, and given up.
    bool await(MQTTClient_deliveryToken token, std::uint64_t epoch, std::chrono::steady_clock::time_point deadline,
               const InterruptCheck& interruptCheck) {
        UniqueLock lock(mutex_);
        auto settled = [&]() TARVO_REQUIRES(mutex_) { return completed_.contains(token) || epoch_ != epoch; };
        while (!lock.wait_until(done_, std::min(deadline, std::chrono::steady_clock::now() + kInterruptCheckInterval),
                                settled) &&
               std::chrono::steady_clock::now() < deadline) {
            if (!interruptCheck) {
                continue;
            }
            lock.unlock();
            const bool interrupted = interruptCheck();
            lock.lock();
            if (interrupted) {
                if (completed_.erase(token) == 0 && epoch_ == epoch) {
                    unawaited_.insert(token);
                    givenUp_ = true;
                }
                throw Interrupted();
            }
        }
        if (completed_.erase(token) > 0) {
            return true;
        }
        if (epoch_ == epoch) {
            unawaited_.insert(token);  // timed out; the acknowledgement may still come
        }
        return false;
    }

    // The connection ended: no acknowledgement awaited so far will come.
    void abandonAll() {
        LockGuard lock(mutex_);
        ++epoch_;
        completed_.clear();
        unawaited_.clear();
        givenUp_ = false;
        done_.notify_all();
    }

private:
    Mutex mutex_;
    std::condition_variable done_;
    std::unordered_set<MQTTClient_deliveryToken> completed_ TARVO_GUARDED_BY(mutex_);
    std::unordered_set<MQTTClient_deliveryToken> unawaited_ TARVO_GUARDED_BY(mutex_);
    std::uint64_t epoch_ TARVO_GUARDED_BY(mutex_) = 0;
    bool givenUp_ TARVO_GUARDED_BY(mutex_) = false;
};

}  // namespace tarvo
