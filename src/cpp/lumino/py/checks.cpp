// Entry checks of the viewer exporter's arguments (see checks.hpp).
#include "lumino/py/checks.hpp"

#include <cmath>
#include <string>

#include "lumino/py/edge.hpp"

namespace lumino {

namespace {

[[noreturn]] void fail(PyObject* type, const char* argument, const char* expected, const std::string& got) {
    std::string msg = argument;
    msg += " must be ";
    msg += expected;
    msg += ", not ";
    msg += got;
    corvane::raise(type, msg);
}

std::string repr_text(nb::handle value) { return nb::cast<std::string>(nb::repr(value)); }

bool has(nb::handle obj, const char* name) {
    const int r = PyObject_HasAttrString(obj.ptr(), name);
    return r == 1;
}

bool is_integer(nb::handle v) { return PyLong_Check(v.ptr()) || PyIndex_Check(v.ptr()); }

bool is_pair_of_integers(nb::handle v) {
    return PyTuple_Check(v.ptr()) && PyTuple_GET_SIZE(v.ptr()) == 2 && is_integer(PyTuple_GET_ITEM(v.ptr(), 0)) &&
           is_integer(PyTuple_GET_ITEM(v.ptr(), 1));
}

// A number as the lookups multiply it: int, float, or anything numeric
// (numpy scalars), but not a text or a container.
bool is_number(nb::handle v) {
    return PyFloat_Check(v.ptr()) || PyLong_Check(v.ptr()) || (PyNumber_Check(v.ptr()) && !PyUnicode_Check(v.ptr()));
}

bool is_mapping(nb::handle v) {
    if (PyDict_Check(v.ptr())) return true;
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    return is_instance(v, mapping);
}

void check_layer_table(nb::handle layers) {
    if (!is_mapping(layers)) wrong_type("layers", "a dict mapping (layer, datatype) pairs to PdkLayer", layers);
    for (nb::handle item : items_of(layers)) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
            wrong_type("layers", "a dict mapping (layer, datatype) pairs to PdkLayer", layers);
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0), value = PyTuple_GET_ITEM(item.ptr(), 1);
        if (!is_pair_of_integers(key))
            fail(PyExc_TypeError, "layers", "keyed by (layer, datatype) pairs of integers", "keyed by " + repr_text(key));
        for (const char* member : {"name", "thickness", "zmin", "color"})
            if (!has(value, member)) {
                const std::string what = "layers[" + repr_text(key) + "]";
                wrong_type(what.c_str(), "a PdkLayer (name, thickness, zmin, color)", value);
            }
        for (const char* member : {"thickness", "zmin"}) {
            nb::object v = value.attr(member);
            if (!is_number(v)) {
                const std::string what = "layers[" + repr_text(key) + "]." + member;
                wrong_type(what.c_str(), "a number", v);
            }
        }
    }
}


// A positive finite z scale.
void check_z_scale(double z_scale) {
    if (!(std::isfinite(z_scale) && z_scale > 0.0))
        fail(PyExc_ValueError, "z_scale", "a positive finite number", repr_text(nb::float_(z_scale)));
}

// None, or a list or tuple of texts (a text itself is refused: its letters
// would be taken as patterns one by one).
void check_exclude_layers(nb::handle exclude_layers) {
    if (exclude_layers.is_none()) return;
    if (!PyList_Check(exclude_layers.ptr()) && !PyTuple_Check(exclude_layers.ptr()))
        wrong_type("exclude_layers", "a list of texts or None", exclude_layers);
    nb::object held = nb::borrow(exclude_layers);
    for (nb::handle pattern : snapshot(held))
        if (!PyUnicode_Check(pattern.ptr())) wrong_type("exclude_layers", "a list of texts (layer-name patterns)", pattern);
}

}  // namespace

void check_curve_tolerance(nb::handle tol) {
    if (tol.is_none()) return;
    if (!PyFloat_Check(tol.ptr()) && !(PyLong_Check(tol.ptr()) && !PyBool_Check(tol.ptr())))
        wrong_type("curve_tolerance", "a float or None", tol);
    const double v = PyFloat_AsDouble(tol.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (std::isnan(v) || v < 0.0) fail(PyExc_ValueError, "curve_tolerance", "a non-negative number or None", repr_text(tol));
}

void check_entry_values(double z_scale, nb::handle curve_tolerance, nb::handle exclude_layers) {
    check_z_scale(z_scale);
    check_curve_tolerance(curve_tolerance);
    check_exclude_layers(exclude_layers);
}

void check_parser_arguments(nb::handle layout, nb::handle layers, double z_scale, nb::handle curve_tolerance,
                            nb::handle exclude_layers) {
    for (const char* member : {"layer_indices", "get_info", "each_cell", "top_cells"})
        if (!has(layout, member)) wrong_type("layout", "a KLayout Layout", layout);
    check_parser_values(layers, z_scale, curve_tolerance, exclude_layers);
}

void check_parser_values(nb::handle layers, double z_scale, nb::handle curve_tolerance, nb::handle exclude_layers) {
    check_layer_table(layers);
    check_z_scale(z_scale);
    check_curve_tolerance(curve_tolerance);
    check_exclude_layers(exclude_layers);
}

void check_layer_objects(nb::handle layer_views, nb::handle layer_stack) {
    if (!layer_views.is_none() && !has(layer_views, "get_from_tuple"))
        wrong_type("layer_views", "a vlt.LayerViews (with get_from_tuple) or None", layer_views);
    if (!layer_stack.is_none() && !has(layer_stack, "layers"))
        wrong_type("layer_stack", "a vlt.LayerStack (with layers) or None", layer_stack);
}

void check_layer_spec(nb::handle layer_spec) {
    if (!is_pair_of_integers(layer_spec)) {
        if (PyTuple_Check(layer_spec.ptr()))
            fail(PyExc_TypeError, "layer_spec", "a (layer, datatype) pair of integers", repr_text(layer_spec));
        wrong_type("layer_spec", "a (layer, datatype) pair of integers", layer_spec);
    }
}

void check_polygon(nb::handle polygon) {
    if (!is_instance(polygon, corvane::module_attr("kdb").attr("Polygon")))
        wrong_type("polygon", "a KLayout Polygon", polygon);
}

void check_own_cell(nb::handle layout, nb::handle cell) {
    if (!has(cell, "cell_index") || !has(cell, "layout")) wrong_type("cell", "a KLayout Cell", cell);
    nb::object owner = cell.attr("layout")();
    if (!owner.is(layout) && !equals(owner, layout))
        corvane::raise(PyExc_ValueError, "cell must be a cell of the parser's layout");
}

}  // namespace lumino
