// Python views of the polygon pool and the shape index: registered as a
// MutableSequence and a MutableMapping, and giving for every operation what
// the same operation gives on the list or dict they stand for.  Reading is
// done in C++; operations that reshape the pool run on a list copy, whose
// result replaces the pool only once every element converted.
#include "lumino/py/views.hpp"

#include <nanobind/stl/shared_ptr.h>

#include <string>
#include <vector>

#include "lumino/py/edge.hpp"

namespace lumino {

using namespace nb::literals;

namespace {

nb::object float_pair(double x, double y) {
    nb::object fx = own(PyFloat_FromDouble(x)), fy = own(PyFloat_FromDouble(y));
    PyObject* t = PyTuple_New(2);
    if (!t) throw nb::python_error();
    PyTuple_SET_ITEM(t, 0, fx.release().ptr());
    PyTuple_SET_ITEM(t, 1, fy.release().ptr());
    return nb::steal(t);
}

nb::object key_tuple(const ShapeKey& k) { return nb::make_tuple(k.cell, k.layer, k.pos); }

[[noreturn]] void key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

// ---- the pool ------------------------------------------------------------

nb::list materialize(const PolygonPool& pool) {
    nb::list out = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(pool.size()))).release());
    for (size_t k = 0; k < pool.size(); ++k) PyList_SET_ITEM(out.ptr(), Py_ssize_t(k), polygon_list(pool[k]).release().ptr());
    return out;
}

size_t pool_position(const PolygonPool& pool, Py_ssize_t k) {
    const Py_ssize_t n = Py_ssize_t(pool.size());
    if (k < 0) k += n;
    if (k < 0 || k >= n) corvane::raise(PyExc_IndexError, "pool index out of range");
    return size_t(k);
}

nb::object pool_getitem(const PoolView& v, nb::handle index) {
    const PolygonPool& pool = *v.pool;
    if (PySlice_Check(index.ptr())) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(index.ptr(), &start, &stop, &step) < 0) throw nb::python_error();
        const Py_ssize_t n = PySlice_AdjustIndices(Py_ssize_t(pool.size()), &start, &stop, step);
        nb::list out;
        for (Py_ssize_t i = 0, k = start; i < n; ++i, k += step) out.append(polygon_list(pool[size_t(k)]));
        return out;
    }
    const Py_ssize_t k = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
    if (k == -1 && PyErr_Occurred()) throw nb::python_error();
    return polygon_list(pool[pool_position(pool, k)]);
}

// A polygon given from Python: a sequence of (x, y) number pairs.
std::vector<double> polygon_values(nb::handle polygon) {
    nb::object seq = own(PySequence_Fast(polygon.ptr(), "a polygon must be a sequence of (x, y) pairs"));
    std::vector<double> xy;
    for (nb::handle point : snapshot(seq)) {
        nb::object pair = own(PySequence_Fast(point.ptr(), "a polygon point must be an (x, y) pair"));
        if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2)
            corvane::raise(PyExc_ValueError, "a polygon point must be an (x, y) pair");
        for (int i = 0; i < 2; ++i) {
            const double c = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(pair.ptr(), i));
            if (c == -1.0 && PyErr_Occurred()) throw nb::python_error();
            xy.push_back(c);
        }
    }
    return xy;
}

// Replaces the pool by the polygons of `list`, all converted first: a value
// that is no polygon leaves the pool as it was.
void assign(PolygonPool& pool, nb::handle list) {
    std::vector<std::vector<double>> all;
    for (nb::handle polygon : snapshot(list)) all.push_back(polygon_values(polygon));
    PolygonPool fresh;
    for (const auto& xy : all) fresh.append(xy);
    pool = std::move(fresh);
}

// `op` applied to the pool as a list, whose result becomes the pool.
template <class Op>
nb::object as_list(PoolView& v, Op&& op) {
    nb::list l = materialize(*v.pool);
    nb::object result = op(nb::handle(l));
    assign(*v.pool, l);
    return result;
}

nb::object list_method(nb::handle list, const char* name, std::initializer_list<nb::handle> args) {
    nb::object method = list.attr(name);
    std::vector<PyObject*> a;
    for (nb::handle h : args) a.push_back(h.ptr());
    return own(PyObject_Vectorcall(method.ptr(), a.data(), a.size(), nullptr));
}

// pool == other, as a list compares: equal sizes, then element by element
// while both still have elements (an element's __eq__ may change either),
// then the sizes again.
nb::object pool_eq(const PoolView& v, nb::handle other) {
    if (auto o = pool_of(other)) return nb::bool_(*o == *v.pool);
    if (!PyList_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
    const PolygonPool& pool = *v.pool;
    if (size_t(length(other)) != pool.size()) return nb::bool_(false);
    for (size_t k = 0; k < pool.size() && Py_ssize_t(k) < length(other); ++k) {
        nb::object item = own(PySequence_GetItem(other.ptr(), Py_ssize_t(k)));
        if (!equals(polygon_list(pool[k]), item)) return nb::bool_(false);
    }
    return nb::bool_(size_t(length(other)) == pool.size());
}

struct PoolIterator {
    std::shared_ptr<PolygonPool> pool;
    size_t next = 0;
};

// ---- the shape index -----------------------------------------------------

nb::object index_getitem(const ShapeIndexView& v, nb::handle key) {
    ShapeKey k;
    const int64_t value = shape_key_of(key, k) ? v.index->find(k) : -1;
    if (value < 0) key_error(key);
    return nb::int_(value);
}

bool index_contains(const ShapeIndexView& v, nb::handle key) {
    ShapeKey k;
    return shape_key_of(key, k) && v.index->find(k) >= 0;
}

void index_setitem(ShapeIndexView& v, nb::handle key, nb::handle value) {
    ShapeKey k;
    if (!shape_key_of(key, k)) corvane::raise(PyExc_TypeError, "a shape key is a (cell index, layer index, position) tuple");
    int overflow = 0;
    const long long n = PyLong_Check(value.ptr()) ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : -1;
    if (n < 0 || overflow) corvane::raise(PyExc_TypeError, "a pool index is a non-negative integer");
    v.index->set(k, n);
}

nb::dict index_dict(const ShapeIndex& index) {
    nb::dict out;
    for (size_t n = 0; n < index.size(); ++n) out[key_tuple(index.key(n))] = nb::int_(index.value(n));
    return out;
}

nb::object index_eq(const ShapeIndexView& v, nb::handle other) {
    if (auto o = shape_index_of(other)) return nb::bool_(*o == *v.index);
    if (!PyDict_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
    return nb::bool_(equals(index_dict(*v.index), other));
}

// dict.update: a mapping (anything with keys()) or an iterable of pairs.
void index_update(ShapeIndexView& v, nb::handle other) {
    if (shape_index_of(other) || PyDict_Check(other.ptr()) || nb::hasattr(other, "keys")) {
        nb::object held = nb::borrow(other);
        for (nb::handle key : snapshot(nb::object(held.attr("keys")()))) index_setitem(v, key, nb::object(held[key]));
        return;
    }
    size_t n = 0;
    corvane::for_each(other, [&](nb::object item) {
        nb::object pair = own(PySequence_Fast(item.ptr(), "cannot convert dictionary update sequence element to a sequence"));
        if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2) {
            std::string msg = "dictionary update sequence element #" + std::to_string(n) + " has length " +
                              std::to_string(PySequence_Fast_GET_SIZE(pair.ptr())) + "; 2 is required";
            corvane::raise(PyExc_ValueError, msg);
        }
        index_setitem(v, PySequence_Fast_GET_ITEM(pair.ptr(), 0), PySequence_Fast_GET_ITEM(pair.ptr(), 1));
        ++n;
    });
}

// Iterates keys in insertion order; a change of size meanwhile is an error,
// as for a dict.
struct IndexIterator {
    std::shared_ptr<ShapeIndex> index;
    size_t next = 0, size = 0;
};

}  // namespace

bool shape_key_of(nb::handle obj, ShapeKey& k) {
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 3) return false;
    int64_t v[3];
    for (int i = 0; i < 3; ++i) {
        PyObject* item = PyTuple_GET_ITEM(obj.ptr(), i);
        if (!PyLong_Check(item)) return false;
        int overflow = 0;
        v[i] = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow) return false;
        if (v[i] == -1 && PyErr_Occurred()) throw nb::python_error();
    }
    k = ShapeKey{v[0], v[1], v[2]};
    return true;
}

nb::list polygon_list(std::span<const double> xy) {
    const size_t n = xy.size() / 2;
    nb::list l = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(n))).release());
    for (size_t k = 0; k < n; ++k)
        PyList_SET_ITEM(l.ptr(), Py_ssize_t(k), float_pair(xy[2 * k], xy[2 * k + 1]).release().ptr());
    return l;
}

std::shared_ptr<PolygonPool> pool_of(nb::handle obj) {
    PoolView* v = nullptr;
    return nb::try_cast<PoolView*>(obj, v, false) && v ? v->pool : nullptr;
}

std::shared_ptr<ShapeIndex> shape_index_of(nb::handle obj) {
    ShapeIndexView* v = nullptr;
    return nb::try_cast<ShapeIndexView*>(obj, v, false) && v ? v->index : nullptr;
}

nb::object new_pool() { return nb::cast(PoolView{std::make_shared<PolygonPool>()}); }
nb::object new_shape_index() { return nb::cast(ShapeIndexView{std::make_shared<ShapeIndex>()}); }

void bind_pool(nb::module_& m) {
    nb::class_<PoolIterator>(m, "_PolygonPoolIterator")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](PoolIterator& it) {
            if (it.next >= it.pool->size()) {
                PyErr_SetNone(PyExc_StopIteration);
                throw nb::python_error();
            }
            return polygon_list((*it.pool)[it.next++]);
        });

    nb::class_<PoolView>(m, "_PolygonPool",
                         "The polygon pool of a parse: a list of polygons, each a list of (x, y) pairs in "
                         "micrometres, made on reading.")
        .def("__init__", [](PoolView* self) { new (self) PoolView{std::make_shared<PolygonPool>()}; })
        .def("__len__", [](const PoolView& v) { return v.pool->size(); })
        .def("__getitem__", &pool_getitem, "index"_a)
        .def("__iter__", [](const PoolView& v) { return PoolIterator{v.pool, 0}; })
        .def("__eq__", &pool_eq, "other"_a.none())
        .def("__repr__", [](const PoolView& v) { return nb::repr(materialize(*v.pool)); })
        .def("append", [](PoolView& v, nb::handle polygon) { v.pool->append(polygon_values(polygon)); },
             "polygon"_a, "Append a polygon (a sequence of (x, y) pairs).")
        .def("extend",
             [](PoolView& v, nb::handle polygons) {
                 std::vector<std::vector<double>> all;
                 corvane::for_each(polygons, [&](nb::object p) { all.push_back(polygon_values(p)); });
                 for (auto& xy : all) v.pool->append(xy);
             },
             "polygons"_a, "Append polygons.")
        .def("__iadd__",
             [](nb::handle self, nb::handle polygons) {
                 self.attr("extend")(polygons);
                 return nb::borrow(self);
             },
             "polygons"_a)
        .def("__setitem__",
             [](PoolView& v, nb::handle index, nb::handle value) {
                 if (PySlice_Check(index.ptr())) {
                     as_list(v, [&](nb::handle l) {
                         if (PyObject_SetItem(l.ptr(), index.ptr(), value.ptr()) != 0) throw nb::python_error();
                         return nb::none();
                     });
                     return;
                 }
                 const Py_ssize_t k = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
                 if (k == -1 && PyErr_Occurred()) throw nb::python_error();
                 // Converted first: the value's code may change the pool.
                 const std::vector<double> xy = polygon_values(value);
                 v.pool->replace(pool_position(*v.pool, k), xy);
             },
             "index"_a, "polygon"_a.none())
        .def("__delitem__",
             [](PoolView& v, nb::handle index) {
                 as_list(v, [&](nb::handle l) {
                     if (PyObject_DelItem(l.ptr(), index.ptr()) != 0) throw nb::python_error();
                     return nb::none();
                 });
             },
             "index"_a)
        .def("insert", [](PoolView& v, nb::handle i, nb::handle p) { as_list(v, [&](nb::handle l) { return list_method(l, "insert", {i, p}); }); },
             "index"_a, "polygon"_a.none())
        .def("pop",
             [](PoolView& v, nb::handle i) {
                 return as_list(v, [&](nb::handle l) { return i.is_none() ? list_method(l, "pop", {}) : list_method(l, "pop", {i}); });
             },
             "index"_a.none() = nb::none())
        .def("remove", [](PoolView& v, nb::handle p) { as_list(v, [&](nb::handle l) { return list_method(l, "remove", {p}); }); },
             "polygon"_a.none())
        .def("reverse", [](PoolView& v) { as_list(v, [&](nb::handle l) { return list_method(l, "reverse", {}); }); })
        .def("clear", [](PoolView& v) { v.pool->clear(); })
        .def("copy", [](const PoolView& v) { return materialize(*v.pool); })
        .def("__contains__",
             [](const PoolView& v, nb::handle polygon) {
                 for (size_t k = 0; k < v.pool->size(); ++k)
                     if (equals(polygon_list((*v.pool)[k]), polygon)) return true;
                 return false;
             },
             "polygon"_a.none())
        .def("__add__",
             [](const PoolView& v, nb::handle other) -> nb::object {
                 if (!PyList_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
                 return own(PyNumber_Add(materialize(*v.pool).ptr(), other.ptr()));
             },
             "other"_a.none())
        .def("__radd__",
             [](const PoolView& v, nb::handle other) -> nb::object {
                 if (!PyList_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
                 return own(PyNumber_Add(other.ptr(), materialize(*v.pool).ptr()));
             },
             "other"_a.none())
        .def("__mul__", [](const PoolView& v, nb::handle n) { return own(PyNumber_Multiply(materialize(*v.pool).ptr(), n.ptr())); },
             "n"_a.none())
        .def("__rmul__", [](const PoolView& v, nb::handle n) { return own(PyNumber_Multiply(materialize(*v.pool).ptr(), n.ptr())); },
             "n"_a.none())
        .def("index",
             [](const PoolView& v, nb::handle polygon, nb::handle start, nb::handle stop) {
                 return list_method(materialize(*v.pool), "index", {polygon, start, stop});
             },
             "polygon"_a.none(), "start"_a.none() = 0, "stop"_a.none() = PY_SSIZE_T_MAX)
        .def("count",
             [](const PoolView& v, nb::handle polygon) {
                 size_t n = 0;
                 for (size_t k = 0; k < v.pool->size(); ++k) n += equals(polygon_list((*v.pool)[k]), polygon);
                 return n;
             },
             "polygon"_a.none())
        .def("__copy__", [](const PoolView& v) { return materialize(*v.pool); })
        .def("__deepcopy__", [](const PoolView& v, nb::handle) { return materialize(*v.pool); }, "memo"_a.none())
        .def("__reduce__", [](const PoolView& v) {
            return nb::make_tuple(nb::module_::import_("builtins").attr("list"), nb::make_tuple(materialize(*v.pool)));
        });

    nb::class_<IndexIterator>(m, "_ShapeIndexIterator")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](IndexIterator& it) {
            if (it.index->size() != it.size)
                corvane::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (it.next >= it.index->size()) {
                PyErr_SetNone(PyExc_StopIteration);
                throw nb::python_error();
            }
            return key_tuple(it.index->key(it.next++));
        });

    nb::module_ abc = nb::module_::import_("collections.abc");
    nb::object keys_view = abc.attr("KeysView"), values_view = abc.attr("ValuesView"), items_view = abc.attr("ItemsView");
    nb::class_<ShapeIndexView>(m, "_ShapeIndex",
                               "Which pool entry holds the polygon of a shape: a dict from "
                               "(cell index, layer index, shape position) to pool index, in insertion order.")
        .def("__init__", [](ShapeIndexView* self) { new (self) ShapeIndexView{std::make_shared<ShapeIndex>()}; })
        .def("__len__", [](const ShapeIndexView& v) { return v.index->size(); })
        .def("__getitem__", &index_getitem, "key"_a.none())
        .def("__contains__", &index_contains, "key"_a.none())
        .def("__iter__", [](const ShapeIndexView& v) { return IndexIterator{v.index, 0, v.index->size()}; })
        .def("get",
             [](const ShapeIndexView& v, nb::handle key, nb::handle fallback) -> nb::object {
                 ShapeKey k;
                 const int64_t value = shape_key_of(key, k) ? v.index->find(k) : -1;
                 return value < 0 ? nb::borrow(fallback) : nb::int_(value);
             },
             "key"_a.none(), "default"_a.none() = nb::none())
        .def("__setitem__", &index_setitem, "key"_a.none(), "value"_a.none())
        .def("__delitem__",
             [](ShapeIndexView& v, nb::handle key) {
                 ShapeKey k;
                 if (!shape_key_of(key, k) || !v.index->erase(k)) key_error(key);
             },
             "key"_a.none())
        .def("pop",
             [](ShapeIndexView& v, nb::handle key, nb::args fallback) -> nb::object {
                 ShapeKey k;
                 const int64_t value = shape_key_of(key, k) ? v.index->find(k) : -1;
                 if (value < 0) {
                     if (fallback.size() == 0) key_error(key);
                     return fallback[0];
                 }
                 v.index->erase(k);
                 return nb::int_(value);
             },
             "key"_a.none(), "default"_a)
        .def("popitem",
             [](ShapeIndexView& v) {
                 if (v.index->size() == 0) corvane::raise(PyExc_KeyError, "popitem(): dictionary is empty");
                 const ShapeKey k = v.index->key(v.index->size() - 1);
                 const int64_t value = v.index->find(k);
                 v.index->erase(k);
                 return nb::make_tuple(key_tuple(k), value);
             })
        .def("setdefault",
             [](ShapeIndexView& v, nb::handle key, nb::handle fallback) -> nb::object {
                 ShapeKey k;
                 const int64_t value = shape_key_of(key, k) ? v.index->find(k) : -1;
                 if (value >= 0) return nb::int_(value);
                 index_setitem(v, key, fallback);
                 return nb::borrow(fallback);
             },
             "key"_a.none(), "default"_a.none() = nb::none())
        .def("update", [](ShapeIndexView& v, nb::handle other) { index_update(v, other); }, "other"_a.none() = nb::tuple())
        .def("clear", [](ShapeIndexView& v) { v.index->clear(); })
        .def("copy", [](const ShapeIndexView& v) { return index_dict(*v.index); })
        .def("__or__",
             [](const ShapeIndexView& v, nb::handle other) -> nb::object {
                 if (!PyDict_Check(other.ptr()) && !shape_index_of(other)) return nb::borrow(Py_NotImplemented);
                 nb::dict out = index_dict(*v.index);
                 out.attr("update")(other);
                 return out;
             },
             "other"_a.none())
        .def("__ror__",
             [](const ShapeIndexView& v, nb::handle other) -> nb::object {
                 if (!PyDict_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
                 nb::dict out = nb::steal<nb::dict>(own(PyDict_Copy(other.ptr())).release());
                 out.attr("update")(index_dict(*v.index));
                 return out;
             },
             "other"_a.none())
        .def("__ior__",
             [](nb::handle self, nb::handle other) {
                 index_update(nb::cast<ShapeIndexView&>(self), other);
                 return nb::borrow(self);
             },
             "other"_a.none())
        .def("keys", [keys_view](nb::handle self) { return keys_view(self); })
        .def("values", [values_view](nb::handle self) { return values_view(self); })
        .def("items", [items_view](nb::handle self) { return items_view(self); })
        .def("__eq__", &index_eq, "other"_a.none())
        .def("__repr__", [](const ShapeIndexView& v) { return nb::repr(index_dict(*v.index)); })
        .def("__copy__", [](const ShapeIndexView& v) { return index_dict(*v.index); })
        .def("__deepcopy__", [](const ShapeIndexView& v, nb::handle) { return index_dict(*v.index); }, "memo"_a.none())
        .def("__reduce__", [](const ShapeIndexView& v) {
            return nb::make_tuple(nb::module_::import_("builtins").attr("dict"), nb::make_tuple(index_dict(*v.index)));
        });

    // Unhashable, as the list and dict they stand for; registered as such.
    for (const char* name : {"_PolygonPool", "_ShapeIndex"}) m.attr(name).attr("__hash__") = nb::none();
    abc.attr("MutableSequence").attr("register")(m.attr("_PolygonPool"));
    abc.attr("MutableMapping").attr("register")(m.attr("_ShapeIndex"));
}

}  // namespace lumino
