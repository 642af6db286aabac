// The layer table: (layer, datatype) -> PdkLayer built from a PDK's layer
// stack and layer views, and the text form (__repr__/__str__) of PdkLayer.
#include "lumino/py/layers.hpp"

#include "common/pyformat.hpp"

namespace lumino {

namespace {

using namespace nb::literals;

// Own a new reference returned by the C API, or raise the pending error.
nb::object checked(PyObject* p) {
    if (!p) throw nb::python_error();
    return nb::steal(p);
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// A module-level outside name, looked up at most once per call and only when
// first needed, so a call that never reaches it does not import it.
class LazyName {
public:
    explicit LazyName(const char* module_attr, const char* attr) : mod_(module_attr), attr_(attr) {}
    nb::handle get() {
        if (!obj_.is_valid()) obj_ = corvane::module_attr(mod_).attr(attr_);
        return obj_;
    }

private:
    const char* mod_;
    const char* attr_;
    nb::object obj_;
};

// One attribute of a PdkLayer as text: floats as format(value, "5.3"),
// everything else as repr(value).
nb::object value_text(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) {
        double d = PyFloat_AS_DOUBLE(value.ptr());
        return nb::str(corvane::format_float_general(d, 3, 5).c_str());
    }
    // A float subclass may bring its own __format__.
    if (PyFloat_Check(value.ptr())) return checked(PyObject_Format(value.ptr(), nb::str("5.3").ptr()));
    return checked(PyObject_Repr(value.ptr()));
}

// ClassName(attr=text, ...) over the instance's attributes in the order they
// were set.
nb::object pdk_layer_repr(nb::handle self) {
    nb::object attrs = checked(PyObject_GetAttrString(self.ptr(), "__dict__"));
    // Snapshot the items: repr() of a value may run code that changes them.
    nb::object items = checked(PySequence_List(attrs.attr("items")().ptr()));

    nb::list parts;
    nb::str eq("=");
    for (nb::handle item : items) {
        nb::object pair = checked(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2)
            corvane::raise(PyExc_ValueError, "attribute item is not a pair");
        nb::object key = checked(PyObject_Str(PyTuple_GET_ITEM(pair.ptr(), 0)));
        nb::object text = value_text(PyTuple_GET_ITEM(pair.ptr(), 1));
        nb::object piece = checked(PyUnicode_Concat(key.ptr(), eq.ptr()));
        parts.append(checked(PyUnicode_Concat(piece.ptr(), text.ptr())));
    }

    nb::object cls_name = nb::handle((PyObject*)Py_TYPE(self.ptr())).attr("__name__");
    nb::object joined = checked(PyUnicode_Join(nb::str(", ").ptr(), parts.ptr()));
    nb::list whole;
    whole.append(cls_name);
    whole.append(nb::str("("));
    whole.append(joined);
    whole.append(nb::str(")"));
    return checked(PyUnicode_Join(nb::str("").ptr(), whole.ptr()));
}

// str() of a PdkLayer is whatever its own __repr__ gives.
nb::object pdk_layer_str(nb::handle self) { return self.attr("__repr__")(); }

// Read `obj.name`; an AttributeError counts as "no name" (null result).
nb::object member_name(nb::handle obj) {
    PyObject* p = PyObject_GetAttrString(obj.ptr(), "name");
    if (p) return nb::steal(p);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

}  // namespace

void attach_pdk_layer_text(nb::handle cls) {
    cls.attr("__repr__") =
        nb::cpp_function(&pdk_layer_repr, nb::is_method(), nb::name("__repr__"), nb::scope(cls));
    cls.attr("__str__") =
        nb::cpp_function(&pdk_layer_str, nb::is_method(), nb::name("__str__"), nb::scope(cls));
}

nb::dict get_layer_properties(nb::handle layer_stack, nb::handle layer_views) {
    LazyName derived_cls("vlt", "DerivedLayer");
    LazyName logical_cls("vlt", "LogicalLayer");
    LazyName layer_enum("ov", "LayerEnum");
    nb::object pdk_layer;

    nb::dict layers;
    nb::object levels = layer_stack.attr("layers").attr("values")();
    for (nb::handle level : levels) {
        // The logical layer of the level: its own, or the one a derivation produces.
        nb::object level_layer = level.attr("layer");
        nb::object layer;
        if (is_instance(level_layer, derived_cls.get())) {
            layer = level.attr("derived_layer");
            if (layer.is_none()) continue;
        } else if (is_instance(level_layer, logical_cls.get())) {
            layer = level_layer;
        } else {
            nb::object type_text = checked(PyObject_Str((PyObject*)Py_TYPE(level_layer.ptr())));
            nb::object msg = checked(PyUnicode_Concat(nb::str("Unknown type ").ptr(), type_text.ptr()));
            PyErr_SetObject(PyExc_TypeError, msg.ptr());
            throw nb::python_error();
        }
        if (!is_instance(layer, logical_cls.get())) continue;

        // Only members of the layer enumeration reach the table (an instance
        // test: a plain pair equal to a member's value is no member).
        nb::object ident = layer.attr("layer");
        if (!is_instance(ident, layer_enum.get())) continue;

        nb::object layer_spec = nb::make_tuple(ident.attr("layer"), ident.attr("datatype"));

        // A missing view (any ordinary error of the lookup) skips the level;
        // interrupts and exits pass through.
        nb::object view;
        try {
            view = layer_views.attr("get_from_tuple")(layer_spec);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            continue;
        }

        nb::object fill = view.attr("fill_color");
        if (fill.is_none()) continue;
        nb::object color = fill.attr("as_hex")();

        nb::object name = member_name(ident);
        if (!name.is_valid()) name = checked(PyObject_Str(layer_spec.ptr()));

        if (!pdk_layer.is_valid()) pdk_layer = corvane::module_attr("PdkLayer");
        // Read in field order, so the first missing one is the one reported.
        nb::object thickness = level.attr("thickness");
        nb::object zmin = level.attr("zmin");
        nb::object record =
            pdk_layer("name"_a = name, "thickness"_a = thickness, "zmin"_a = zmin, "color"_a = color);
        // Later levels replace earlier ones; the key keeps its first position.
        layers[layer_spec] = record;
    }
    return layers;
}

}  // namespace lumino
