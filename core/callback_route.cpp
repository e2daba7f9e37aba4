#include "callback_route.hpp"

#include <chrono>

namespace tarvo {

namespace {

// A connection attempt waits this long for callbacks still running before it goes
// ahead; a handler that takes longer delays it no further.
constexpr auto kBoundedIdleWait = std::chrono::seconds(10);

}  // namespace

void CallbackRoute::waitForIdle(bool bounded) {
    // Registering as a waiter before testing the count, while a visit lowers the count
    // before testing for waiters (both sequentially consistent), means that at least
    // one of the two sees the other: the wake-up cannot be lost.
    ++waiters_;
    {
        UniqueLock lock(idleMutex_);
        auto idle = [this] { return visits_.load() == 0; };
        if (bounded) {
            lock.wait_for(idle_, kBoundedIdleWait, idle);
        } else {
            lock.wait(idle_, idle);
        }
    }
    --waiters_;
}

void CallbackRoute::beginQueueRelease() {
    // holding_ is set before visits_ is read, and a callback counts its visit before it
    // reads holding_: either this waits for the visit, or the callback sees the hold.
    holding_.store(true);
    waitForIdle(false);
}

void CallbackRoute::leave() {
    if (--visits_ == 0 && waiters_.load() > 0) {
        LockGuard lock(idleMutex_);
        idle_.notify_all();
    }
}

}  // namespace tarvo
