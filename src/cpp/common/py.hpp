// Small helpers shared by the extension modules: raising Python errors with
// fixed texts and reaching a module's own attributes at call time.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <string_view>

namespace nb = nanobind;

namespace corvane {

// Raise `type(msg)` as a Python exception from C++.
[[noreturn]] inline void raise(PyObject* type, std::string_view msg) {
    PyErr_SetString(type, std::string(msg).c_str());
    throw nb::python_error();
}

// Raise a bare AssertionError (internal precondition, no message).
[[noreturn]] inline void assertion_error() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

// The text form of a Python object, as str() gives it.
inline std::string str_of(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }

// The handle of the extension module being defined, set once by its init
// function.  Outside names are read from it at call time so that callers and
// tests can rebind them (`module.np = ...`).
struct ModuleHandle {
    static nb::handle& get() {
        static nb::handle h;
        return h;
    }
};

inline nb::object module_attr(const char* name) { return ModuleHandle::get().attr(name); }

}  // namespace corvane
