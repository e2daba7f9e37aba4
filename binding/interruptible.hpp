// Waiting calls that Python's signal handlers can interrupt (Ctrl-C).
#pragma once

#include "handler_slot.hpp"
#include "live_clients.hpp"
#include "thread_safety.hpp"

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace tarvo::binding {

namespace py = pybind11;

// True on the thread where Python runs its signal handlers. noteMainThread() learns
// which that is, at import and in a forked child.
bool onSignalHandlingThread();
void noteMainThread();

// For the core's own waits: runs the signal handlers that are due, on the thread that
// handles signals; true when one raised (its exception is then set, to propagate).
bool signalHandlerRaised();

// Runs a connection handler's call on the thread whose call delivers the event: the
// waiting caller, when the event comes from a call it handed to a worker (below).
void onCallingThread(const std::function<void()>& call);

// One call handed from the signal-handling thread to a worker. The caller waits for it in
// short slices, running Python's signal handlers between them and the connection
// handler calls the worker hands back; an interrupt abandons the call to the worker.
class HandedCall {
public:
    // On the caller, with the interpreter lock held: waits until the call is done (true)
    // or a signal handler raised (false; its exception is set and the call abandoned).
    bool awaitOnCaller(BoundSDK& sdk) TARVO_EXCLUDES(mutex_);
    // On the worker: the call ended; true when it was abandoned meanwhile.
    bool finish(std::exception_ptr failure) TARVO_EXCLUDES(mutex_);
    std::exception_ptr failure() TARVO_EXCLUDES(mutex_) {
        LockGuard lock(mutex_);
        return failure_;
    }
    // On the worker: runs call on the waiting caller, or here once it left.
    void runOnCaller(const std::function<void()>& call) TARVO_EXCLUDES(mutex_);

private:
    enum class Phase { Running, Done, Abandoned };
    // A connection handler's call handed back by the worker, and how it ended.
    struct HandBack {
        const std::function<void()>& call;
        std::vector<const void*> owners;  // the handlers the worker is inside
        bool ran = false;
        std::exception_ptr failure;
    };
    static std::exception_ptr runHandBack(const HandBack& handBack);

    // Taken before the object's AbandonedCalls lock, and with no other held.
    Mutex mutex_;
    std::condition_variable changed_;
    Phase phase_ TARVO_GUARDED_BY(mutex_) = Phase::Running;
    std::exception_ptr failure_ TARVO_GUARDED_BY(mutex_);
    HandBack* handBack_ TARVO_GUARDED_BY(mutex_) TARVO_PT_GUARDED_BY(mutex_) = nullptr;  // the worker's, while it waits
};

// Marks the worker thread of a handed call, for onCallingThread.
void setHandedCallOfThisThread(HandedCall* call);

// Ends a call abandoned to the background: a stop deferred to it, then its failure, if
// any, through sys.unraisablehook; drops the reference to its object.
void endAbandonedCall(BoundSDK& sdk, PyObject* self, std::exception_ptr failure);

// The library's waits (for a CONNACK, a SUBACK, a disconnect) cannot be cut short. On
// the signal-handling thread such a call therefore runs on a thread of its own while the
// caller waits (see HandedCall): an exception a signal handler raises (KeyboardInterrupt)
// propagates at once, and the call goes on in the background to its own end, as if made
// from another thread. The object is kept alive until then, and a failure of the
// abandoned call goes to sys.unraisablehook. On any other thread the call just runs,
// with the interpreter lock released.
template <typename Call>
auto callInterruptibly(BoundSDK& sdk, Call call) -> std::invoke_result_t<Call> {
    using Result = std::invoke_result_t<Call>;
    if (!onSignalHandlingThread()) {
        py::gil_scoped_release release;
        return call();
    }
    auto handed = std::make_shared<HandedCall>();
    auto result = std::make_shared<std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>>>();
    PyObject* self = py::cast(&sdk, py::return_value_policy::reference).release().ptr();
    // The worker acts for the caller: inside a handler, it is inside that handler too.
    std::thread worker([handed, result, call = std::move(call), &sdk, self,
                        owners = handlerOwnersOnThisThread()]() mutable {
        handlerOwnersOnThisThread() = std::move(owners);
        setHandedCallOfThisThread(handed.get());
        std::exception_ptr failure;
        try {
            if constexpr (std::is_void_v<Result>) {
                call();
            } else {
                *result = call();
            }
        } catch (...) {
            failure = std::current_exception();
        }
        setHandedCallOfThisThread(nullptr);
        if (handed->finish(failure)) {
            endAbandonedCall(sdk, self, failure);
        }
    });
    const bool done = handed->awaitOnCaller(sdk);
    {
        // A thread that called a handler takes the interpreter lock once more as it
        // ends, to let go of its thread state.
        py::gil_scoped_release release;
        if (done) {
            worker.join();
        } else {
            worker.detach();
        }
    }
    if (!done) {
        throw py::error_already_set();
    }
    Py_DECREF(self);
    if (handed->failure()) {
        std::rethrow_exception(handed->failure());
    }
    if constexpr (!std::is_void_v<Result>) {
        return *std::move(*result);
    }
}

}  // namespace tarvo::binding
