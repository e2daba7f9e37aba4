// One replaceable handler of an SDK object, called from any thread.
#pragma once

#include "thread_safety.hpp"

#include <algorithm>
#include <cassert>
#include <condition_variable>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tarvo {

// The objects whose handlers this thread is inside, innermost last (a handler may call
// into another object whose handler then runs on the same thread).
inline std::vector<const void*>& handlerOwnersOnThisThread() {
    thread_local std::vector<const void*> owners;
    return owners;
}

// True on a thread that is running a handler of owner's.
inline bool callingFromHandlerOf(const void* owner) {
    const auto& owners = handlerOwnersOnThisThread();
    return std::find(owners.begin(), owners.end(), owner) != owners.end();
}

// A handler is called with no lock of its slot held: it may wait for the library's
// receiving thread (a subscribe in a connection handler waits for its SUBACK), and that
// thread must never wait for a lock such a handler holds. The slot counts the calls in
// progress instead, so that a replacement can wait for the handler it replaced.
//
// Calls of one slot can be made one at a time (ordered): the connection events of an
// object are delivered in the order they happened, never two at once.
template <typename... Args>
class HandlerSlot {
public:
    using Handler = std::function<void(Args...)>;

    // owner: the object the slot belongs to, so that a handler calling back into its own
    // object can be told apart (callingFromHandlerOf).
    HandlerSlot(const void* owner, bool ordered) : owner_(owner), ordered_(ordered) {}
    HandlerSlot(const HandlerSlot&) = delete;
    HandlerSlot& operator=(const HandlerSlot&) = delete;

    // Installs handler (empty: none). No call of the replaced handler starts after this
    // returns; with mayWait, none is still running either, and the replaced handler is
    // destroyed here, on the replacing thread. A thread that some running call may be
    // waiting for (the library's receiving thread) passes mayWait false: the replaced
    // handler then goes with the last call still using it.
    void replace(Handler handler, bool mayWait) {
        auto installed = handler ? std::make_shared<Installed>(std::move(handler), handlerMutex_) : nullptr;
        std::shared_ptr<Installed> replaced;
        {
            UniqueLock lock(handlerMutex_);
            replaced = std::exchange(current_, std::move(installed));
            if (replaced && mayWait) {
                lock.wait(callEnded_, [&]() TARVO_REQUIRES(handlerMutex_) {
                    return replaced->callsInProgress(handlerMutex_) == 0;
                });
            }
        }
    }

    // Calls the handler, if one is installed, on this thread; what it throws propagates.
    void call(Args... args) TARVO_EXCLUDES(callOrder_, handlerMutex_) {
        if (ordered_) {
            LockGuard order(callOrder_);
            callInstalled(std::forward<Args>(args)...);
        } else {
            callInstalled(std::forward<Args>(args)...);
        }
    }

private:
    // A handler, and its calls in progress, counted under the slot's handlerMutex_.
    // Each caller proves to the analysis that it holds that lock, named as the slot
    // names it; the handler's own name for it is then asserted.
    class Installed {
    public:
        Installed(Handler h, Mutex& slotMutex) : handler(std::move(h)), slotMutex_(slotMutex) {}
        const Handler handler;

        int callsInProgress(const Mutex& held) const TARVO_REQUIRES(held) {
            assertIsSlotMutex(held);
            return callsInProgress_;
        }
        void callBegins(const Mutex& held) TARVO_REQUIRES(held) {
            assertIsSlotMutex(held);
            ++callsInProgress_;
        }
        // True when it was the last call in progress.
        bool callEnds(const Mutex& held) TARVO_REQUIRES(held) {
            assertIsSlotMutex(held);
            return --callsInProgress_ == 0;
        }

    private:
        void assertIsSlotMutex([[maybe_unused]] const Mutex& held) const TARVO_ASSERT_CAPABILITY(slotMutex_) {
            assert(&held == &slotMutex_);
            slotMutex_.AssertHeld();
        }

        Mutex& slotMutex_;
        int callsInProgress_ TARVO_GUARDED_BY(slotMutex_) = 0;
    };

    void callInstalled(Args... args) TARVO_EXCLUDES(handlerMutex_) {
        std::shared_ptr<Installed> installed;
        {
            LockGuard lock(handlerMutex_);
            if (!current_) {
                return;
            }
            installed = current_;
            installed->callBegins(handlerMutex_);
        }
        CallMark mark(owner_);
        struct EndOfCall {
            HandlerSlot& slot;
            Installed& installed;
            ~EndOfCall() {
                LockGuard lock(slot.handlerMutex_);
                if (installed.callEnds(slot.handlerMutex_)) {
                    slot.callEnded_.notify_all();
                }
            }
        } endOfCall{*this, *installed};
        installed->handler(std::forward<Args>(args)...);
    }

    class CallMark {
    public:
        explicit CallMark(const void* owner) { handlerOwnersOnThisThread().push_back(owner); }
        ~CallMark() { handlerOwnersOnThisThread().pop_back(); }
        CallMark(const CallMark&) = delete;
        CallMark& operator=(const CallMark&) = delete;
    };

    const void* const owner_;
    const bool ordered_;
    // Held for the whole of a call of an ordered slot; nothing else is taken under it
    // but handlerMutex_, and never by the library's receiving thread.
    Mutex callOrder_ TARVO_ACQUIRED_BEFORE(handlerMutex_);
    // Guards current_ and the call counts; held only for a moment, never during a call.
    Mutex handlerMutex_;
    std::condition_variable callEnded_;
    std::shared_ptr<Installed> current_ TARVO_GUARDED_BY(handlerMutex_);
};

}  // namespace tarvo
