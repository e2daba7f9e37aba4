// The state of one object's connection: one value, and every transition of it here.
#pragma once

#include "thread_safety.hpp"

#include <atomic>
#include <condition_variable>

namespace tarvo {

// Connect, disconnect, init and stop take the connection through its phases; library
// calls on an open connection (publish, subscribe, unsubscribe) are counted while they
// run, so that the client under them is not ended. Its lock is taken by no other lock's
// holder and held only for a moment: nothing waits for the library under it.
class ConnectionState {
public:
    enum class Phase {
        Unconfigured,  // no library client: before init, or after a failed one
        Idle,          // a client, no connection (never opened, or disconnected)
        Connecting,    // connect or a reconnect attempt is inside the library
        Connected,
        Restoring,      // connected, and restoring the subscriptions a new session lacks:
                        // the application's subscribes and unsubscribes wait for it
        Disconnecting,  // disconnect is inside the library; no new call starts
        Lost,           // no connection, and the reconnect run may open one: the library
                        // dropped it, or connect failed with connectRetry
        Ending,         // init or stop is ending the client
        Stopped,        // stop ended the client
    };

    // A lock-free view, for checks that a later transition may overturn.
    Phase phase() const { return phase_.load(); }
    bool connected() const { return phase() == Phase::Connected || phase() == Phase::Restoring; }

    enum class ConnectStart { Go, AlreadyConnected, NoClient, Busy, NotLost };
    // Waits out another attempt, a disconnect or an ending. Without mayWait (on the
    // library's receiving thread, which those may be waiting for) it does not wait: Busy.
    // A reconnect goes only from Lost (NotLost from Idle: the application connected and
    // disconnected meanwhile). Go: the phase is now Connecting. A subscribe or unsubscribe
    // cut off by a loss may still be waiting for its answer: it is not waited for (the
    // library's give-up, up to 10 s later, ends the connection opened meanwhile, which is
    // then one more loss).
    ConnectStart beginConnect(bool mayWait, bool reconnecting = false) {
        UniqueLock lock(mutex_);
        auto ready = [this]() TARVO_REQUIRES(mutex_) { return !transitionInProgress(); };
        if (!mayWait && !ready()) {
            return ConnectStart::Busy;
        }
        lock.wait(changed_, ready);
        switch (phase_.load()) {
        case Phase::Idle:
            if (reconnecting) {
                return ConnectStart::NotLost;
            }
            [[fallthrough]];
        case Phase::Lost:
            beforeAttempt_ = phase_;
            set(Phase::Connecting);
            return ConnectStart::Go;
        case Phase::Connected:
            return ConnectStart::AlreadyConnected;
        default:
            return ConnectStart::NoClient;
        }
    }
    // Ends an attempt that beginConnect let go (Go) when it goes out of scope, however it
    // is left: Connected once opened() was called, else back to the phase before, or to
    // Lost after leaveToReconnectRun() (a failed connect that the run retries).
    class Attempt {
    public:
        explicit Attempt(ConnectionState& state) : state_(state) {}
        ~Attempt() {
            LockGuard lock(state_.mutex_);
            state_.set(opened_ ? Phase::Connected : retried_ ? Phase::Lost : state_.beforeAttempt_);
        }
        Attempt(const Attempt&) = delete;
        Attempt& operator=(const Attempt&) = delete;
        void opened() { opened_ = true; }
        void leaveToReconnectRun() { retried_ = true; }
        // The connection is open; its subscriptions are restored before it counts as such.
        void restoring() {
            LockGuard lock(state_.mutex_);
            state_.set(Phase::Restoring);
        }

    private:
        ConnectionState& state_;
        bool opened_ = false;
        bool retried_ = false;
    };

    // Connected -> Disconnecting, after waiting out an attempt or another disconnect;
    // false when there is no connection to end.
    bool beginDisconnect() {
        UniqueLock lock(mutex_);
        lock.wait(changed_, [this]() TARVO_REQUIRES(mutex_) { return !transitionInProgress(); });
        if (phase_ != Phase::Connected) {
            return false;
        }
        set(Phase::Disconnecting);
        return true;
    }
    void endDisconnect() {
        LockGuard lock(mutex_);
        set(Phase::Idle);
    }

    // Connected -> Lost; false when the connection was not open (anymore).
    bool lose() {
        LockGuard lock(mutex_);
        if (phase_ != Phase::Connected) {
            return false;
        }
        set(Phase::Lost);
        return true;
    }

    // -> Ending, once no attempt, disconnect or call is in progress; no call starts
    // after it. Then endEnding: Idle with a new client, Unconfigured without, Stopped.
    void beginEnding() {
        UniqueLock lock(mutex_);
        lock.wait(changed_, [this]() TARVO_REQUIRES(mutex_) { return !transitionInProgress(); });
        set(Phase::Ending);
        lock.wait(changed_, [this]() TARVO_REQUIRES(mutex_) { return callsInProgress_ == 0; });
    }
    void endEnding(Phase next) {
        LockGuard lock(mutex_);
        set(next);
    }

    // True while a library call begun on the last connection still runs (one cut off by
    // a loss). While an attempt waits for its CONNACK none begins, so false stays false
    // until then.
    bool callsInProgress() {
        LockGuard lock(mutex_);
        return callsInProgress_ > 0;
    }

    // A library call on the open connection, counted from construction to destruction;
    // begun() is false (and nothing counted) when the connection is not open. An
    // application's subscribe or unsubscribe first waits out a restore of subscriptions
    // (waitOutRestore), so that the two cannot overtake each other.
    class Call {
    public:
        explicit Call(ConnectionState& state, bool waitOutRestore = false) : state_(state) {
            UniqueLock lock(state_.mutex_);
            if (waitOutRestore) {
                lock.wait(state_.changed_,
                          [this]() TARVO_REQUIRES(state_.mutex_) { return state_.phase_ != Phase::Restoring; });
            }
            begun_ = state_.phase_ == Phase::Connected || state_.phase_ == Phase::Restoring;
            if (begun_) {
                ++state_.callsInProgress_;
            }
        }
        ~Call() {
            if (!begun_) {
                return;
            }
            LockGuard lock(state_.mutex_);
            --state_.callsInProgress_;
            state_.changed_.notify_all();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        bool begun() const { return begun_; }

    private:
        ConnectionState& state_;
        bool begun_ = false;
    };

private:
    bool transitionInProgress() const TARVO_REQUIRES(mutex_) {
        return phase_ == Phase::Connecting || phase_ == Phase::Restoring || phase_ == Phase::Disconnecting ||
               phase_ == Phase::Ending;
    }
    void set(Phase next) TARVO_REQUIRES(mutex_) {
        phase_.store(next);
        changed_.notify_all();
    }

    Mutex mutex_;
    std::condition_variable changed_;
    // Written under mutex_ only (by set); atomic for phase()'s lock-free view.
    std::atomic<Phase> phase_{Phase::Unconfigured};
    Phase beforeAttempt_ TARVO_GUARDED_BY(mutex_) = Phase::Idle;
    int callsInProgress_ TARVO_GUARDED_BY(mutex_) = 0;
};

}  // namespace tarvo
