// A publish payload, read in place for the length of one call that runs without the
// interpreter lock. str is read as its UTF-8 form and bytes as they are: neither can
// change. A bytearray can: another thread may resize it, and free the bytes under the
// library's copy, as soon as the lock is released. It is read through a buffer export,
// which makes Python refuse to resize it until the call returns.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

namespace tarvo::binding {

class Payload {
public:
    Payload() = default;
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;
    ~Payload() {
        if (exported_) {
            PyBuffer_Release(&export_);
        }
    }

    // False, with no Python error set, for anything but str, bytes and bytearray, and
    // for a str that has no UTF-8 form (a lone surrogate).
    bool load(PyObject* source) {
        if (PyUnicode_Check(source)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return false;
            }
            bytes_ = {utf8, static_cast<std::size_t>(size)};
            return true;
        }
        if (PyBytes_Check(source)) {
            bytes_ = {PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source))};
            return true;
        }
        if (PyByteArray_Check(source) && PyObject_GetBuffer(source, &export_, PyBUF_SIMPLE) == 0) {
            exported_ = true;
            bytes_ = {static_cast<const char*>(export_.buf), static_cast<std::size_t>(export_.len)};
            return true;
        }
        PyErr_Clear();
        return false;
    }

    std::string_view bytes() const { return bytes_; }

private:
    std::string_view bytes_;
    Py_buffer export_{};
    bool exported_ = false;
};

}  // namespace tarvo::binding

// pybind11's own string_view conversion would register each payload to be kept alive,
// a hash-set insertion per publish, for an object the caller holds for the call anyway.
namespace pybind11::detail {
template <>
struct type_caster<tarvo::binding::Payload> {
    static constexpr auto name = const_name("str");
    template <typename>
    using cast_op_type = const tarvo::binding::Payload&;
    explicit operator const tarvo::binding::Payload&() const { return value; }
    bool load(handle source, bool /*convert*/) { return value.load(source.ptr()); }

    tarvo::binding::Payload value;
};
}  // namespace pybind11::detail
