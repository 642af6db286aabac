// Small helpers of the Python edge shared by its files: owned results of
// the C API, recursion guards, snapshots of sequences, texts to and from
// UTF-8, and float32 arrays filled from C++.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/py.hpp"
#include "lumino/core/emit/base64.hpp"

namespace lumino {

// Own a new reference returned by the C API, or raise the pending error.
inline nb::object own(PyObject* p) {
    if (!p) throw nb::python_error();
    return nb::steal(p);
}

// One level of a recursive walk over caller data: raises RecursionError (as
// Python code would) instead of exhausting the C stack.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// A new list holding the elements of any iterable: strong references that
// stay valid whatever code the caller's objects run while it is walked.
inline nb::list snapshot(nb::handle iterable) { return nb::steal<nb::list>(own(PySequence_List(iterable.ptr())).release()); }

// The (key, value) pairs of a map, as a list of 2-tuples taken now.
inline nb::list items_of(nb::handle mapping) {
    if (PyDict_Check(mapping.ptr())) return nb::steal<nb::list>(own(PyDict_Items(mapping.ptr())).release());
    return snapshot(mapping.attr("items")());
}

inline Py_ssize_t length(nb::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

inline bool equals(nb::handle a, nb::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

inline bool is_instance(nb::handle obj, nb::handle cls) {
    const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

inline void append(nb::handle list, nb::handle item) {
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), item.ptr()) != 0) throw nb::python_error();
    } else {
        list.attr("append")(item);
    }
}

// A text as UTF-8; lone surrogates are kept (as their three-byte forms), so
// that from_utf8 gives the same text back.
inline std::string to_utf8(nb::handle text) {
    nb::object bytes = own(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr())));
}
inline nb::str from_utf8(std::string_view s) {
    return nb::steal<nb::str>(own(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "surrogatepass")).release());
}

// The text form of any object (str()), as UTF-8.
inline std::string text_of(nb::handle obj) { return to_utf8(own(PyObject_Str(obj.ptr()))); }

// a + b (+ c) for texts.
inline nb::object concat(nb::handle a, nb::handle b) { return own(PyUnicode_Concat(a.ptr(), b.ptr())); }
inline nb::object concat(nb::handle a, nb::handle b, nb::handle c) { return concat(concat(a, b), c); }

using corvane::type_name_of;
using corvane::wrong_type;

// A new list of Python integers.
inline nb::list int_list(const std::vector<Py_ssize_t>& v) {
    nb::list l = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(v.size()))).release());
    for (size_t k = 0; k < v.size(); ++k)
        PyList_SET_ITEM(l.ptr(), Py_ssize_t(k), own(PyLong_FromSsize_t(v[k])).release().ptr());
    return l;
}

// Base64 of raw bytes as a new Python text.
inline nb::object base64_text(const uint8_t* data, size_t n) {
    nb::object text = own(PyUnicode_New(Py_ssize_t(base64::encoded_size(n)), 127));
    base64::encode(data, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())));
    return text;
}

// {"shape": shape, "dtype": dtype, "buffer": buffer, "codec": "b64"}: an
// array as the viewer message carries it.
inline nb::dict buffer_record(nb::handle shape, nb::handle dtype, nb::handle buffer) {
    nb::dict r;
    r["shape"] = shape;
    r["dtype"] = dtype;
    r["buffer"] = buffer;
    r["codec"] = "b64";
    return r;
}

// New one-dimensional float32 numpy arrays (numpy.empty of the module's
// `np` as taken at entry), filled from C++ through the buffer protocol: one
// allocation per array, no Python object per element.  `fill` must not read
// storage that numpy's code could change (copy first).
class Float32Arrays {
  public:
    explicit Float32Arrays(nb::handle np) : np_(nb::borrow(np)) {}

    template <class Fill>
    nb::object make(size_t n, Fill&& fill) {
        if (!empty_.is_valid()) {
            empty_ = np_.attr("empty");
            dtype_ = np_.attr("dtype")("float32");
        }
        nb::object count = own(PyLong_FromSize_t(n));
        PyObject* args[] = {count.ptr(), dtype_.ptr()};
        nb::object arr = own(PyObject_Vectorcall(empty_.ptr(), args, 2, nullptr));
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
            throw nb::python_error();
        struct Release {
            Py_buffer& v;
            ~Release() { PyBuffer_Release(&v); }
        } release{view};
        if (view.itemsize != 4 || view.len != Py_ssize_t(n * 4) || !view.format || std::strcmp(view.format, "f") != 0)
            corvane::raise(PyExc_TypeError, "numpy.empty did not make a float32 array");
        fill(static_cast<float*>(view.buf));
        return arr;
    }

  private:
    nb::object np_, empty_, dtype_;
};

}  // namespace lumino
