#include "handle_retirement.hpp"

#include <algorithm>
#include <utility>

namespace tarvo {

void HandleRetirement::retire(MQTTClient handle, std::shared_ptr<CallbackRoute> route) {
    LockGuard lock(mutex_);
    retired_.push_back({handle, std::move(route), messageCallbacksEntered_.load(), retiredSoFar_++});
}

std::uint64_t HandleRetirement::retiredSoFar() {
    LockGuard lock(mutex_);
    return retiredSoFar_;
}

void HandleRetirement::connectAnswered(std::uint64_t retiredBefore) {
    LockGuard lock(mutex_);
    doneBefore_ = std::max(doneBefore_, retiredBefore);
}

std::vector<HandleRetirement::Retired> HandleRetirement::finished() {
    std::vector<Retired> done;
    LockGuard lock(mutex_);
    const bool threadStopped = noClientConnected();
    const std::uint64_t entered = messageCallbacksEntered_.load();
    const std::uint64_t doneBefore = doneBefore_;
    std::erase_if(retired_, [&](Retired& retired) {
        if (threadStopped || retired.messageCallbacksEnteredBefore < entered || retired.sequence < doneBefore) {
            done.push_back(std::move(retired));
            return true;
        }
        return false;
    });
    return done;
}

}  // namespace tarvo
