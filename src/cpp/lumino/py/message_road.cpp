// The message road: the file read with KLayout, the state the message needs
// taken into plain values (layer table, tolerance, exclusion), then the
// core writes the whole message.
#include "lumino/py/message_road.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "lumino/core/json.hpp"
#include "lumino/core/message.hpp"
#include "lumino/py/checks.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/exclusion.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/read_layout.hpp"
#include "lumino/py/shapely_simplify.hpp"

namespace lumino {

using corvane::module_attr;

namespace {

// (owner, name, the object it held when the module was made); never released.
struct Remembered {
    PyObject* owner;
    const char* name;
    PyObject* original;
};

std::vector<Remembered>& remembered() {
    static std::vector<Remembered> r;
    return r;
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

bool plain_text(nb::handle v, std::string& out) {
    if (!PyUnicode_CheckExact(v.ptr())) return false;
    out = to_utf8(v);
    return json::valid_utf8(out);
}

// The message as a Python text.
nb::object text_object(const std::string& s) {
    bool ascii = true;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (!ascii) return own(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "strict"));
    nb::object text = own(PyUnicode_New(Py_ssize_t(s.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.ptr()), s.data(), s.size());
    return text;
}

}  // namespace

void remember_plain_road(nb::module_& m) {
    auto keep = [](nb::handle owner, const char* name) {
        nb::object value = nb::getattr(owner, name);
        remembered().push_back(Remembered{owner.inc_ref().ptr(), name, value.release().ptr()});
    };
    for (const char* name : {"to_3D_viewer", "numpy_to_buffer_json", "get_layer_properties", "ParseGDS", "Output",
                             "np", "fields", "Cell", "Reference", "ParsedCells", "ParsedLayers", "ViewerData",
                             "Parts", "Part", "Shape", "KTrans"})
        keep(m, name);
    nb::handle cls = m.attr("ParseGDS");
    for (const char* name : {"export_cells", "export_layers", "combine_references", "to_viewer", "asdict",
                             "get_name", "get_zmin", "get_height", "get_color", "parse_cells"})
        keep(cls, name);
}

bool direct_road_open() {
    for (const Remembered& r : remembered()) {
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

std::optional<nb::object> message_of_file(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                                          nb::handle layer_views, double z_scale, nb::handle curve_tolerance,
                                          nb::handle exclude_layers) {
    nb::object layers = module_attr("get_layer_properties")(layer_stack, layer_views);
    nb::object layout = module_attr("pya").attr("Layout")();
    layout.attr("read")(gds_file);
    check_parser_arguments(layout, layers, z_scale, curve_tolerance, exclude_layers);
    nb::object Output = module_attr("Output");
    core::MessageSettings settings;
    if (equals(output, Output.attr("CELL")))
        settings.by_cell = true;
    else if (!equals(output, Output.attr("LAYER")))
        corvane::raise(PyExc_ValueError, "Only Output.CELL and Output.LAYER are allowed");
    settings.tolerance = tolerance_of(curve_tolerance);

    // The layer map (the layout's layers that the table knows) and, per
    // pair, what the lookups give.
    const LayerLookups lookups{layers, z_scale};
    Exclusion exclude(exclude_layers);
    ReadRequest request;
    request.layout = layout;
    request.use_stream = true;
    corvane::for_each(layout.attr("layer_indices")(), [&](nb::object index) {
        nb::object info = layout.attr("get_info")(index);
        nb::object pair = nb::make_tuple(info.attr("layer"), info.attr("datatype"));
        if (!contains(layers, pair)) return;
        LayerToRead& l = request.layers.emplace_back();
        l.index = index;
        l.value = nb::cast<uint32_t>(index);
        l.has_pair = true;
        l.layer = nb::cast<int32_t>(info.attr("layer"));
        l.datatype = nb::cast<int32_t>(info.attr("datatype"));
    });
    for (const LayerToRead& l : request.layers) {
        bool known = false;
        for (const core::LayerEntry& e : settings.table) known = known || (e.layer == l.layer && e.datatype == l.datatype);
        if (known) continue;
        nb::object pair = nb::make_tuple(l.layer, l.datatype);
        core::LayerEntry& e = settings.table.emplace_back();
        e.layer = l.layer;
        e.datatype = l.datatype;
        nb::object name = lookups.name(pair);
        e.excluded = exclude(name);
        if (!plain_text(name, e.name) || !plain_float(lookups.height(pair), e.height) ||
            !plain_float(lookups.zmin(pair), e.zmin) || !plain_text(lookups.color(pair), e.color))
            return std::nullopt;
    }
    corvane::for_each(layout.attr("top_cells")(), [&](nb::object cell) { request.tops.push_back(cell); });
    corvane::for_each(layout.attr("each_cell")(), [&](nb::object cell) {
        request.cells.emplace(nb::cast<int64_t>(cell.attr("cell_index")()), cell);
    });

    LayoutRead read = read_layout(request);
    request = ReadRequest();
    std::string text;
    uint32_t missing = 0;
    const core::Simplifier simplify = settings.tolerance ? shapely_simplifier() : core::Simplifier();
    switch (core::message_text(std::move(read.layout), settings, simplify, text, missing)) {
        case core::MessageStatus::ok:
            break;
        case core::MessageStatus::missing_cell:
            PyErr_SetObject(PyExc_KeyError, nb::int_(missing).ptr());
            throw nb::python_error();
        case core::MessageStatus::not_writable:
            return std::nullopt;
    }
    read = LayoutRead();
    return text_object(text);
}

}  // namespace lumino
