// Python-side helpers of the call-graph module.
#include "weftnet/pyutil.hpp"

namespace weftnet {

std::string utf8(nb::handle s) {
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str to_str(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!o) throw nb::python_error();
    return nb::steal<nb::str>(o);
}

nb::str text_of(nb::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

bool is_mapping(nb::handle h) {
    if (PyDict_Check(h.ptr())) return true;
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    const int r = PyObject_IsInstance(h.ptr(), mapping.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

void require_str(const char* what, nb::handle h) {
    if (!PyUnicode_Check(h.ptr())) wrong_type(what, "a str", h);
}

void require_mapping(const char* what, nb::handle h) {
    if (!is_mapping(h)) wrong_type(what, "a dict", h);
}

void require_mapping_or_none(const char* what, nb::handle h) {
    if (!h.is_none() && !is_mapping(h)) wrong_type(what, "a dict or None", h);
}

bool is_collection(nb::handle h) {
    PyObject* p = h.ptr();
    if (PyList_CheckExact(p) || PyTuple_CheckExact(p)) return true;
    if (PyUnicode_Check(p) || PyBytes_Check(p) || PyByteArray_Check(p)) return false;
    return PyObject_HasAttrString(p, "__iter__") && !is_mapping(h);
}

bool is_path(nb::handle h) { return PyUnicode_Check(h.ptr()) || PyObject_HasAttrString(h.ptr(), "__fspath__"); }

void require_path(const char* what, nb::handle h) {
    if (!is_path(h)) wrong_type(what, "a path (str or os.PathLike)", h);
}

void require_graph(const char* what, nb::handle h) {
    nb::object graph = corvane::module_attr("nx").attr("Graph");
    const int r = PyObject_IsInstance(h.ptr(), graph.ptr());
    if (r < 0) throw nb::python_error();
    if (r == 0) wrong_type(what, "a networkx DiGraph", h);
}

nb::object getattr_or(nb::handle obj, const char* name, nb::handle fallback) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

nb::object get_item(nb::handle mapping, nb::handle key) {
    PyObject* v = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

nb::object get_item(nb::handle mapping, const char* key) { return get_item(mapping, nb::str(key)); }

nb::object get_or(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return mapping.attr("get")(key, fallback);
}

bool contains(nb::handle container, nb::handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool truthy(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool not_equal(nb::handle a, nb::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

namespace {
void log_at(const char* level, const std::string& text) {
    nb::object logger = corvane::module_attr("log")();
    logger.attr(level)(to_str(text));
}
}  // namespace

void log_debug(const std::string& text) { log_at("debug", text); }
void log_warning(const std::string& text) { log_at("warning", text); }

nb::object make_path(nb::handle p) { return corvane::module_attr("Path")(p); }

nb::object resolved(nb::handle p) { return make_path(p).attr("resolve")(); }

nb::object Resolver::operator()(nb::handle p) {
    if (!PyUnicode_CheckExact(p.ptr())) return resolved(p);
    std::string key = utf8(p);
    auto it = done_.find(key);
    if (it != done_.end()) return it->second;
    nb::object path = resolved(p);
    done_.emplace(std::move(key), path);
    return path;
}

}  // namespace weftnet
