// Entry points of the viewer exporter.  Every outside name (the PDK, KLayout,
// the host's message channel, orjson) and the module's own operations are
// looked up on the module at call time, as module globals would be, so that
// callers and tests can rebind them.
#include "lumino/py/entry.hpp"

#include <optional>
#include <string>

#include "lumino/core/emit/message.hpp"
#include "lumino/py/budget.hpp"
#include "lumino/py/checks.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/layout_path.hpp"
#include "lumino/py/roads/file_road.hpp"
#include "lumino/py/roads/message_road.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

// The argument checks both entry points make before any work; returns
// z_scale as a double.
double checked_arguments(nb::handle gds_file, nb::handle z_scale, nb::handle curve_tolerance,
                         nb::handle exclude_layers) {
    if (!PyUnicode_Check(gds_file.ptr())) wrong_type("gds_file", "a str", gds_file);
    const double z = PyFloat_AsDouble(z_scale.ptr());
    if (z == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        wrong_type("z_scale", "a float (or convertible to one)", z_scale);
    }
    PyObject* tol = curve_tolerance.ptr();
    if (!curve_tolerance.is_none() && !PyFloat_Check(tol) && !(PyLong_Check(tol) && !PyBool_Check(tol)))
        wrong_type("curve_tolerance", "a float or None", curve_tolerance);
    if (!exclude_layers.is_none() && !PyList_Check(exclude_layers.ptr()))
        wrong_type("exclude_layers", "a list or None", exclude_layers);
    check_entry_values(z, curve_tolerance, exclude_layers);
    return z;
}

// `assert` statements run unless the interpreter was started with -O.
bool assertions_enabled() {
    nb::object optimize = nb::module_::import_("sys").attr("flags").attr("optimize");
    return nb::cast<long>(optimize) == 0;
}

void assert_instance(nb::handle obj, const char* vlt_class) {
    if (assertions_enabled() && !is_instance(obj, module_attr("vlt").attr(vlt_class))) corvane::assertion_error();
}

}  // namespace

nb::object to_3D_viewer(nb::handle gds_file, nb::handle output, nb::handle layer_views, nb::handle layer_stack,
                        nb::handle z_scale, nb::handle curve_tolerance, nb::handle exclude_layers,
                        nb::handle as_dict, nb::handle memory_budget) {
    const double z = checked_arguments(gds_file, z_scale, curve_tolerance, exclude_layers);
    check_layer_objects(layer_views, layer_stack);
    BudgetScope budget(memory_budget);
    const nb::object path = checked_layout_path(gds_file);
    // Everything made from here on stays reachable from the result until the
    // call returns: collections in between would only re-scan it.
    corvane::GcPause pause;
    nb::object views = nb::borrow(layer_views), stack = nb::borrow(layer_stack);
    if (views.is_none()) {
        views = module_attr("stockkit").attr("get_layer_views")();
        assert_instance(views, "LayerViews");
    }
    if (stack.is_none()) {
        stack = module_attr("stockkit").attr("get_layer_stack")();
        assert_instance(stack, "LayerStack");
    }
    nb::object layers = module_attr("get_layer_properties")(stack, views);

    if (records_road_open() && file_read_open()) {
        std::optional<nb::object> direct =
            viewer_of_file(path, output, layers, z, curve_tolerance, exclude_layers, as_dict);
        if (direct) return *direct;
    }

    nb::object layout = module_attr("pya").attr("Layout")();
    klayout_read(layout, path);
    nb::object gds = module_attr("ParseGDS")(layout, layers, "z_scale"_a = z, "curve_tolerance"_a = curve_tolerance,
                                             "exclude_layers"_a = exclude_layers);

    nb::object Output = module_attr("Output");
    if (equals(output, Output.attr("CELL")))
        gds.attr("export_cells")("combine"_a = true);
    else if (equals(output, Output.attr("LAYER")))
        gds.attr("export_layers")("combine"_a = true);
    else
        corvane::raise(PyExc_ValueError, "Only Output.CELL and Output.LAYER are allowed");

    nb::object viewer_json = gds.attr("to_viewer")(output);
    const int dict_form = PyObject_IsTrue(as_dict.ptr());
    if (dict_form < 0) throw nb::python_error();
    if (dict_form) return gds.attr("asdict")(viewer_json);
    return viewer_json;
}

nb::dict viewer_config() {
    const std::string_view text = core::kViewerConfig;
    nb::object loads = nb::module_::import_("json").attr("loads");
    return nb::cast<nb::dict>(loads(nb::str(text.data(), text.size())));
}

void show(nb::handle gds_file, nb::handle output, nb::handle z_scale, nb::handle curve_tolerance,
          nb::handle exclude_layers, nb::handle memory_budget) {
    const double z = checked_arguments(gds_file, z_scale, curve_tolerance, exclude_layers);
    BudgetScope budget(memory_budget);
    const nb::object path = checked_layout_path(gds_file);
    corvane::GcPause pause;
    nb::object pdk = module_attr("cvn_pdk").attr("get_pdk")();
    nb::object stack = pdk.attr("layer_stack"), views = pdk.attr("layer_views");
    assert_instance(stack, "LayerStack");
    assert_instance(views, "LayerViews");

    std::optional<nb::object> content;
    if (direct_road_open())
        content = message_of_file(path, output, stack, views, z, curve_tolerance, exclude_layers);
    if (!content) {
        // The plain road: the records, their map form with buffer records,
        // and orjson.
        nb::object fallback = module_attr("shared").attr("none");
        nb::object viewer_json = module_attr("to_3D_viewer")(
            path, output, "layer_stack"_a = stack, "layer_views"_a = views, "z_scale"_a = z_scale,
            "curve_tolerance"_a = curve_tolerance, "exclude_layers"_a = exclude_layers, "as_dict"_a = true);
        nb::object data = module_attr("numpy_to_buffer_json")(viewer_json);
        viewer_json.reset();  // the arrays are not needed once encoded
        nb::dict envelope;
        envelope["type"] = "data";
        envelope["data"] = data;
        envelope["config"] = viewer_config();
        // default and option go by position: orjson may match keyword names by identity.
        content = module_attr("orjson").attr("dumps")(envelope, fallback).attr("decode")("utf-8");
    }
    nb::object message = module_attr("m").attr("LuminoMessage")("content"_a = *content);
    module_attr("comms").attr("send_message")(message);
}

void demonstration() {
    nb::object Path = nb::module_::import_("pathlib").attr("Path");
    nb::object grating_coupler = nb::module_::import_("velloc.components").attr("grating_coupler");
    nb::object component = grating_coupler();
    nb::object file = module_attr("tempfile").attr("NamedTemporaryFile")("suffix"_a = ".gds", "delete"_a = false);
    nb::object path;
    // Close and delete the file, keeping the first error.
    auto clean_up = [&]() {
        file.attr("close")();
        nb::object target = path.is_valid() ? path : Path(file.attr("name"));
        target.attr("unlink")("missing_ok"_a = true);
    };
    try {
        path = Path(file.attr("name")).attr("resolve")();
        component.attr("write_gds")(path);
        file.attr("close")();
        module_attr("lumino")(nb::str(path), "output"_a = module_attr("Output").attr("LAYER"), "z_scale"_a = 1.0,
                              "curve_tolerance"_a = 0.01, "exclude_layers"_a = nb::none());
    } catch (...) {
        try {
            clean_up();
        } catch (...) {
        }
        throw;
    }
    clean_up();
}

}  // namespace lumino
