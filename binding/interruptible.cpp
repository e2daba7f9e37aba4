#include "interruptible.hpp"

#include "handlers.hpp"

#include <atomic>
#include <chrono>

namespace tarvo::binding {

namespace {

// Python runs signal handlers on its main thread only: threading.main_thread(), which a
// fork from another thread changes.
std::atomic<unsigned long> mainThreadIdent{0};

thread_local HandedCall* handedCallOfThisThread = nullptr;

constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

}  // namespace

void noteMainThread() {
    mainThreadIdent = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

bool onSignalHandlingThread() { return mainThreadIdent.load() == PyThread_get_thread_ident(); }

bool signalHandlerRaised() {
    if (!onSignalHandlingThread()) {
        return false;
    }
    py::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0;
}

void setHandedCallOfThisThread(HandedCall* call) { handedCallOfThisThread = call; }

void onCallingThread(const std::function<void()>& call) {
    if (handedCallOfThisThread != nullptr) {
        handedCallOfThisThread->runOnCaller(call);
    } else {
        call();
    }
}

bool HandedCall::awaitOnCaller(BoundSDK& sdk) {
    py::gil_scoped_release release;
    UniqueLock lock(mutex_);
    for (;;) {
        if (phase_ == Phase::Done) {
            return true;
        }
        if (handBack_ != nullptr && !handBack_->ran) {
            HandBack* const handBack = handBack_;  // the worker's, which waits until it ran
            lock.unlock();
            std::exception_ptr failure = runHandBack(*handBack);
            lock.lock();
            handBack->failure = failure;
            handBack->ran = true;
            changed_.notify_all();
            continue;
        }
        if (lock.wait_for(changed_, kSignalCheckInterval) == std::cv_status::no_timeout) {
            continue;
        }
        lock.unlock();
        const bool raised = [] {
            py::gil_scoped_acquire acquire;
            return PyErr_CheckSignals() != 0;
        }();
        lock.lock();
        if (raised) {
            if (phase_ == Phase::Running) {
                phase_ = Phase::Abandoned;
                sdk.abandonedCalls.add();
                changed_.notify_all();
            }
            return phase_ == Phase::Done;
        }
    }
}

// The handler runs here on the worker's behalf: calls back into its object are refused
// here as they would be there. The worker waits meanwhile, and leaves handBack as it is.
std::exception_ptr HandedCall::runHandBack(const HandBack& handBack) {
    auto& owners = handlerOwnersOnThisThread();
    const std::size_t ownersBefore = owners.size();
    owners.insert(owners.end(), handBack.owners.begin(), handBack.owners.end());
    std::exception_ptr failure;
    try {
        handBack.call();  // takes the interpreter lock itself
    } catch (...) {
        failure = std::current_exception();
    }
    owners.resize(ownersBefore);
    return failure;
}

bool HandedCall::finish(std::exception_ptr failure) {
    LockGuard lock(mutex_);
    failure_ = failure;
    const bool abandoned = phase_ == Phase::Abandoned;
    phase_ = Phase::Done;
    changed_.notify_all();
    return abandoned;
}

void HandedCall::runOnCaller(const std::function<void()>& call) {
    {
        UniqueLock lock(mutex_);
        if (phase_ == Phase::Running) {
            HandBack handBack{call, handlerOwnersOnThisThread(), false, nullptr};
            handBack_ = &handBack;
            changed_.notify_all();
            lock.wait(changed_, [&]() TARVO_REQUIRES(mutex_) { return handBack.ran || phase_ == Phase::Abandoned; });
            handBack_ = nullptr;
            if (handBack.ran) {
                if (handBack.failure) {
                    std::rethrow_exception(handBack.failure);
                }
                return;
            }
        }
    }
    call();
}

void endAbandonedCall(BoundSDK& sdk, PyObject* self, std::exception_ptr failure) {
    if (sdk.abandonedCalls.endOne()) {
        try {
            if (sdk.isRunning()) {  // unless the abandoned call was that stop
                sdk.stop();
            }
        } catch (...) {
            failure = std::current_exception();
        }
        sdk.abandonedCalls.stopDone();
    }
    // During finalization a thread that asks for the interpreter lock hangs for ever:
    // the reference is left to the process's end.
    if (Py_IsFinalizing()) {
        return;
    }
    py::gil_scoped_acquire acquire;
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            reportToUnraisableHook("an interrupted call");
        }
    }
    Py_DECREF(self);
}

}  // namespace tarvo::binding
