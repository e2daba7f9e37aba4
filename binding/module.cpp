// The tarvo_sdk extension module: class SDK and its methods.
#include "handlers.hpp"
#include "interruptible.hpp"
#include "live_clients.hpp"
#include "sdk.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
using tarvo::SDK;
using tarvo::binding::ConnectionHandlerArg;
using tarvo::binding::MessageHandlerArg;
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

PYBIND11_MODULE(tarvo_sdk, module) {
    using Operation = SDK::Operation;
    // resumeSubs and connectRetry were once accepted and ignored, and programs rely on
    // what that meant: subscriptions renewed by their own connection handler (renewed by
    // the module as well, each retained message would arrive twice) and a failed connect
    // that leaves nothing running. Both are therefore asked for, not given by default.
    py::class_<BoundSDK>(module, "SDK", py::release_gil_before_calling_cpp_dtor())
        .def(py::init<>())
        .def("init", &initInterruptibly, py::arg("clientId"), py::arg("brokerHost"), py::arg("protocol"),
             py::arg("username"), py::arg("password"), py::arg("cleanSession") = false, py::arg("resumeSubs") = false,
             py::arg("connectRetry") = false, py::arg("autoReconnect") = true, py::arg("connectRetryInterval") = 5,
             py::arg("maxReconnectInterval") = 1, py::arg("keepAlive") = 30, py::arg("pingTimeout") = 10,
             py::arg("writeTimeout") = 10, py::arg("orderMatters") = false, py::arg("connectTimeout") = 30,
             py::arg("edition") = "Community")
        .def("connect",
             [](BoundSDK& sdk) {
                 return unlessStopDeferred(interruptible(&SDK::connect), Operation::Connect, false)(sdk);
             })
        .def("disconnect",
             [](BoundSDK& sdk) { unlessStopDeferred(interruptible(&SDK::disconnect), Operation::Disconnect)(sdk); })
        .def(
            "publish",
            // The payload is read in place from the str's UTF-8 form or the bytes' buffer.
            [](BoundSDK& sdk, const std::string& topic, std::string_view payload, int qos, bool retained) {
                return unlessStopDeferred(
                    [&](BoundSDK& bound) {
                        py::gil_scoped_release release;
                        return bound.publish(topic, payload, qos, retained);
                    },
                    Operation::Publish, false)(sdk);
            },
            "Publishes payload (str is sent as UTF-8) and returns True once the library took\n"
            "it and, at QoS 1 and 2, the broker acknowledged it within 10 s. Inside a message\n"
            "handler no acknowledgement can be awaited: True there means taken. Returns False\n"
            "for a publication refused or lost (not connected, a topic or QoS the broker would\n"
            "refuse, no acknowledgement in time, the connection lost before it came), after the\n"
            "\"[SDK] publish ...\" line that says why, or without a line when the wait ended\n"
            "unacknowledged. Raises only for arguments of the wrong type and for an exception\n"
            "raised by a signal handler (KeyboardInterrupt) while it waits.",
            py::arg("topic"), py::arg("payload"), py::arg("qos") = 0, py::arg("retained") = false)
        .def(
            "subscribe",
            [](BoundSDK& sdk, const std::string& topic, int qos) {
                return unlessStopDeferred(interruptible(&SDK::subscribe), Operation::Subscribe, false)(sdk, topic, qos);
            },
            py::arg("topic"), py::arg("qos") = 0)
        .def("unsubscribe",
             [](BoundSDK& sdk, const std::string& topic) {
                 unlessStopDeferred(interruptible(&SDK::unsubscribe), Operation::Unsubscribe)(sdk, topic);
             })
        .def(
            "on_message",
            [](BoundSDK& sdk, MessageHandlerArg handler) {
                const auto replace = interruptible(&SDK::on_message);
                replace(sdk, std::move(handler.handler));
            },
            "Sets the handler called on the library's thread for every message; None removes\n"
            "it. It is called as handler(topic, payload), and with the message's flags as\n"
            "keyword arguments too if it names them as parameters after those two: retained\n"
            "(bool: sent from the topic's retained message, for a new subscription), qos (int:\n"
            "0, 1 or 2, as delivered) and dup (bool: a QoS 1 or 2 message sent again, which may\n"
            "have arrived before). Each one it names, and only those:\n"
            "def handler(topic, payload, *, retained): ... gets retained only. The choice is\n"
            "made once, here. A payload that is not valid UTF-8 arrives decoded with\n"
            "surrogateescape: payload.encode(\"utf-8\", \"surrogateescape\") gives its bytes.")
        .def("on_connection",
             [](BoundSDK& sdk, ConnectionHandlerArg handler) {
                 const auto replace = interruptible(&SDK::on_connection);
                 replace(sdk, std::move(handler.handler));
             })
        .def("stop",
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
             })
        .def("is_connected", [](BoundSDK& sdk) { return !sdk.abandonedCalls.stopDeferred() && sdk.is_connected(); })
        .def("tls_set", &tlsSet, py::arg("ca_certs") = py::none(), py::arg("certfile") = py::none(),
             py::arg("keyfile") = py::none(), py::arg("keyfile_password") = py::none())
        .def("will_set", &willSet,
             "Sets the will: the message the broker publishes for this client when its\n"
             "connection ends without a disconnect (the network dropped, the process died),\n"
             "never after disconnect or stop. Sent with every connect and reconnect from the\n"
             "next one on; may be called before or after init, which keeps it. payload: str\n"
             "(sent as UTF-8), bytes, bytearray, or None for an empty one. Raises ValueError\n"
             "for a topic publish would refuse (empty, a wildcard, a control character), a\n"
             "qos other than 0, 1 or 2, or a payload longer than 65,535 bytes, and TypeError\n"
             "for an argument of the wrong type.",
             py::arg("topic"), py::arg("payload") = py::none(), py::arg("qos") = 0, py::arg("retain") = false)
        .def(
            "will_clear", [](BoundSDK& sdk) { sdk.will_clear(); },
            "Removes the will, from the next connect and reconnect on.");

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
    py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") =
                                                           py::cpp_function([] { tarvo::binding::noteMainThread(); }));

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
    // threads that block for ever on the interpreter lock; stop them all first. A program
    // ended by Ctrl-C (an uncaught KeyboardInterrupt) does not wait for acknowledgements,
    // and a Ctrl-C while the hook waits ends the program at once.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        const py::object lastException = py::module_::import("sys").attr("__dict__").attr("get")("last_exc");
        tarvo::binding::stopLiveClientsAtExit(py::isinstance(lastException, py::handle(PyExc_KeyboardInterrupt)));
    }));
}
