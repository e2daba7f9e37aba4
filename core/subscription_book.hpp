// The subscriptions a client restores on a connection that finds no session kept.
#pragma once

#include "thread_safety.hpp"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvo {

// Every topic filter the broker granted, with the QoS asked for last; an unsubscribe
// forgets it, a new configuration forgets them all. Its lock is taken with no other
// held, for a moment.
class SubscriptionBook {
public:
    void granted(const std::string& filter, int qos) TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        qosOf_[filter] = qos;
    }
    void forget(const std::string& filter) TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        qosOf_.erase(filter);
    }
    void clear() TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        qosOf_.clear();
    }
    std::vector<std::pair<std::string, int>> filters() const TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        return {qosOf_.begin(), qosOf_.end()};
    }

private:
    mutable Mutex mutex_;
    std::map<std::string, int> qosOf_ TARVO_GUARDED_BY(mutex_);
};

}  // namespace tarvo
