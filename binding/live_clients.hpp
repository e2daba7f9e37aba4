// The clients alive in this process, so that interpreter exit can stop them first.
#pragma once

#include "sdk.hpp"

#include <atomic>
#include <mutex>

namespace tarvo::binding {

// The SDK object that Python creates: the core object, made known to the exit hook and
// reporting handler failures to Python.
class BoundSDK final : public SDK {
public:
    BoundSDK();
    ~BoundSDK() override;

    // Calls left running in the background by an interrupt (see interruptible.hpp). A
    // stop made meanwhile is left to the last of them, which holds the library client
    // until its wait ends; the exit hook leaves such a client to the process's end.
    void callAbandoned();
    // True when the call that ended was the last abandoned one and a stop was deferred
    // to it: the caller stops the client now, then calls deferredStopDone().
    bool abandonedCallEnded();
    void deferredStopDone();
    // True (and the stop deferred) while an abandoned call runs.
    bool deferStop();
    void cancelDeferredStop();
    bool isStopDeferred() const { return stopDeferred_.load(); }
    bool hasAbandonedCalls();

private:
    // Guards abandonedCalls_ and the setting of stopDeferred_; taken with no core lock held.
    std::mutex abandonedMutex_;
    int abandonedCalls_ = 0;
    std::atomic<bool> stopDeferred_{false};
};

// Stops every live client. Run from an atexit hook: after it, no library or reconnect
// thread needs the interpreter while it finalizes (a thread that tries then hangs).
void stopLiveClients();

}  // namespace tarvo::binding
