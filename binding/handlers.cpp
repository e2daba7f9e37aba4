#include "handlers.hpp"

#include "interruptible.hpp"

#include <pybind11/functional.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace py = pybind11;

namespace tarvo::binding {

namespace {

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

// The message flags a handler may take, as keyword arguments of these names.
enum class Flag { Retained, Qos, Dup };
constexpr std::pair<Flag, const char*> kFlagNames[] = {{Flag::Retained, "retained"},
                                                       {Flag::Qos, "qos"},
                                                       {Flag::Dup, "dup"}};
constexpr std::size_t kMaxArguments = 2 + std::size(kFlagNames);

// One strong reference to a Python callable, with the names of the keyword arguments it is
// called with (if any), dropped under the interpreter lock by whichever thread releases
// the last handler that holds it.
class CallableReference {
public:
    explicit CallableReference(py::handle callable, py::tuple keywordNames = py::tuple())
        : callable_(callable.inc_ref().ptr()),
          keywordNames_(keywordNames.empty() ? nullptr : keywordNames.release().ptr()) {}
    ~CallableReference() {
        InterpreterLock lock;
        Py_DECREF(callable_);
        Py_XDECREF(keywordNames_);
    }
    CallableReference(const CallableReference&) = delete;
    CallableReference& operator=(const CallableReference&) = delete;

    // Calls with the lock held, with the first `count` of args: new references, stolen,
    // null for one whose conversion failed; the positional arguments, then the values of
    // the keyword arguments. A Python exception leaves as py::error_already_set.
    template <std::size_t Capacity>
    void call(const std::array<PyObject*, Capacity>& args, std::size_t count = Capacity) const {
        std::array<py::object, Capacity> owned;
        for (std::size_t i = 0; i < count; ++i) {
            owned[i] = py::reinterpret_steal<py::object>(args[i]);
        }
        if (std::any_of(args.begin(), args.begin() + count, [](PyObject* arg) { return arg == nullptr; })) {
            throw py::error_already_set();
        }
        const std::size_t keywords = keywordNames_ != nullptr ? PyTuple_GET_SIZE(keywordNames_) : 0;
        py::object result = py::reinterpret_steal<py::object>(PyObject_Vectorcall(callable_, args.data(),
                                                                                  count - keywords, keywordNames_));
        if (!result) {
            throw py::error_already_set();
        }
    }

private:
    PyObject* callable_;
    PyObject* keywordNames_;
};

// Text that is not valid UTF-8 is decoded with surrogateescape, so binary payloads
// arrive instead of failing, and encode('utf-8', 'surrogateescape') gives the bytes back.
PyObject* decode(std::string_view bytes) {
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
}

PyObject* flagValue(Flag flag, SDK::MessageFlags flags) {
    switch (flag) {
    case Flag::Retained:
        return PyBool_FromLong(flags.retained ? 1 : 0);
    case Flag::Qos:
        return PyLong_FromLong(flags.qos);
    case Flag::Dup:
        return PyBool_FromLong(flags.duplicate ? 1 : 0);
    }
    return nullptr;
}

// Called as handler(topic, payload).
struct PythonMessageHandler {
    std::shared_ptr<const CallableReference> callable;
    void operator()(std::string_view topic, std::string_view payload, SDK::MessageFlags /*flags*/) const {
        InterpreterLock lock;
        callable->call(std::array{decode(topic), decode(payload)});
    }
};

// Called as handler(topic, payload) with each flag in `taken` after them, by keyword.
struct PythonMessageHandlerWithFlags {
    std::shared_ptr<const CallableReference> callable;
    std::vector<Flag> taken;
    void operator()(std::string_view topic, std::string_view payload, SDK::MessageFlags flags) const {
        InterpreterLock lock;
        std::array<PyObject*, kMaxArguments> args{decode(topic), decode(payload)};
        for (std::size_t i = 0; i < taken.size(); ++i) {
            args[2 + i] = flagValue(taken[i], flags);
        }
        callable->call(args, 2 + taken.size());
    }
};

// An event of a call made on the signal-handling thread is delivered on that thread,
// though the call itself ran on a worker (see interruptible.hpp).
struct PythonConnectionHandler {
    std::shared_ptr<const CallableReference> callable;
    void operator()(bool connected, int code) const {
        onCallingThread([&] {
            InterpreterLock lock;
            callable->call(std::array{PyBool_FromLong(connected ? 1 : 0), PyLong_FromLong(code)});
        });
    }
};

// The flags a message handler takes, decided once, here, so that a message costs a
// two-argument handler nothing more. The rule: each of the names retained, qos and dup
// that the callable's signature has as a parameter that can be given by keyword, other
// than the two that topic and payload fill by position. A callable whose signature
// Python cannot tell (some built-ins) takes none; **kwargs alone takes none, so that a
// handler written for (topic, payload) is called exactly as before.
std::vector<Flag> flagsTaken(py::handle callable) {
    py::module_ inspect = py::module_::import("inspect");
    py::object signature;
    try {
        signature = inspect.attr("signature")(callable);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) {
            throw;
        }
        return {};
    }
    const py::object kinds = inspect.attr("Parameter");
    const py::object positionalOnly = kinds.attr("POSITIONAL_ONLY");
    const py::object positionalOrKeyword = kinds.attr("POSITIONAL_OR_KEYWORD");
    const py::object keywordOnly = kinds.attr("KEYWORD_ONLY");
    int positionalToFill = 2;
    std::vector<Flag> taken;
    for (py::handle parameter : signature.attr("parameters").attr("values")()) {
        const py::object kind = parameter.attr("kind");
        if (positionalToFill > 0 && (kind.is(positionalOnly) || kind.is(positionalOrKeyword))) {
            --positionalToFill;
            continue;
        }
        if (kind.is(kinds.attr("VAR_POSITIONAL"))) {
            positionalToFill = 0;
            continue;
        }
        if (!kind.is(positionalOrKeyword) && !kind.is(keywordOnly)) {
            continue;
        }
        const std::string name = parameter.attr("name").cast<std::string>();
        for (const auto& [flag, flagName] : kFlagNames) {
            if (name == flagName) {
                taken.push_back(flag);
            }
        }
    }
    return taken;
}

py::tuple keywordNames(const std::vector<Flag>& taken) {
    py::tuple names(taken.size());
    for (std::size_t i = 0; i < taken.size(); ++i) {
        names[i] = py::str(kFlagNames[static_cast<std::size_t>(taken[i])].second);
    }
    return names;
}

// A function made by pybind11 with exactly the C++ signature Signature, which can be
// called directly, without the interpreter; null for any other callable.
template <typename Signature>
Signature* compiledFunction(py::handle source, bool convert) {
    py::detail::make_caster<std::function<Signature>> functionCaster;
    if (!functionCaster.load(source, convert)) {
        return nullptr;
    }
    auto& loaded = py::detail::cast_op<std::function<Signature>&>(functionCaster);
    Signature* const* function = loaded.template target<Signature*>();
    return function != nullptr ? *function : nullptr;
}

}  // namespace

void reportToUnraisableHook(std::string_view event) {
    InterpreterLock lock;
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable(std::string(event).c_str());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(py::str(std::string(event)).ptr());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
        PyErr_WriteUnraisable(py::str(std::string(event)).ptr());
    }
}

}  // namespace tarvo::binding

namespace pybind11::detail {

// None gives no handler; a function made by pybind11 with exactly the handler's C++
// signature is called directly, without the interpreter; any other callable is wrapped.
bool type_caster<tarvo::binding::MessageHandlerArg>::load(handle source, bool convert) {
    namespace binding = tarvo::binding;
    if (source.is_none() || !PyCallable_Check(source.ptr())) {
        value.handler = nullptr;
        return source.is_none();
    }
    using Compiled = void(std::string_view, std::string_view);
    if (Compiled* function = binding::compiledFunction<Compiled>(source, convert)) {
        value.handler = [function](std::string_view topic, std::string_view payload, tarvo::SDK::MessageFlags) {
            function(topic, payload);
        };
        return true;
    }
    std::vector<binding::Flag> taken = binding::flagsTaken(source);
    if (taken.empty()) {
        value.handler = binding::PythonMessageHandler{std::make_shared<const binding::CallableReference>(source)};
    } else {
        value.handler = binding::PythonMessageHandlerWithFlags{
            std::make_shared<const binding::CallableReference>(source, binding::keywordNames(taken)), std::move(taken)};
    }
    return true;
}

bool type_caster<tarvo::binding::ConnectionHandlerArg>::load(handle source, bool convert) {
    namespace binding = tarvo::binding;
    if (source.is_none() || !PyCallable_Check(source.ptr())) {
        value.handler = nullptr;
        return source.is_none();
    }
    if (auto* function = binding::compiledFunction<void(bool, int)>(source, convert)) {
        value.handler = function;
        return true;
    }
    value.handler = binding::PythonConnectionHandler{std::make_shared<const binding::CallableReference>(source)};
    return true;
}

}  // namespace pybind11::detail
