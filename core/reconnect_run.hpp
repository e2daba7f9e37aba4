// The reconnect run of one object: the thread that confirms reported losses and
// reconnects after one, and retries a failed connect.
#pragma once

#include "thread_safety.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace tarvo {

// At most one thread at a time runs the body, which takes its tasks (reported losses,
// failed connects to retry) one by one and ends when take() finds none left. A task
// handed over while a run goes on is taken by it; one handed over after it ended starts
// the next, whose thread first joins the one before. Reconnecting is enabled between
// init (enable) and stop or a new init (end); while it is not, losses are still taken,
// to be confirmed and reported, but nothing reconnects. Its lock is taken with no other
// held and held only for a moment.
class ReconnectRun {
public:
    struct Task {
        enum class Kind { ConfirmLoss, RetryConnect };
        Kind kind;
        std::string cause;  // of a loss
    };

    explicit ReconnectRun(std::function<void()> body) : body_(std::move(body)) {}
    ReconnectRun(const ReconnectRun&) = delete;
    ReconnectRun& operator=(const ReconnectRun&) = delete;

    // Hands a loss report (its cause) to the run, starting a thread for it unless one is
    // going. Never waits: the library's connection-lost callback calls it. Throws
    // std::system_error when no thread could be started (the report is dropped).
    void report(std::string cause) TARVO_EXCLUDES(mutex_) { add({Task::Kind::ConfirmLoss, std::move(cause)}); }
    // The same for a connect that failed and is to be retried in the background.
    void retryConnect() TARVO_EXCLUDES(mutex_) { add({Task::Kind::RetryConnect, {}}); }

    // On the run's thread: the oldest task not yet taken. With endIfNone, a run that
    // finds none ends under the same lock, so that no task can slip in between.
    std::optional<Task> take(bool endIfNone) TARVO_EXCLUDES(mutex_);

    // On the run's thread: waits until the timeout passed, a loss was reported or
    // reconnecting was disabled; false in the last case. A connect to retry does not
    // end the wait: the run is trying already.
    bool wait(std::chrono::steady_clock::duration timeout) TARVO_EXCLUDES(mutex_);

    bool enabled() const TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        return enabled_;
    }
    void enable() TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        enabled_ = true;
    }
    // Disables reconnecting, wakes a run that waits and joins its thread (and the one
    // before it). Never called on the run's own thread. The owner calls it before the
    // body's objects go; destruction only joins a thread still there.
    void end() TARVO_EXCLUDES(mutex_);

    // In a forked child, where the parent's threads do not exist and the lock may be
    // held for ever: lets go of the thread without a lock or a join.
    void abandonAfterFork() TARVO_NO_THREAD_SAFETY_ANALYSIS;

private:
    void add(Task task) TARVO_EXCLUDES(mutex_);

    const std::function<void()> body_;
    mutable Mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> tasks_ TARVO_GUARDED_BY(mutex_);
    bool running_ TARVO_GUARDED_BY(mutex_) = false;  // a run has started and not yet ended
    bool enabled_ TARVO_GUARDED_BY(mutex_) = false;
    std::jthread thread_ TARVO_GUARDED_BY(mutex_);  // the latest run's
};

}  // namespace tarvo
