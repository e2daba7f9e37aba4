#include "handle_retirement.hpp"

#include <utility>

namespace tarvo {

void HandleRetirement::retire(MQTTClient handle, std::shared_ptr<CallbackRoute> route) {
    LockGuard lock(mutex_);
    retired_.push_back({handle, std::move(route), messageCallbacksEntered_.load()});
}

std::vector<HandleRetirement::Retired> HandleRetirement::finished() {
    std::vector<Retired> done;
    LockGuard lock(mutex_);
    const bool threadStopped = noClientConnected();
    const std::uint64_t entered = messageCallbacksEntered_.load();
    std::erase_if(retired_, [&](Retired& retired) {
        if (threadStopped || retired.messageCallbacksEnteredBefore < entered) {
            done.push_back(std::move(retired));
            return true;
        }
        return false;
    });
    return done;
}

}  // namespace tarvo
