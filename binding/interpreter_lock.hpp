// Taking the Python interpreter lock on any thread, Python's own or not.
#pragma once

#include <Python.h>

namespace tarvo::binding {

// The library's receiving thread and the reconnect thread are not Python threads. Each
// gets one interpreter thread state the first time it calls Python, kept for as long as
// the thread lives: making and deleting one per call would cost as much as the call.
class KeptThreadState {
public:
    void ensure() {
        if (state_ == nullptr && PyGILState_GetThisThreadState() == nullptr) {
            state_ = PyThreadState_New(PyInterpreterState_Main());
        }
    }
    ~KeptThreadState() {
        // During or after finalization the interpreter owns (or has freed) its thread
        // states, and taking the lock then would block this thread for ever.
        if (state_ == nullptr || !Py_IsInitialized() || Py_IsFinalizing()) {
            return;
        }
        PyEval_RestoreThread(state_);
        PyThreadState_Clear(state_);
        PyThreadState_DeleteCurrent();
    }

private:
    PyThreadState* state_ = nullptr;
};

// Holds the interpreter lock on any thread, Python's own or not.
class InterpreterLock {
public:
    InterpreterLock() {
        thread_local KeptThreadState keptState;
        keptState.ensure();
        state_ = PyGILState_Ensure();
    }
    ~InterpreterLock() { PyGILState_Release(state_); }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace tarvo::binding
