#include "reconnect_run.hpp"

#include <system_error>
#include <utility>

namespace tarvo {

void ReconnectRun::report(std::string cause) {
    LockGuard lock(mutex_);
    reports_.push_back(std::move(cause));
    if (running_) {
        changed_.notify_all();
        return;
    }
    // The previous run has ended but its thread may still be exiting: the new one joins it.
    try {
        thread_ = std::jthread([this, previous = std::move(thread_)]() mutable {
            if (previous.joinable()) {
                previous.join();
            }
            body_();
        });
    } catch (const std::system_error&) {
        reports_.clear();
        throw;
    }
    running_ = true;
}

std::optional<std::string> ReconnectRun::take(bool endIfNone) {
    LockGuard lock(mutex_);
    if (reports_.empty()) {
        running_ = running_ && !endIfNone;
        return std::nullopt;
    }
    std::string cause = std::move(reports_.front());
    reports_.pop_front();
    return cause;
}

bool ReconnectRun::wait(std::chrono::steady_clock::duration timeout) {
    UniqueLock lock(mutex_);
    lock.wait_for(changed_, timeout, [this]() TARVO_REQUIRES(mutex_) { return !enabled_ || !reports_.empty(); });
    return enabled_;
}

void ReconnectRun::end() {
    std::jthread run;
    {
        LockGuard lock(mutex_);
        enabled_ = false;
        changed_.notify_all();
        run = std::move(thread_);
    }
    if (run.joinable()) {
        run.join();
    }
}

void ReconnectRun::abandonAfterFork() {
    if (thread_.joinable()) {
        thread_.detach();
    }
}

}  // namespace tarvo
