#include "fake_library.hpp"

#include <algorithm>
#include <ranges>
#include <utility>

namespace tarvo::testing {

namespace {
// The library's own limit for an answer (its command timeout).
constexpr auto kAnswerTimeout = std::chrono::seconds(10);
// True on a thread inside connectionLost: the library's lock is held there.
thread_local bool insideConnectionLost = false;
}  // namespace

void Gate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
}

bool Gate::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return opened_.wait_for(lock, timeout, [this] { return open_; });
}

struct FakeLibrary::Handle {
    void* context = nullptr;
    MQTTClient_connectionLost* connectionLost = nullptr;
    MQTTClient_messageArrived* messageArrived = nullptr;
    MQTTClient_deliveryComplete* deliveryComplete = nullptr;
    bool connected = false;
    bool cleanSession = true;
    bool destroyed = false;
    bool staleConnack = false;
    int callbacksRunning = 0;
    std::vector<MQTTClient_deliveryToken> unacknowledged;  // QoS 1 and 2 publications in flight
    std::shared_ptr<Delivery> notTaken;                    // handed over again with the handle's next packet
};

// A message as the library holds it: queued, then handed to messageArrived. A clean
// disconnect frees it (here: overwrites it and marks it freed).
struct FakeLibrary::Delivery {
    Handle* handle;
    std::string topic;
    std::string payload;
    MQTTClient_message message = MQTTClient_message_initializer;
    bool freed = false;
    bool taken = false;

    void free() {
        std::fill(topic.begin(), topic.end(), 'X');
        std::fill(payload.begin(), payload.end(), 'X');
        freed = true;
    }
};

struct FakeLibrary::Event {
    enum class Kind { Answer, Acknowledgement, Message } kind;
    Handle* handle;
    std::shared_ptr<bool> answered;      // Answer
    MQTTClient_deliveryToken token = 0;  // Acknowledgement
    std::shared_ptr<Delivery> delivery;  // Message
};

FakeLibrary::FakeLibrary() : receivingThread_([this] { receive(); }) {}

FakeLibrary::~FakeLibrary() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        changed_.notify_all();
    }
    receivingThread_.join();
    awaitLossReports();
}

void FakeLibrary::deliver(std::string topic, std::string payload) {
    std::lock_guard lock(mutex_);
    for (auto& handle : handles_ | std::views::reverse) {
        if (handle->connected) {
            auto delivery = std::make_shared<Delivery>(Delivery{handle.get(), std::move(topic), std::move(payload)});
            incoming_.push_back({Event::Kind::Message, handle.get(), nullptr, 0, std::move(delivery)});
            changed_.notify_all();
            return;
        }
    }
    violation("deliver: no handle is connected");
}

void FakeLibrary::dropConnection(Gate* reportGate) {
    std::lock_guard lock(mutex_);
    for (auto& handle : handles_ | std::views::reverse) {
        if (handle->connected) {
            dropLocked(*handle, reportGate);
            return;
        }
    }
    violation("dropConnection: no handle is connected");
}

void FakeLibrary::dropLocked(Handle& handle, Gate* reportGate) {
    handle.connected = false;
    lossThreads_.emplace_back([this, &handle, reportGate] {
        if (reportGate != nullptr) {
            reportGate->wait();
        }
        std::lock_guard lock(mutex_);
        if (handle.destroyed || handle.connectionLost == nullptr) {
            return;
        }
        ++handle.callbacksRunning;
        insideConnectionLost = true;
        handle.connectionLost(handle.context, nullptr);
        insideConnectionLost = false;
        --handle.callbacksRunning;
        changed_.notify_all();
    });
}

template <typename Setting>
void FakeLibrary::script(Setting& setting, Setting value) {
    std::lock_guard lock(mutex_);
    setting = std::move(value);
}

void FakeLibrary::beforeMessageArrived(std::function<void()> hook) { script(beforeMessageArrived_, std::move(hook)); }
void FakeLibrary::afterMessageArrived(std::function<void()> hook) { script(afterMessageArrived_, std::move(hook)); }
void FakeLibrary::onSubscribe(std::function<void()> hook) { script(onSubscribe_, std::move(hook)); }
void FakeLibrary::answerRequests(bool answer) { script(answerRequests_, answer); }
void FakeLibrary::afterConnect(std::function<void()> hook) { script(afterConnect_, std::move(hook)); }
void FakeLibrary::refuseConnections(bool refuse) { script(refuseConnections_, refuse); }
void FakeLibrary::closeRightAfterConnack() { script(closeRightAfterConnack_, true); }
void FakeLibrary::refuseProtocolVersion(int version) { script(refusedVersion_, version); }
void FakeLibrary::acknowledgePublications(bool acknowledge) { script(acknowledgePublications_, acknowledge); }
void FakeLibrary::onReceivingThreadStop(std::function<void()> hook) { script(onReceivingThreadStop_, std::move(hook)); }

void FakeLibrary::timeOutRequests() {
    std::lock_guard lock(mutex_);
    ++requestsTimedOut_;
    changed_.notify_all();
}

void FakeLibrary::awaitLossReports() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads = std::move(lossThreads_);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

bool FakeLibrary::awaitReceived(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return incoming_.empty() && inHand_.empty(); });
}

bool FakeLibrary::awaitInHandFreed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] {
        return std::all_of(inHand_.begin(), inHand_.end(), [](auto& delivery) { return delivery->freed; });
    });
}

std::vector<std::string> FakeLibrary::violations() {
    std::lock_guard lock(mutex_);
    return violations_;
}

bool FakeLibrary::awaitConnects(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connects_ >= count; });
}

bool FakeLibrary::awaitPublications(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return publications_ >= count; });
}

std::vector<unsigned long> FakeLibrary::completionWaits() {
    std::lock_guard lock(mutex_);
    return completionWaits_;
}

int FakeLibrary::handlesCreated() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(handles_.size());
}

int FakeLibrary::handlesDestroyed() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::ranges::count_if(handles_, [](const auto& handle) { return handle->destroyed; }));
}

std::vector<int> FakeLibrary::connectVersions() {
    std::lock_guard lock(mutex_);
    return connectVersions_;
}

void FakeLibrary::violation(std::string what) { violations_.push_back(std::move(what)); }

bool FakeLibrary::calledInsideConnectionLost(const char* call) {
    if (insideConnectionLost) {
        violation(std::string(call) + " from connectionLost, under the library's lock");
    }
    return insideConnectionLost;
}

FakeLibrary::Handle& FakeLibrary::handleOf(MQTTClient handle) { return *static_cast<Handle*>(handle); }

void FakeLibrary::checkUsable(Handle& handle, const char* call) {
    if (handle.destroyed) {
        violation(std::string(call) + " on a destroyed handle");
    }
    if (std::this_thread::get_id() == receivingThreadId_ && std::string_view(call) != "publish" &&
        std::string_view(call) != "isConnected") {
        violation(std::string(call) + " on the receiving thread, which alone could read its answer");
    }
}

// Queues the answer (a request's unless answers are held) and waits for the receiving thread to
// read it; on a time-out the request fails and, as the library's does, ends whatever
// connection its handle has by then.
int FakeLibrary::awaitAnswer(std::unique_lock<std::mutex>& lock, Handle& handle, bool request) {
    auto answered = std::make_shared<bool>(false);
    if (answerRequests_ || !request) {
        incoming_.push_back({Event::Kind::Answer, &handle, answered, 0, nullptr});
        changed_.notify_all();
    }
    const std::uint64_t timedOutBefore = requestsTimedOut_;
    changed_.wait_for(lock, kAnswerTimeout,
                      [&] { return *answered || ending_ || (request && requestsTimedOut_ != timedOutBefore); });
    if (*answered) {
        return MQTTCLIENT_SUCCESS;
    }
    if (request && handle.connected) {
        dropLocked(handle, nullptr);
    }
    return MQTTCLIENT_FAILURE;
}

int FakeLibrary::create(MQTTClient* handle, const char*, const char*) {
    std::lock_guard lock(mutex_);
    handles_.push_back(std::make_unique<Handle>());
    *handle = handles_.back().get();
    return MQTTCLIENT_SUCCESS;
}

int FakeLibrary::setCallbacks(MQTTClient handle, void* context, MQTTClient_connectionLost* connectionLost,
                              MQTTClient_messageArrived* messageArrived,
                              MQTTClient_deliveryComplete* deliveryComplete) {
    std::lock_guard lock(mutex_);
    Handle& h = handleOf(handle);
    h.context = context;
    h.connectionLost = connectionLost;
    h.messageArrived = messageArrived;
    h.deliveryComplete = deliveryComplete;
    return MQTTCLIENT_SUCCESS;
}

int FakeLibrary::connect(MQTTClient handle, MQTTClient_connectOptions* options) {
    if (calledInsideConnectionLost("connect")) {
        return MQTTCLIENT_FAILURE;
    }
    std::unique_lock lock(mutex_);
    Handle& h = handleOf(handle);
    checkUsable(h, "connect");
    ++connects_;
    connectVersions_.push_back(options->MQTTVersion);
    changed_.notify_all();
    if (std::exchange(h.staleConnack, false)) {
        violation("a connect took a stale CONNACK for its answer");
        return MQTTCLIENT_FAILURE;
    }
    if (stoppingReceivingThread_) {
        violation("connect while a disconnect stops the receiving thread");
        return MQTTCLIENT_FAILURE;
    }
    int rc = awaitAnswer(lock, h, false);
    if (rc == MQTTCLIENT_SUCCESS && refuseConnections_) {
        rc = MQTTCLIENT_FAILURE;
    }
    if (rc == MQTTCLIENT_SUCCESS && options->MQTTVersion == refusedVersion_) {
        h.staleConnack = true;
        return 1;
    }
    if (rc == MQTTCLIENT_SUCCESS) {
        h.connected = true;
        h.cleanSession = options->cleansession != 0;
        if (std::exchange(closeRightAfterConnack_, false)) {
            h.staleConnack = true;
            dropLocked(h, nullptr);
            return rc;
        }
        if (auto hook = afterConnect_) {
            lock.unlock();
            hook();
        }
    }
    return rc;
}

int FakeLibrary::disconnect(MQTTClient handle, int) {
    if (calledInsideConnectionLost("disconnect")) {
        return MQTTCLIENT_FAILURE;
    }
    std::unique_lock lock(mutex_);
    Handle& h = handleOf(handle);
    checkUsable(h, "disconnect");
    if (h.cleanSession) {
        std::erase_if(incoming_, [&](Event& event) {
            if (event.kind != Event::Kind::Message || event.handle != &h) {
                return false;
            }
            event.delivery->free();
            return true;
        });
        for (auto& delivery : inHand_) {
            if (delivery->handle == &h) {
                delivery->free();
            }
        }
        if (h.notTaken) {
            std::exchange(h.notTaken, nullptr)->free();
        }
        changed_.notify_all();
    }
    h.connected = false;
    // With no handle connected any more, the library stops its receiving thread and
    // waits (up to 10 s) for it to end, which it does once out of its callbacks.
    if (std::none_of(handles_.begin(), handles_.end(), [](auto& other) { return other->connected; })) {
        stoppingReceivingThread_ = true;
        if (auto hook = onReceivingThreadStop_) {
            lock.unlock();
            hook();
            lock.lock();
        }
        changed_.wait_for(lock, kAnswerTimeout, [this] {
            return std::all_of(handles_.begin(), handles_.end(),
                               [](auto& other) { return other->callbacksRunning == 0; });
        });
        stoppingReceivingThread_ = false;
    }
    return MQTTCLIENT_SUCCESS;
}

bool FakeLibrary::isConnected(MQTTClient handle) {
    if (calledInsideConnectionLost("isConnected")) {
        return false;
    }
    std::lock_guard lock(mutex_);
    Handle& h = handleOf(handle);
    checkUsable(h, "isConnected");
    return h.connected;
}

int FakeLibrary::subscribe(MQTTClient handle, const char*, int) { return request(handle, "subscribe"); }

int FakeLibrary::unsubscribe(MQTTClient handle, const char*) { return request(handle, "unsubscribe"); }

int FakeLibrary::request(MQTTClient handle, const char* call) {
    if (calledInsideConnectionLost(call)) {
        return MQTTCLIENT_FAILURE;
    }
    std::unique_lock lock(mutex_);
    Handle& h = handleOf(handle);
    checkUsable(h, call);
    if (!h.connected) {
        return MQTTCLIENT_DISCONNECTED;
    }
    if (onSubscribe_ && std::string_view(call) == "subscribe") {
        auto hook = onSubscribe_;
        lock.unlock();
        hook();
        lock.lock();
    }
    const int rc = awaitAnswer(lock, h, true);
    return rc;
}

int FakeLibrary::publish(MQTTClient handle, const char*, MQTTClient_message* message, MQTTClient_deliveryToken* token) {
    if (calledInsideConnectionLost("publish")) {
        return MQTTCLIENT_FAILURE;
    }
    std::lock_guard lock(mutex_);
    Handle& h = handleOf(handle);
    checkUsable(h, "publish");
    if (!h.connected) {
        return MQTTCLIENT_DISCONNECTED;
    }
    *token = nextToken_++;
    ++publications_;
    if (message->qos > 0) {
        h.unacknowledged.push_back(*token);
        if (acknowledgePublications_) {
            incoming_.push_back({Event::Kind::Acknowledgement, &h, nullptr, *token, nullptr});
        }
    }
    changed_.notify_all();
    return MQTTCLIENT_SUCCESS;
}

// As the library's: done once the publication is acknowledged, at once when the handle
// is not connected, else failed when the time-out passes.
int FakeLibrary::waitForCompletion(MQTTClient handle, MQTTClient_deliveryToken token, unsigned long timeoutMs) {
    std::unique_lock lock(mutex_);
    completionWaits_.push_back(timeoutMs);
    Handle& h = handleOf(handle);
    checkUsable(h, "waitForCompletion");
    auto acknowledged = [&] { return std::ranges::find(h.unacknowledged, token) == h.unacknowledged.end(); };
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return acknowledged() || !h.connected; });
    return acknowledged() ? MQTTCLIENT_SUCCESS : !h.connected ? MQTTCLIENT_DISCONNECTED : MQTTCLIENT_FAILURE;
}

bool FakeLibrary::hasPendingDeliveries(MQTTClient handle) {
    std::lock_guard lock(mutex_);
    Handle& h = handleOf(handle);
    checkUsable(h, "hasPendingDeliveries");
    return !h.unacknowledged.empty();
}

void FakeLibrary::destroy(MQTTClient handle) {
    std::lock_guard lock(mutex_);
    Handle& h = handleOf(handle);
    if (h.callbacksRunning > 0) {
        violation("destroy while a callback of the handle runs");
    }
    h.destroyed = true;
    changed_.notify_all();
}

void FakeLibrary::freeMessage(MQTTClient_message* message, char*) {
    std::lock_guard lock(mutex_);
    for (auto& delivery : inHand_) {
        if (&delivery->message == message) {
            if (delivery->freed) {
                violation("a message the library freed was taken");
            }
            delivery->taken = true;
        }
    }
}

void FakeLibrary::receive() {
    std::unique_lock lock(mutex_);
    receivingThreadId_ = std::this_thread::get_id();
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || !incoming_.empty(); });
        if (ending_) {
            return;
        }
        Event event = std::move(incoming_.front());
        incoming_.pop_front();
        Handle& h = *event.handle;
        if (event.kind == Event::Kind::Answer) {
            *event.answered = true;
            changed_.notify_all();
            continue;
        }
        if (h.destroyed || !h.connected) {
            continue;
        }
        if (h.notTaken) {
            incoming_.push_front(std::move(event));
            event = {Event::Kind::Message, &h, nullptr, 0, std::exchange(h.notTaken, nullptr)};
        }
        ++h.callbacksRunning;
        if (event.kind == Event::Kind::Acknowledgement) {
            std::erase(h.unacknowledged, event.token);
            lock.unlock();
            h.deliveryComplete(h.context, event.token);
            lock.lock();
            --h.callbacksRunning;
            changed_.notify_all();
            continue;
        }
        // The message stays the library's (freed by a clean disconnect) while in hand.
        const std::shared_ptr<Delivery> delivery = event.delivery;
        inHand_.push_back(delivery);
        delivery->message.payload = delivery->payload.data();
        delivery->message.payloadlen = static_cast<int>(delivery->payload.size());
        auto before = beforeMessageArrived_;
        auto after = afterMessageArrived_;
        lock.unlock();
        if (before) {
            before();
        }
        const int taken = h.messageArrived(h.context, delivery->topic.data(), 0, &delivery->message);
        if (after) {
            after();
        }
        lock.lock();
        if (h.destroyed) {
            violation("the receiving thread went back to a handle destroyed under it");
        }
        --h.callbacksRunning;
        std::erase(inHand_, delivery);
        changed_.notify_all();
        if (taken == 0 && !delivery->freed) {
            h.notTaken = delivery;
        }
    }
}

}  // namespace tarvo::testing
