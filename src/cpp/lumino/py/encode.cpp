// The map form of the viewer tree, its indented JSON text, and numpy arrays
// as base64 buffer records.  Both walks are recursive over caller data and
// guarded like Python recursion; arrays are read through the buffer protocol
// and encoded here, never copied into Python objects.
#include "lumino/py/encode.hpp"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "lumino/core/emit/base64.hpp"
#include "lumino/py/ktrans.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/edge.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

bool is_plain_scalar(nb::handle obj) {
    PyTypeObject* tp = Py_TYPE(obj.ptr());
    return obj.is_none() || tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type ||
           tp == &PyBool_Type;
}

// hasattr(obj, name): 1 or 0, an error other than AttributeError raised.
bool has_attr(nb::handle obj, nb::handle name) {
    PyObject* p = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (p) {
        Py_DECREF(p);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}

bool is_empty_container(nb::handle v) {
    PyObject* p = v.ptr();
    if (PyList_Check(p) || PyTuple_Check(p) || PyDict_Check(p)) return length(v) == 0;
    return false;
}

// A new list of f(item) for the items of a list or tuple, read from a snapshot.
template <class F>
nb::object map_sequence(nb::handle obj, F&& f) {
    nb::list items = snapshot(obj);
    const size_t n = items.size();
    nb::list out = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(n))).release());
    for (size_t k = 0; k < n; ++k) PyList_SET_ITEM(out.ptr(), Py_ssize_t(k), f(items[k]).release().ptr());
    return out;
}

// A new dict with f(value) for the (key, value) items of a mapping.
template <class F>
nb::object map_values(nb::handle obj, F&& f) {
    nb::dict out;
    for (nb::handle item : items_of(obj)) {
        nb::object pair = own(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) corvane::raise(PyExc_ValueError, "expected (key, value) pairs");
        if (PyDict_SetItem(out.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0), f(PyTuple_GET_ITEM(pair.ptr(), 1)).ptr()) != 0)
            throw nb::python_error();
    }
    return out;
}

class AsDict {
  public:
    nb::object operator()(nb::handle obj) {
        if (is_plain_scalar(obj)) return nb::borrow(obj);
        RecursionGuard guard(" while converting to a map");
        PyTypeObject* tp = Py_TYPE(obj.ptr());
        if (tp == &PyList_Type || tp == &PyTuple_Type) return sequence(obj);
        if (tp == &PyDict_Type) return mapping(obj);
        const Entry& e = entry(obj);
        if (e.record) {
            nb::dict result;
            for (nb::handle name : e.names) {
                nb::object value = own(PyObject_GetAttr(obj.ptr(), name.ptr()));
                if (is_empty_container(value)) continue;
                result[name] = (*this)(value);
            }
            return result;
        }
        if (tp == ktrans_type_ && nb::inst_ready(obj)) return nb::inst_ptr<KTrans>(obj)->to_dict();
        if (!e.never_to_dict && has_attr(obj, to_dict_)) return obj.attr(to_dict_)();
        if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) return sequence(obj);
        if (PyDict_Check(obj.ptr())) return mapping(obj);
        return nb::borrow(obj);
    }

  private:
    struct Entry {
        nb::object type;  // held so that its address stays unique during the call
        bool record = false;
        nb::object names;  // field names in order, for a record
        bool never_to_dict = false;
    };

    // What the type of `obj` is, found once per type and call.
    const Entry& entry(nb::handle obj) {
        PyTypeObject* tp = Py_TYPE(obj.ptr());
        auto it = types_.find(tp);
        if (it != types_.end()) return it->second;
        Entry e;
        e.type = nb::borrow((PyObject*)tp);
        // A record is an instance of a dataclass (a dataclass itself is not).
        e.record = !PyType_Check(obj.ptr()) && has_attr(e.type, dataclass_fields_);
        if (e.record) {
            nb::list names;
            for (nb::handle f : module_attr("fields")(obj)) names.append(f.attr("name"));
            e.names = names;
        }
        // Without an instance dict or a custom attribute hook, an instance
        // has `to_dict` only if its type does.
        if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset == 0)
            e.never_to_dict = !has_attr(e.type, to_dict_);
        return types_.emplace(tp, std::move(e)).first->second;
    }

    nb::object sequence(nb::handle obj) { return map_sequence(obj, *this); }
    nb::object mapping(nb::handle obj) { return map_values(obj, *this); }

    std::unordered_map<PyTypeObject*, Entry> types_;
    PyTypeObject* ktrans_type_ = (PyTypeObject*)nb::type<KTrans>().ptr();
    nb::str to_dict_{"to_dict"}, dataclass_fields_{"__dataclass_fields__"};
};

class BufferJson {
  public:
    nb::object operator()(nb::handle obj) {
        if (is_plain_scalar(obj)) return nb::borrow(obj);
        PyTypeObject* tp = Py_TYPE(obj.ptr());
        if (tp != &PyList_Type && tp != &PyTuple_Type && tp != &PyDict_Type && is_ndarray(obj)) return encode(obj);
        if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
            RecursionGuard guard(" while encoding numpy arrays");
            return map_sequence(obj, *this);
        }
        if (PyDict_Check(obj.ptr())) {
            RecursionGuard guard(" while encoding numpy arrays");
            return map_values(obj, *this);
        }
        return nb::borrow(obj);
    }

  private:
    bool is_ndarray(nb::handle obj) {
        if (!ndarray_.is_valid()) ndarray_ = module_attr("np").attr("ndarray");
        return is_instance(obj, ndarray_);
    }

    // The buffer record of one array.  A C-contiguous array of numpy's own
    // type is read in place; anything else takes numpy's way: a contiguous
    // copy, ravel, then its memory view.
    nb::object encode(nb::handle arr) {
        if (Py_TYPE(arr.ptr()) == (PyTypeObject*)ndarray_.ptr()) {
            Py_buffer view;
            if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_FULL_RO) == 0) {
                struct Release {
                    Py_buffer& v;
                    ~Release() { PyBuffer_Release(&v); }
                } release{view};
                if (holds_objects(view.format)) no_raw_bytes();
                if (view.itemsize > 0 && PyBuffer_IsContiguous(&view, 'C')) {
                    const size_t n = size_t(view.len / view.itemsize);
                    return record(own(PyLong_FromSize_t(n)), dtype_text(arr, view.format),
                                  static_cast<const uint8_t*>(view.buf), size_t(view.len));
                }
            } else {
                PyErr_Clear();
            }
        }
        nb::object a = nb::borrow(arr);
        nb::object np = module_attr("np");
        nb::object contiguous = a.attr("flags")["C_CONTIGUOUS"];
        if (!PyObject_IsTrue(contiguous.ptr())) {
            if (PyErr_Occurred()) throw nb::python_error();
            a = np.attr("ascontiguousarray")(a);
        }
        nb::object flat = a.attr("ravel")();
        nb::object shape = own(PySequence_List(nb::object(flat.attr("shape")).ptr()));
        nb::object dtype = own(PyObject_Str(nb::object(flat.attr("dtype")).ptr()));
        nb::object mv = own(PyMemoryView_FromObject(flat.ptr()));
        const Py_buffer* v = PyMemoryView_GET_BUFFER(mv.ptr());
        if (holds_objects(v->format)) no_raw_bytes();
        if (!PyBuffer_IsContiguous(v, 'C')) {
            // Let the standard encoder report what it makes of it.
            nb::object text = module_attr("base64").attr("b64encode")(mv).attr("decode")();
            return buffer_record(shape, dtype, text);
        }
        return buffer_record(shape, dtype, base64_text(static_cast<const uint8_t*>(v->buf), size_t(v->len)));
    }

    // Elements that are Python objects export their addresses as bytes:
    // never something to send.  In a buffer format the type code "O" marks
    // them; text between colons is a field name (T{<f:Ox:} is no object).
    static bool holds_objects(const char* format) {
        bool in_name = false;
        for (const char* c = format; c && *c; ++c) {
            if (*c == ':')
                in_name = !in_name;
            else if (!in_name && *c == 'O')
                return true;
        }
        return false;
    }
    [[noreturn]] static void no_raw_bytes() {
        corvane::raise(PyExc_TypeError, "numpy_to_buffer_json: an array of Python objects has no raw byte form");
    }

    nb::object dtype_text(nb::handle arr, const char* format) {
        if (format && std::strcmp(format, "f") == 0) return float32_;
        if (format && std::strcmp(format, "d") == 0) return float64_;
        return own(PyObject_Str(nb::object(arr.attr("dtype")).ptr()));
    }

    nb::object record(nb::object count, nb::object dtype, const uint8_t* data, size_t n) {
        nb::list shape;
        shape.append(count);
        return buffer_record(shape, dtype, base64_text(data, n));
    }

    nb::object ndarray_;
    nb::str float32_{"float32"}, float64_{"float64"};
};

}  // namespace

nb::object asdict(nb::handle obj) {
    corvane::GcPause pause;
    return AsDict()(obj);
}

nb::object create_json(nb::handle data) {
    nb::object dict_data = asdict(data);
    nb::object orjson = module_attr("orjson");
    nb::object option = own(PyNumber_Or(nb::object(orjson.attr("OPT_INDENT_2")).ptr(),
                                        nb::object(orjson.attr("OPT_SERIALIZE_NUMPY")).ptr()));
    option = own(PyNumber_Or(option.ptr(), nb::object(orjson.attr("OPT_NON_STR_KEYS")).ptr()));
    nb::object fallback = module_attr("shared").attr("none");
    // default and option by position: orjson may match keyword names by identity.
    nb::object encoded = orjson.attr("dumps")(dict_data, fallback, option);
    return encoded.attr("decode")("utf-8");
}

nb::object numpy_to_buffer_json(nb::handle value) {
    corvane::GcPause pause;
    nb::object result = BufferJson()(value);
    if (!result.is_none() && !PyDict_Check(result.ptr())) {
        std::string msg = "numpy_to_buffer_json: expected dict or None, got ";
        msg += type_name_of(result);
        corvane::raise(PyExc_TypeError, msg);
    }
    return result;
}

void bind_encode(nb::module_& m) {
    nb::handle cls = m.attr("ParseGDS");
    cls.attr("asdict") = nb::cpp_function(
        [](ParseGDS&, nb::handle obj) { return asdict(obj); }, nb::is_method(), nb::scope(cls),
        nb::name("asdict"), "obj"_a.none(), nb::sig("def asdict(self, obj: Any) -> Any"),
        "The map form of a value: records become maps keyed by field name (fields holding an empty "
        "list, tuple or dict are left out), tuples become lists, objects with to_dict() become its "
        "result; numpy arrays and plain values stay as they are.");
    cls.attr("create_json") = nb::cpp_function(
        [](ParseGDS&, nb::handle data) { return create_json(data); }, nb::is_method(), nb::scope(cls),
        nb::name("create_json"), "data"_a.none(), nb::sig("def create_json(self, data: ViewerData) -> str"),
        "The map form of the viewer data as JSON text, indented by two spaces, arrays as number lists.");
}

}  // namespace lumino
