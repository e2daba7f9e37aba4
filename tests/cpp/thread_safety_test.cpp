// The annotated lock types keep their std counterparts' promises. Built by the Clang
// thread-safety build too, where these uses must pass the analysis.
#include "thread_safety.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using tarvo::Mutex;
using tarvo::UniqueLock;

struct Handshake {
    Mutex mutex;
    std::condition_variable changed;
    bool waiting TARVO_GUARDED_BY(mutex) = false;
    bool woken TARVO_GUARDED_BY(mutex) = false;
};

// The waiter says that it waits, which the main thread can only see once the waiter's
// wait has let go of the mutex; then it wakes the waiter.
TEST(LockTypes, ConditionWaitLetsGoOfTheMutexAndWakes) {
    Handshake handshake;
    std::thread waiter([&] {
        UniqueLock lock(handshake.mutex);
        handshake.waiting = true;
        handshake.changed.notify_all();
        while (!handshake.woken) {
            lock.wait(handshake.changed);
        }
    });
    {
        UniqueLock lock(handshake.mutex);
        lock.wait(handshake.changed, [&]() TARVO_REQUIRES(handshake.mutex) { return handshake.waiting; });
        handshake.woken = true;
    }
    handshake.changed.notify_all();
    waiter.join();
}

}  // namespace
