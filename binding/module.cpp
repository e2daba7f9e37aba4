// The tarvo_sdk extension module: class SDK and its eleven methods.
#include "handlers.hpp"
#include "live_clients.hpp"
#include "sdk.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
using tarvo::SDK;
using tarvo::binding::ConnectionHandlerArg;
using tarvo::binding::MessageHandlerArg;

// Every method that can wait (for the broker, for a lock, for a thread) runs with the
// interpreter lock released, so handlers on other threads, which take the lock inside
// the call, can always finish. Arguments are converted before, results after.
using ReleaseInterpreter = py::call_guard<py::gil_scoped_release>;

PYBIND11_MODULE(tarvo_sdk, module) {
    py::class_<SDK>(module, "SDK", py::release_gil_before_calling_cpp_dtor())
        .def(py::init([] { return std::unique_ptr<SDK>(std::make_unique<tarvo::binding::BoundSDK>()); }))
        .def("init", &SDK::init, py::arg("clientId"), py::arg("brokerHost"), py::arg("protocol"),
             py::arg("username"), py::arg("password"), py::arg("cleanSession") = false,
             py::arg("resumeSubs") = true, py::arg("connectRetry") = true, py::arg("autoReconnect") = true,
             py::arg("connectRetryInterval") = 5, py::arg("maxReconnectInterval") = 1, py::arg("keepAlive") = 30,
             py::arg("pingTimeout") = 10, py::arg("writeTimeout") = 10, py::arg("orderMatters") = false,
             py::arg("connectTimeout") = 30, py::arg("edition") = "Community", ReleaseInterpreter())
        .def("connect", &SDK::connect, ReleaseInterpreter())
        .def("disconnect", &SDK::disconnect, ReleaseInterpreter())
        .def("publish", &SDK::publish, py::arg("topic"), py::arg("payload"), py::arg("qos") = 0,
             py::arg("retained") = false, ReleaseInterpreter())
        .def("subscribe", &SDK::subscribe, py::arg("topic"), py::arg("qos") = 0, ReleaseInterpreter())
        .def("unsubscribe", &SDK::unsubscribe, ReleaseInterpreter())
        .def(
            "on_message",
            [](SDK& sdk, MessageHandlerArg handler) { sdk.on_message(std::move(handler.handler)); },
            ReleaseInterpreter())
        .def(
            "on_connection",
            [](SDK& sdk, ConnectionHandlerArg handler) { sdk.on_connection(std::move(handler.handler)); },
            ReleaseInterpreter())
        .def("stop", &SDK::stop, ReleaseInterpreter())
        .def("is_connected", &SDK::is_connected);

    // A client still connected when the interpreter finalizes would leave library
    // threads that block for ever on the interpreter lock; stop them all first.
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] {
            py::gil_scoped_release release;
            tarvo::binding::stopLiveClients();
        }));
}
