// The tarvo_sdk extension module: class SDK and its methods.
#include "console_logger.hpp"
#include "docstrings.hpp"
#include "handlers.hpp"
#include "interruptible.hpp"
#include "live_clients.hpp"
#include "payload.hpp"
#include "sdk.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
using tarvo::SDK;
using tarvo::binding::ConnectionHandlerArg;
using tarvo::binding::MessageHandlerArg;
using tarvo::binding::Payload;
using tarvo::binding::BoundSDK;

// Every method that can wait (for the broker, for a lock, for a thread) runs with the
// interpreter lock released, so handlers on other threads, which take the lock inside
// the call, can always finish; and a Python signal handler can interrupt its wait (see
// interruptible.hpp). Arguments are converted before, and copied: an interrupted call
// goes on after its caller has returned.
template <typename Return, typename... Args>
auto interruptible(Return (SDK::*method)(Args...)) {
    return [method](BoundSDK& sdk, Args... args) -> Return {
        return tarvo::binding::callInterruptibly(sdk, [method, &sdk, ... args = std::decay_t<Args>(args)]() mutable {
            return (sdk.*method)(std::move(args)...);
        });
    };
}

// init, interruptible; a new configuration supersedes a stop deferred to an
// interrupted call (init ends the earlier client itself). The library offers no setting
// for pingTimeout (it gives up on a ping after 1.5 x keepAlive) and always delivers
// messages one at a time in order, so pingTimeout and orderMatters are accepted and not
// used.
void initInterruptibly(BoundSDK& sdk, const std::string& clientId, const std::string& brokerHost,
                       const std::string& protocol, const std::string& username, const std::string& password,
                       bool cleanSession, bool resumeSubs, bool connectRetry, bool autoReconnect,
                       int connectRetryInterval, int maxReconnectInterval, int keepAlive, int /*pingTimeout*/,
                       int writeTimeout, bool /*orderMatters*/, int connectTimeout, const std::string& edition) {
    sdk.abandonedCalls.stopDone();
    const auto init = interruptible(&SDK::init);
    init(sdk, SDK::Options{.clientId = clientId,
                           .brokerHost = brokerHost,
                           .protocol = protocol,
                           .username = username,
                           .password = password,
                           .cleanSession = cleanSession,
                           .resumeSubs = resumeSubs,
                           .connectRetry = connectRetry,
                           .autoReconnect = autoReconnect,
                           .connectRetryInterval = connectRetryInterval,
                           .maxReconnectInterval = maxReconnectInterval,
                           .keepAlive = keepAlive,
                           .writeTimeout = writeTimeout,
                           .connectTimeout = connectTimeout,
                           .edition = edition});
}

// tls_set's paths: str, bytes or any os.PathLike, or None (not given).
std::string optionalPath(const py::object& path) {
    if (path.is_none()) {
        return "";
    }
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

void tlsSet(BoundSDK& sdk, const py::object& caCerts, const py::object& certFile, const py::object& keyFile,
            const std::optional<std::string>& keyPassword) {
    tarvo::TlsFiles files{.caCerts = optionalPath(caCerts),
                          .certFile = optionalPath(certFile),
                          .keyFile = optionalPath(keyFile),
                          .keyPassword = keyPassword.value_or("")};
    py::gil_scoped_release release;  // reads the files
    sdk.tls_set(std::move(files));
}

void willSet(BoundSDK& sdk, const std::string& topic, const std::optional<std::string>& payload, int qos, bool retain) {
    sdk.will_set(tarvo::WillMessage{.topic = topic, .payload = payload.value_or(""), .qos = qos, .retained = retain});
}

// After a stop deferred to an interrupted call (see "stop" below) the object behaves as
// stopped: each call answers as it would then, with its line and result.
template <typename Call, typename Result>
auto unlessStopDeferred(Call call, SDK::Operation operation, Result refusal) {
    return [call, operation, refusal](BoundSDK& sdk, auto... args) {
        if (sdk.abandonedCalls.stopDeferred()) {
            py::gil_scoped_release release;
            sdk.sayUnavailable(operation);
            return refusal;
        }
        return call(sdk, std::move(args)...);
    };
}

template <typename Call>
auto unlessStopDeferred(Call call, SDK::Operation operation) {
    return [call, operation](BoundSDK& sdk, auto... args) {
        if (sdk.abandonedCalls.stopDeferred()) {
            py::gil_scoped_release release;
            sdk.sayUnavailable(operation);
            return;
        }
        call(sdk, std::move(args)...);
    };
}

// enable_logger's logger: None takes the module's own.
void enableLogger(BoundSDK& sdk, py::object logger) {
    if (logger.is_none()) {
        logger = py::module_::import("logging").attr("getLogger")("tarvo_sdk");
    }
    if (!py::hasattr(logger, "log") || !PyCallable_Check(logger.attr("log").ptr())) {
        throw py::type_error("enable_logger() takes a logging.Logger, or an object with its log(level, msg) method");
    }
    sdk.consoleLogger->set(std::move(logger));
}

PYBIND11_MODULE(tarvo_sdk, module) {
    namespace doc = tarvo::binding::doc;
    using Operation = SDK::Operation;
    // resumeSubs and connectRetry were once accepted and ignored, and programs rely on
    // what that meant: subscriptions renewed by their own connection handler (renewed by
    // the module as well, each retained message would arrive twice) and a failed connect
    // that leaves nothing running. Both are therefore asked for, not given by default.
    py::class_<BoundSDK>(module, "SDK", doc::kClass, py::release_gil_before_calling_cpp_dtor())
        .def(py::init<>(), doc::kConstructor)
        .def("init", &initInterruptibly, doc::kInit, py::arg("clientId"), py::arg("brokerHost"), py::arg("protocol"),
             py::arg("username"), py::arg("password"), py::arg("cleanSession") = false, py::arg("resumeSubs") = false,
             py::arg("connectRetry") = false, py::arg("autoReconnect") = true, py::arg("connectRetryInterval") = 5,
             py::arg("maxReconnectInterval") = 1, py::arg("keepAlive") = 30, py::arg("pingTimeout") = 10,
             py::arg("writeTimeout") = 10, py::arg("orderMatters") = false, py::arg("connectTimeout") = 30,
             py::arg("edition") = "Community")
        .def(
            "connect",
            [](BoundSDK& sdk) {
                return unlessStopDeferred(interruptible(&SDK::connect), Operation::Connect, false)(sdk);
            },
            doc::kConnect)
        .def(
            "disconnect",
            [](BoundSDK& sdk) { unlessStopDeferred(interruptible(&SDK::disconnect), Operation::Disconnect)(sdk); },
            doc::kDisconnect)
        .def(
            "publish",
            [](BoundSDK& sdk, const std::string& topic, const Payload& payload, int qos, bool retained) {
                return unlessStopDeferred(
                    [&](BoundSDK& bound) {
                        py::gil_scoped_release release;
                        return bound.publish(topic, payload.bytes(), qos, retained);
                    },
                    Operation::Publish, false)(sdk);
            },
            doc::kPublish, py::arg("topic"), py::arg("payload"), py::arg("qos") = 0, py::arg("retained") = false)
        .def(
            "subscribe",
            [](BoundSDK& sdk, const std::string& topic, int qos) {
                return unlessStopDeferred(interruptible(&SDK::subscribe), Operation::Subscribe, false)(sdk, topic, qos);
            },
            doc::kSubscribe, py::arg("topic"), py::arg("qos") = 0)
        .def(
            "unsubscribe",
            [](BoundSDK& sdk, const std::string& topic) {
                unlessStopDeferred(interruptible(&SDK::unsubscribe), Operation::Unsubscribe)(sdk, topic);
            },
            doc::kUnsubscribe, py::arg("topic"), py::pos_only())
        .def(
            "on_message",
            [](BoundSDK& sdk, MessageHandlerArg handler) {
                const auto replace = interruptible(&SDK::on_message);
                replace(sdk, std::move(handler.handler));
            },
            doc::kOnMessage, py::arg("handler"), py::pos_only())
        .def(
            "on_connection",
            [](BoundSDK& sdk, ConnectionHandlerArg handler) {
                const auto replace = interruptible(&SDK::on_connection);
                replace(sdk, std::move(handler.handler));
            },
            doc::kOnConnection, py::arg("handler"), py::pos_only())
        .def(
            "stop",
            [](BoundSDK& sdk) {
                // A call abandoned by an interrupt still holds the library client: it
                // stops the client when its wait ends, and this returns at once.
                if (sdk.abandonedCalls.deferStop()) {
                    return;
                }
                try {
                    const auto stop = interruptible(&SDK::stop);
                    stop(sdk);
                } catch (const py::error_already_set&) {
                    sdk.abandonedCalls.deferStop();  // interrupted: the stop goes on in the background
                    throw;
                }
            },
            doc::kStop)
        .def(
            "is_connected", [](BoundSDK& sdk) { return !sdk.abandonedCalls.stopDeferred() && sdk.is_connected(); },
            doc::kIsConnected)
        .def("tls_set", &tlsSet, doc::kTlsSet, py::arg("ca_certs") = py::none(), py::arg("certfile") = py::none(),
             py::arg("keyfile") = py::none(), py::arg("keyfile_password") = py::none())
        .def("will_set", &willSet, doc::kWillSet, py::arg("topic"), py::arg("payload") = py::none(), py::arg("qos") = 0,
             py::arg("retain") = false)
        .def(
            "will_clear", [](BoundSDK& sdk) { sdk.will_clear(); }, doc::kWillClear)
        .def("enable_logger", &enableLogger, doc::kEnableLogger, py::arg("logger") = py::none())
        .def("disable_logger", [](BoundSDK& sdk) { sdk.consoleLogger->set(py::object()); }, doc::kDisableLogger);

    // A file tls_set cannot use: OSError (with its errno and path) when it cannot be read,
    // ValueError when it holds no certificate or key, or the key does not fit.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) {
                std::rethrow_exception(failure);
            }
        } catch (const tarvo::TlsFileError& error) {
            if (error.kind == tarvo::TlsFileError::Kind::Unreadable) {
                py::object raised =
                    py::module_::import("builtins")
                        .attr("OSError")(error.errorNumber, error.reason,
                                         py::module_::import("os").attr("fsdecode")(py::bytes(error.path)));
                PyErr_SetObject(PyExc_OSError, raised.ptr());
            } else {
                PyErr_SetString(PyExc_ValueError, error.what());
            }
        }
    });

    tarvo::binding::noteMainThread();
    py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") = py::cpp_function([] {
                                                           tarvo::binding::noteMainThread();
                                                           tarvo::binding::resetLoggingAfterFork();
                                                       }));

    // A signal handler's exception, already set, ends a publish that was waiting.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) {
                std::rethrow_exception(failure);
            }
        } catch (const SDK::Interrupted&) {
        }
    });

    // A client still connected when the interpreter finalizes would leave library
    // threads that block for ever on the interpreter lock; stop them all first (their
    // last lines still reach their loggers), then end logging from other threads. A
    // program ended by Ctrl-C (an uncaught KeyboardInterrupt) does not wait for
    // acknowledgements, and a Ctrl-C while the hook waits ends the program at once.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        const py::object lastException = py::module_::import("sys").attr("__dict__").attr("get")("last_exc");
        tarvo::binding::stopLiveClientsAtExit(py::isinstance(lastException, py::handle(PyExc_KeyboardInterrupt)));
        py::gil_scoped_release release;
        tarvo::binding::endLoggingForExit();
    }));
}
