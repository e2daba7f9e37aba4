// The calls of one object that an interrupt left running in the background, and a stop
// deferred to the last of them.
#pragma once

#include "thread_safety.hpp"

namespace tarvo::binding {

// A call abandoned by an interrupt (see interruptible.hpp) still holds the library
// client until its wait ends: a stop asked for meanwhile is deferred to the last such
// call, and the object answers every call as a stopped one does until that stop is
// done. Its lock is taken under a handed call's and under no other.
class AbandonedCalls {
public:
    void add() {
        LockGuard lock(mutex_);
        ++running_;
    }
    // An abandoned call ended; true when it was the last and a stop was deferred to it:
    // the caller stops the object now, then calls stopDone().
    bool endOne() {
        LockGuard lock(mutex_);
        return --running_ == 0 && stopDeferred_;
    }
    // A stop was asked for: true (and the stop deferred) while an abandoned call runs or
    // an earlier stop is still deferred.
    bool deferStop() {
        LockGuard lock(mutex_);
        stopDeferred_ = stopDeferred_ || running_ > 0;
        return stopDeferred_;
    }
    // The deferred stop is done, or superseded by a new configuration.
    void stopDone() {
        LockGuard lock(mutex_);
        stopDeferred_ = false;
    }
    bool stopDeferred() {
        LockGuard lock(mutex_);
        return stopDeferred_;
    }
    bool any() {
        LockGuard lock(mutex_);
        return running_ > 0;
    }

private:
    Mutex mutex_;
    int running_ TARVO_GUARDED_BY(mutex_) = 0;
    bool stopDeferred_ TARVO_GUARDED_BY(mutex_) = false;
};

}  // namespace tarvo::binding
