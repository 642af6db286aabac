// The message road: the file read by the core's reader (or by KLayout where
// it declines), the state the message needs taken into plain values (layer
// table, tolerance, exclusion), then the core makes the whole message and
// writes it into the text that is sent.
#include "lumino/py/roads/message_road.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lumino/core/emit/json.hpp"
#include "lumino/core/emit/message.hpp"
#include "lumino/core/simplify/presimplify.hpp"
#include "lumino/py/budget.hpp"
#include "lumino/py/checks.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/exclusion.hpp"
#include "lumino/py/layout_path.hpp"
#include "lumino/py/roads/file_road.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/roads/stream_road.hpp"
#include "lumino/py/simplify/simplifier.hpp"
#include "lumino/py/simplify/simplify_py.hpp"

namespace lumino {

using corvane::module_attr;

namespace {

// Which roads use a name: while none of the names a road uses has been
// rebound, the road gives what the plain one would.
enum Road : unsigned {
    kMessage = 1,  // lumino's message made in the core
    kRecords = 2,  // to_3D_viewer's records of a parse made in the core
    kReading = 4,  // the file read by the core's reader instead of KLayout
};

// (owner, name, the object it held when the module was made, the roads
// that use it); never released.
struct Remembered {
    PyObject* owner;
    const char* name;
    PyObject* original;
    unsigned roads;
};

std::vector<Remembered>& remembered() {
    static std::vector<Remembered> r;
    return r;
}

bool unchanged(unsigned road) {
    for (const Remembered& r : remembered()) {
        if (!(r.roads & road)) continue;
        PyObject* now = PyObject_GetAttrString(r.owner, r.name);
        if (!now) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(now);
        if (now != r.original) return false;
    }
    return true;
}

bool contains(nb::handle mapping, nb::handle key) {
    const int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// A float exactly as the record road holds it, with a text every encoder
// release writes alike.
bool plain_float(nb::handle v, double& out) {
    if (!PyFloat_CheckExact(v.ptr())) return false;
    out = PyFloat_AS_DOUBLE(v.ptr());
    return json::positional(out);
}

// The tolerance the message will simplify at, where it can be told before
// the read without running any Python: a float or an int that is finite and
// not negative (anything else is left to the checks after the read).
std::optional<double> plain_tolerance(nb::handle curve_tolerance) {
    if (!PyFloat_CheckExact(curve_tolerance.ptr()) && !PyLong_CheckExact(curve_tolerance.ptr())) return std::nullopt;
    const double v = PyFloat_AsDouble(curve_tolerance.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!std::isfinite(v) || v < 0.0) return std::nullopt;
    return v;
}

bool plain_text(nb::handle v, std::string& out) {
    if (!PyUnicode_CheckExact(v.ptr())) return false;
    out = to_utf8(v);
    return json::valid_utf8(out);
}

// The message's text, written straight into a new Python text of its exact
// length (ASCII: one byte per character); other UTF-8 is decoded from a
// buffer.
nb::object text_object(core::Message& message) {
    const size_t size = message.size();
    core::release_free_memory(size);  // what the parse freed, before the text takes its room
    auto fault = [] {
        corvane::raise(PyExc_RuntimeError, "lumino: the message text did not come out at its counted size");
    };
    if (message.ascii() && size > 0) {
        nb::object text = own(PyUnicode_New(Py_ssize_t(size), 127));
        if (!message.write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())))) fault();
        return text;
    }
    std::string utf8(size, '\0');
    if (!message.write(utf8.data())) fault();
    return own(PyUnicode_DecodeUTF8(utf8.data(), Py_ssize_t(utf8.size()), "strict"));
}

}  // namespace

void remember_plain_road(nb::module_& m) {
    auto keep = [](nb::handle owner, const char* name, unsigned roads) {
        nb::object value = nb::getattr(owner, name);
        remembered().push_back(Remembered{owner.inc_ref().ptr(), name, value.release().ptr(), roads});
    };
    for (const char* name : {"to_3D_viewer", "numpy_to_buffer_json"}) keep(m, name, kMessage);
    for (const char* name : {"get_layer_properties", "ParseGDS", "Output", "np", "fields", "Cell", "Reference",
                             "ParsedCells", "ParsedLayers", "ViewerData", "Parts", "Part", "Shape", "KTrans"})
        keep(m, name, kMessage | kRecords);
    for (const char* name : {"pya", "kdb"}) keep(m, name, kReading);
    nb::handle cls = m.attr("ParseGDS");
    for (const char* name : {"export_cells", "export_layers", "combine_references", "to_viewer", "asdict",
                             "get_name", "get_zmin", "get_height", "get_color", "parse_cells"})
        keep(cls, name, kMessage | kRecords);
}

bool direct_road_open() { return unchanged(kMessage); }
bool records_road_open() { return unchanged(kRecords); }
bool file_read_open() { return unchanged(kReading); }

std::optional<nb::object> message_of_file(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                                          nb::handle layer_views, double z_scale, nb::handle curve_tolerance,
                                          nb::handle exclude_layers) {
    nb::object layers = module_attr("get_layer_properties")(layer_stack, layer_views);
    auto settings_of_output = [&](core::MessageSettings& settings) {
        nb::object Output = module_attr("Output");
        if (equals(output, Output.attr("CELL")))
            settings.by_cell = true;
        else if (!equals(output, Output.attr("LAYER")))
            corvane::raise(PyExc_ValueError, "Only Output.CELL and Output.LAYER are allowed");
        settings.tolerance = tolerance_of(curve_tolerance);
    };

    // The layout: read by the core's reader, else by KLayout (and taken
    // from it), with the (layer, datatype) pairs of its layers that the
    // table holds, in layer order.
    core::MessageSettings settings;
    settings.memory_budget = memory_budget();
    core::Layout layout;
    std::vector<std::pair<int32_t, int32_t>> pairs;
    FileLayout file;
    // The core's reader hands each cell to the exact simplifier as soon as
    // it is read, on the cores the read leaves free (declared after the
    // layout it reads from: its threads stop first).
    std::optional<simplify::Rules> rules;
    bool rules_decided = false;
    std::optional<core::Presimplifier> presimplifier;
    const bool read_open = file_read_open();
    if (read_open) {
        if (const std::optional<double> tolerance = plain_tolerance(curve_tolerance)) {
            rules = installed_geos_rules();
            rules_decided = true;
            const unsigned cores = std::thread::hardware_concurrency();
            if (rules) presimplifier.emplace(*tolerance, *rules, cores > 1 ? cores - 1 : 0);
        }
    }
    if (read_open && read_file_directly(gds_file, layers, file, presimplifier ? &*presimplifier : nullptr)) {
        if (presimplifier) {
            nb::gil_scoped_release unlocked;
            presimplifier->finish();
        }
        check_parser_values(layers, z_scale, curve_tolerance, exclude_layers);
        settings_of_output(settings);
        for (size_t k : file.known) pairs.emplace_back(file.layout.layers[k].layer, file.layout.layers[k].datatype);
        layout = std::move(file.layout);
    } else {
        presimplifier.reset();  // its threads stop before KLayout reads
        nb::object klayout = module_attr("pya").attr("Layout")();
        klayout_read(klayout, gds_file);
        check_parser_arguments(klayout, layers, z_scale, curve_tolerance, exclude_layers);
        settings_of_output(settings);
        ReadRequest request;
        request.layout = klayout;
        request.use_stream = true;
        corvane::for_each(klayout.attr("layer_indices")(), [&](nb::object index) {
            nb::object info = klayout.attr("get_info")(index);
            nb::object pair = nb::make_tuple(info.attr("layer"), info.attr("datatype"));
            if (!contains(layers, pair)) return;
            LayerToRead& l = request.layers.emplace_back();
            l.index = index;
            l.value = nb::cast<uint32_t>(index);
            l.has_pair = true;
            l.layer = nb::cast<int32_t>(info.attr("layer"));
            l.datatype = nb::cast<int32_t>(info.attr("datatype"));
            pairs.emplace_back(l.layer, l.datatype);
        });
        corvane::for_each(klayout.attr("top_cells")(), [&](nb::object cell) { request.tops.push_back(cell); });
        corvane::for_each(klayout.attr("each_cell")(), [&](nb::object cell) {
            request.cells.emplace(nb::cast<int64_t>(cell.attr("cell_index")()), cell);
        });
        layout = read_layout(request).layout;
    }
    core::Simplifier simplify;
    if (settings.tolerance) simplify = rules_decided ? outline_simplifier(rules) : outline_simplifier();

    // Per pair, what the lookups give.
    const LayerLookups lookups{layers, z_scale};
    Exclusion exclude(exclude_layers);
    for (const auto& [layer, datatype] : pairs) {
        bool known = false;
        for (const core::LayerEntry& e : settings.table) known = known || (e.layer == layer && e.datatype == datatype);
        if (known) continue;
        nb::object pair = nb::make_tuple(layer, datatype);
        core::LayerEntry& e = settings.table.emplace_back();
        e.layer = layer;
        e.datatype = datatype;
        nb::object name = lookups.name(pair);
        e.excluded = exclude(name);
        if (!plain_text(name, e.name) || !plain_float(lookups.height(pair), e.height) ||
            !plain_float(lookups.zmin(pair), e.zmin) || !plain_text(lookups.color(pair), e.color))
            return std::nullopt;
    }

    core::Message message;
    uint32_t missing = 0;
    switch (message.make(std::move(layout), settings, simplify, missing, presimplifier ? &*presimplifier : nullptr)) {
        case core::MessageStatus::ok:
            break;
        case core::MessageStatus::missing_cell:
            PyErr_SetObject(PyExc_KeyError, nb::int_(missing).ptr());
            throw nb::python_error();
        case core::MessageStatus::not_writable:
            return std::nullopt;
        case core::MessageStatus::too_large:
            refuse_memory(message.refusal());
    }
    return text_object(message);
}

}  // namespace lumino
