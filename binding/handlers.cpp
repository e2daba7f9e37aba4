#include "handlers.hpp"

#include "interpreter_lock.hpp"
#include "interruptible.hpp"

#include <pybind11/functional.h>

namespace py = pybind11;

namespace tarvo::binding {

namespace {

// One strong reference to a Python callable, dropped under the interpreter lock by
// whichever thread releases the last handler that holds it.
class CallableReference {
public:
    explicit CallableReference(py::handle callable) : callable_(callable.inc_ref().ptr()) {}
    ~CallableReference() {
        InterpreterLock lock;
        Py_DECREF(callable_);
    }
    CallableReference(const CallableReference&) = delete;
    CallableReference& operator=(const CallableReference&) = delete;

    // Calls with the lock held; a Python exception leaves as py::error_already_set.
    void call(PyObject* first, PyObject* second) const {
        py::object firstArg = py::reinterpret_steal<py::object>(first);
        py::object secondArg = py::reinterpret_steal<py::object>(second);
        if (!firstArg || !secondArg) {
            throw py::error_already_set();
        }
        PyObject* args[] = {firstArg.ptr(), secondArg.ptr()};
        py::object result = py::reinterpret_steal<py::object>(PyObject_Vectorcall(callable_, args, 2, nullptr));
        if (!result) {
            throw py::error_already_set();
        }
    }

private:
    PyObject* callable_;
};

// Text that is not valid UTF-8 is decoded with surrogateescape, so binary payloads
// arrive instead of failing, and encode('utf-8', 'surrogateescape') gives the bytes back.
PyObject* decode(std::string_view bytes) {
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
}

struct PythonMessageHandler {
    std::shared_ptr<const CallableReference> callable;
    void operator()(std::string_view topic, std::string_view payload) const {
        InterpreterLock lock;
        callable->call(decode(topic), decode(payload));
    }
};

// An event of a call made on the signal-handling thread is delivered on that thread,
// though the call itself ran on a worker (see interruptible.hpp).
struct PythonConnectionHandler {
    std::shared_ptr<const CallableReference> callable;
    void operator()(bool connected, int code) const {
        onCallingThread([&] {
            InterpreterLock lock;
            callable->call(PyBool_FromLong(connected ? 1 : 0), PyLong_FromLong(code));
        });
    }
};

// None gives no handler; a function made by pybind11 with exactly the handler's C++
// signature is called directly, without the interpreter; any other callable is wrapped.
template <typename Handler, typename PythonHandler, typename FunctionPointer>
bool loadHandler(py::handle source, bool convert, Handler& handler) {
    if (source.is_none()) {
        handler = nullptr;
        return true;
    }
    if (!PyCallable_Check(source.ptr())) {
        return false;
    }
    py::detail::make_caster<Handler> functionCaster;
    if (functionCaster.load(source, convert)) {
        auto& loaded = py::detail::cast_op<Handler&>(functionCaster);
        if (const FunctionPointer* function = loaded.template target<FunctionPointer>()) {
            handler = *function;
            return true;
        }
    }
    handler = PythonHandler{std::make_shared<const CallableReference>(source)};
    return true;
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

bool type_caster<tarvo::binding::MessageHandlerArg>::load(handle source, bool convert) {
    return tarvo::binding::loadHandler<tarvo::SDK::MessageHandler, tarvo::binding::PythonMessageHandler,
                                       void (*)(std::string_view, std::string_view)>(source, convert, value.handler);
}

bool type_caster<tarvo::binding::ConnectionHandlerArg>::load(handle source, bool convert) {
    return tarvo::binding::loadHandler<tarvo::SDK::ConnectionHandler, tarvo::binding::PythonConnectionHandler,
                                       void (*)(bool, int)>(source, convert, value.handler);
}

}  // namespace pybind11::detail
