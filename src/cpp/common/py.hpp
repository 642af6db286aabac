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

// The name of an object's type, for error messages.
inline std::string type_name_of(nb::handle obj) {
    return nb::cast<std::string>(nb::handle((PyObject*)Py_TYPE(obj.ptr())).attr("__name__"));
}

// TypeError "<argument> must be <expected>, not <type name>".
[[noreturn]] inline void wrong_type(std::string_view argument, std::string_view expected, nb::handle value) {
    std::string msg(argument);
    msg += " must be ";
    msg += expected;
    msg += ", not ";
    msg += type_name_of(value);
    raise(PyExc_TypeError, msg);
}

// The text form of a Python object, as str() gives it.
inline std::string str_of(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }

// The extension module object, held strongly once its init has succeeded.
// Outside names are read from it at call time so that callers and tests can
// rebind them (`module.np = ...`).  Each extension compiles its own copy.
//
// A second init in the same process (the module removed from sys.modules and
// imported again) would register the same classes again; it fails with an
// ImportError before touching anything, and the first module keeps working.
class ModuleHandle {
  public:
    // First statement of a module's init.
    static void begin_init(const char* name) {
        if (slot()) {
            std::string msg = name;
            msg += " is already initialised in this process; it cannot be imported a second time "
                   "(use the module object imported first)";
            raise(PyExc_ImportError, msg);
        }
    }
    // Last statement of a module's init: from here on the module is live.
    static void finish_init(nb::handle m) { slot() = nb::borrow(m).release().ptr(); }

    static nb::handle get() {
        if (!slot()) raise(PyExc_RuntimeError, "extension module used before its initialisation finished");
        return slot();
    }

  private:
    // Never released: the module lives until the process ends.
    static PyObject*& slot() {
        static PyObject* module = nullptr;
        return module;
    }
};

inline nb::object module_attr(const char* name) { return ModuleHandle::get().attr(name); }

// Pause the cyclic garbage collector while a call builds many container
// objects that are all reachable from its result (collections triggered by
// the allocations would only re-scan them); the previous state is restored.
class GcPause {
  public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    bool was_enabled_;
};

// Call f(item) for each item of an iterable.  Stops at the first exhaustion
// and never asks the iterator again: KLayout's iterators crash when advanced
// past their end, which nanobind's range adaptor may do.
template <class F>
void for_each(nb::handle iterable, F&& f) {
    nb::object it = nb::steal(PyObject_GetIter(iterable.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(it.ptr())) f(nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
}

}  // namespace corvane
