// Python callables as the core's handlers, callable from any thread.
#pragma once

#include "sdk.hpp"

#include <pybind11/pybind11.h>

#include <memory>
#include <string_view>

namespace tarvo::binding {

// The handler arguments of on_message and on_connection: a callable, or None for none.
struct MessageHandlerArg {
    SDK::MessageHandler handler;
};
struct ConnectionHandlerArg {
    SDK::ConnectionHandler handler;
};

// Reports an exception that a handler raised where no Python caller can take it, through
// sys.unraisablehook. Called from inside the catch block.
void reportToUnraisableHook(std::string_view event);

}  // namespace tarvo::binding

namespace pybind11::detail {

template <>
struct type_caster<tarvo::binding::MessageHandlerArg> {
    PYBIND11_TYPE_CASTER(tarvo::binding::MessageHandlerArg, const_name("collections.abc.Callable[[str, str], None]"));
    bool load(handle source, bool convert);
};

template <>
struct type_caster<tarvo::binding::ConnectionHandlerArg> {
    PYBIND11_TYPE_CASTER(
        tarvo::binding::ConnectionHandlerArg,
        const_name("collections.abc.Callable[[bool, typing.SupportsInt | typing.SupportsIndex], None]"));
    bool load(handle source, bool convert);
};

}  // namespace pybind11::detail
