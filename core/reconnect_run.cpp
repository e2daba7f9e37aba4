#include "reconnect_run.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace tarvo {

void ReconnectRun::add(Task task) {
    LockGuard lock(mutex_);
    tasks_.push_back(std::move(task));
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
        tasks_.clear();
        throw;
    }
    running_ = true;
}

std::optional<ReconnectRun::Task> ReconnectRun::take(bool endIfNone) {
    LockGuard lock(mutex_);
    if (tasks_.empty()) {
        running_ = running_ && !endIfNone;
        return std::nullopt;
    }
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    return task;
}

bool ReconnectRun::wait(std::chrono::steady_clock::duration timeout) {
    UniqueLock lock(mutex_);
    lock.wait_for(changed_, timeout, [this]() TARVO_REQUIRES(mutex_) {
        return !enabled_ ||
               std::ranges::any_of(tasks_, [](const Task& task) { return task.kind == Task::Kind::ConfirmLoss; });
    });
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
