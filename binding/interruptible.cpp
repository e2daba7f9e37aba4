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
    std::unique_lock lock(mutex_);
    for (;;) {
        if (done_) {
            return true;
        }
        if (handedBack_ != nullptr && !handedBackDone_) {
            const std::function<void()>& call = *handedBack_;
            // The handler runs here on the worker's behalf: calls back into its object
            // are refused here as they would be there.
            auto& owners = handlerOwnersOnThisThread();
            const std::size_t ownersBefore = owners.size();
            owners.insert(owners.end(), handedBackOwners_.begin(), handedBackOwners_.end());
            lock.unlock();
            std::exception_ptr failure;
            try {
                call();  // takes the interpreter lock itself
            } catch (...) {
                failure = std::current_exception();
            }
            owners.resize(ownersBefore);
            lock.lock();
            handedBackFailure_ = failure;
            handedBackDone_ = true;
            changed_.notify_all();
            continue;
        }
        if (changed_.wait_for(lock, kSignalCheckInterval) == std::cv_status::no_timeout) {
            continue;
        }
        lock.unlock();
        const bool raised = [] {
            py::gil_scoped_acquire acquire;
            return PyErr_CheckSignals() != 0;
        }();
        lock.lock();
        if (raised) {
            if (!done_) {
                abandoned_ = true;
                sdk.callAbandoned();
                changed_.notify_all();
            }
            return done_;
        }
    }
}

bool HandedCall::finish(std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    failure_ = failure;
    done_ = true;
    changed_.notify_all();
    return abandoned_;
}

void HandedCall::runOnCaller(const std::function<void()>& call) {
    {
        std::unique_lock lock(mutex_);
        if (!abandoned_) {
            handedBack_ = &call;
            handedBackOwners_ = handlerOwnersOnThisThread();
            handedBackDone_ = false;
            changed_.notify_all();
            changed_.wait(lock, [&] { return handedBackDone_ || abandoned_; });
            const bool ranThere = handedBackDone_;
            handedBack_ = nullptr;
            handedBackDone_ = false;
            if (ranThere) {
                if (auto failure = std::exchange(handedBackFailure_, nullptr)) {
                    std::rethrow_exception(failure);
                }
                return;
            }
        }
    }
    call();
}

void endAbandonedCall(BoundSDK& sdk, PyObject* self, std::exception_ptr failure) {
    if (sdk.abandonedCallEnded()) {
        try {
            if (sdk.isRunning()) {  // unless the abandoned call was that stop
                sdk.stop();
            }
        } catch (...) {
            failure = std::current_exception();
        }
        sdk.deferredStopDone();
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
