// Python views of the polygon pool and the shape index.
#include "lumino/pool_py.hpp"

#include <nanobind/stl/shared_ptr.h>

#include <string>
#include <vector>

namespace lumino {

using namespace nb::literals;

namespace {

nb::object float_pair(double x, double y) {
    PyObject* fx = PyFloat_FromDouble(x);
    PyObject* fy = fx ? PyFloat_FromDouble(y) : nullptr;
    PyObject* t = fy ? PyTuple_New(2) : nullptr;
    if (!t) {
        Py_XDECREF(fx);
        Py_XDECREF(fy);
        throw nb::python_error();
    }
    PyTuple_SET_ITEM(t, 0, fx);
    PyTuple_SET_ITEM(t, 1, fy);
    return nb::steal(t);
}

nb::object key_tuple(const ShapeKey& k) { return nb::make_tuple(k.cell, k.layer, k.pos); }

// A key given from Python: a tuple of three integers.
bool key_of(nb::handle obj, ShapeKey& k) {
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

Py_ssize_t length(nb::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

bool equal(nb::handle a, nb::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// ---- the pool ------------------------------------------------------------

nb::list materialize(const PolygonPool& pool) {
    nb::list out = nb::steal<nb::list>(PyList_New(Py_ssize_t(pool.size())));
    if (!out.is_valid()) throw nb::python_error();
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
    nb::object seq = nb::steal(PySequence_Fast(polygon.ptr(), "a polygon must be a sequence of (x, y) pairs"));
    if (!seq.is_valid()) throw nb::python_error();
    std::vector<double> xy;
    nb::object points = nb::steal(PySequence_List(seq.ptr()));
    if (!points.is_valid()) throw nb::python_error();
    for (nb::handle point : points) {
        nb::object pair = nb::steal(PySequence_Fast(point.ptr(), "a polygon point must be an (x, y) pair"));
        if (!pair.is_valid()) throw nb::python_error();
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

nb::object pool_eq(const PoolView& v, nb::handle other) {
    if (auto o = pool_of(other)) return nb::bool_(*o == *v.pool);
    if (!PyList_Check(other.ptr()) && !PyTuple_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
    const PolygonPool& pool = *v.pool;
    if (size_t(length(other)) != pool.size()) return nb::bool_(false);
    nb::object items = nb::steal(PySequence_List(other.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    for (size_t k = 0; k < pool.size(); ++k)
        if (!equal(polygon_list(pool[k]), PyList_GET_ITEM(items.ptr(), Py_ssize_t(k)))) return nb::bool_(false);
    return nb::bool_(true);
}

struct PoolIterator {
    std::shared_ptr<PolygonPool> pool;
    size_t next = 0;
};

// ---- the shape index -----------------------------------------------------

nb::object index_getitem(const ShapeIndexView& v, nb::handle key) {
    ShapeKey k;
    const int64_t value = key_of(key, k) ? v.index->find(k) : -1;
    if (value < 0) {
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    return nb::int_(value);
}

bool index_contains(const ShapeIndexView& v, nb::handle key) {
    ShapeKey k;
    return key_of(key, k) && v.index->find(k) >= 0;
}

nb::dict index_dict(const ShapeIndex& index) {
    nb::dict out;
    for (size_t n = 0; n < index.size(); ++n) out[key_tuple(index.key(n))] = nb::int_(index.value(n));
    return out;
}

nb::object index_eq(const ShapeIndexView& v, nb::handle other) {
    if (auto o = shape_index_of(other)) return nb::bool_(*o == *v.index);
    if (!PyDict_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
    return nb::bool_(equal(index_dict(*v.index), other));
}

struct IndexIterator {
    std::shared_ptr<ShapeIndex> index;
    size_t next = 0;
};

}  // namespace

nb::list polygon_list(std::span<const double> xy) {
    const size_t n = xy.size() / 2;
    nb::list l = nb::steal<nb::list>(PyList_New(Py_ssize_t(n)));
    if (!l.is_valid()) throw nb::python_error();
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
                         "The polygon pool of a parse: a sequence of polygons, each a list of (x, y) "
                         "pairs in micrometres.  Polygons are made on reading; entries are only appended.")
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
        .def("__setitem__",
             [](PoolView& v, Py_ssize_t k, nb::handle polygon) {
                 const size_t at = pool_position(*v.pool, k);
                 v.pool->replace(at, polygon_values(polygon));
             },
             "index"_a, "polygon"_a.none())
        .def("index",
             [](const PoolView& v, nb::handle polygon) {
                 for (size_t k = 0; k < v.pool->size(); ++k)
                     if (equal(polygon_list((*v.pool)[k]), polygon)) return k;
                 corvane::raise(PyExc_ValueError, "polygon is not in the pool");
             },
             "polygon"_a.none())
        .def("count",
             [](const PoolView& v, nb::handle polygon) {
                 size_t n = 0;
                 for (size_t k = 0; k < v.pool->size(); ++k) n += equal(polygon_list((*v.pool)[k]), polygon);
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
            if (it.next >= it.index->size()) {
                PyErr_SetNone(PyExc_StopIteration);
                throw nb::python_error();
            }
            return key_tuple(it.index->key(it.next++));
        });

    nb::class_<ShapeIndexView>(m, "_ShapeIndex",
                               "Which pool entry holds the polygon of a shape: a mapping from "
                               "(cell index, layer index, shape position) to pool index, in insertion order.")
        .def("__init__", [](ShapeIndexView* self) { new (self) ShapeIndexView{std::make_shared<ShapeIndex>()}; })
        .def("__len__", [](const ShapeIndexView& v) { return v.index->size(); })
        .def("__getitem__", &index_getitem, "key"_a.none())
        .def("__contains__", &index_contains, "key"_a.none())
        .def("__iter__", [](const ShapeIndexView& v) { return IndexIterator{v.index, 0}; })
        .def("get",
             [](const ShapeIndexView& v, nb::handle key, nb::handle fallback) -> nb::object {
                 ShapeKey k;
                 const int64_t value = key_of(key, k) ? v.index->find(k) : -1;
                 return value < 0 ? nb::borrow(fallback) : nb::int_(value);
             },
             "key"_a.none(), "default"_a.none() = nb::none())
        .def("__setitem__",
             [](ShapeIndexView& v, nb::handle key, nb::handle value) {
                 ShapeKey k;
                 if (!key_of(key, k))
                     corvane::raise(PyExc_TypeError, "a shape key is a (cell index, layer index, position) tuple");
                 int overflow = 0;
                 const long long n = PyLong_Check(value.ptr()) ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : -1;
                 if (n < 0 || overflow) corvane::raise(PyExc_TypeError, "a pool index is a non-negative integer");
                 v.index->set(k, n);
             },
             "key"_a.none(), "value"_a.none())
        .def("keys", [](const ShapeIndexView& v) { return index_dict(*v.index).attr("keys")(); })
        .def("values", [](const ShapeIndexView& v) { return index_dict(*v.index).attr("values")(); })
        .def("items", [](const ShapeIndexView& v) { return index_dict(*v.index).attr("items")(); })
        .def("__eq__", &index_eq, "other"_a.none())
        .def("__repr__", [](const ShapeIndexView& v) { return nb::repr(index_dict(*v.index)); })
        .def("__copy__", [](const ShapeIndexView& v) { return index_dict(*v.index); })
        .def("__deepcopy__", [](const ShapeIndexView& v, nb::handle) { return index_dict(*v.index); }, "memo"_a.none())
        .def("__reduce__", [](const ShapeIndexView& v) {
            return nb::make_tuple(nb::module_::import_("builtins").attr("dict"), nb::make_tuple(index_dict(*v.index)));
        });

    // Unhashable, as the list and dict they stand for; registered as such.
    nb::module_ abc = nb::module_::import_("collections.abc");
    for (const char* name : {"_PolygonPool", "_ShapeIndex"}) m.attr(name).attr("__hash__") = nb::none();
    abc.attr("Sequence").attr("register")(m.attr("_PolygonPool"));
    abc.attr("Mapping").attr("register")(m.attr("_ShapeIndex"));
}

}  // namespace lumino
