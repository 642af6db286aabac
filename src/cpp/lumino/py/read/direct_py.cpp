// lumino._read_layout and lumino._list_stream: the direct readers (GDS2,
// OASIS) seen from Python, reading a file or listing a stream, as plain
// values, so that tests and benchmarks can hold them against KLayout
// (private: the entry points do not use them); and the facts from the Python
// side a caller of the reader passes it.
#include "lumino/py/read/direct_py.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/layout_file.hpp"

namespace lumino {

using namespace nb::literals;

std::string installed_klayout_version() {
    // Imported: its own word.
    if (PyObject* found = PyDict_GetItemString(PyImport_GetModuleDict(), "klayout")) {
        const nb::object klayout = nb::borrow(found);  // held while its attribute is read
        if (PyObject* v = PyObject_GetAttrString(klayout.ptr(), "__version__")) {
            const nb::object owned = nb::steal(v);
            if (PyUnicode_Check(v)) return nb::cast<std::string>(owned);
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            throw nb::python_error();
        }
    }
    // The host's look-up reads the package metadata without importing
    // importlib.metadata, which would cost more than a small file's read.
    nb::object version = nb::module_::import_("corvane.core.versions").attr("installed_version")("klayout");
    return version.is_none() ? std::string() : nb::cast<std::string>(version);
}

std::vector<std::string> registered_libraries() {
    std::vector<std::string> names;
    nb::object modules = nb::module_::import_("sys").attr("modules");
    nb::object db = modules.attr("get")("klayout.dbcore");
    if (db.is_none()) db = modules.attr("get")("klayout.db");
    if (db.is_none()) return names;
    for (nb::handle name : db.attr("Library").attr("library_names")()) names.push_back(nb::cast<std::string>(name));
    return names;
}

bool read_directly(nb::handle path, std::vector<std::pair<int32_t, int32_t>> pairs, core::Layout& out,
                   core::CellSink* cells) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(path.ptr()) ? PyUnicode_AsUTF8AndSize(path.ptr(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();  // lone surrogates: KLayout has the say
        return false;
    }
    core::GdsReadOptions options;
    options.all_layers = false;
    options.layers = std::move(pairs);
    options.klayout_version = installed_klayout_version();
    if (!core::layout_reader_supports(options.klayout_version)) return false;
    options.libraries = registered_libraries();
    options.cells = cells;
    const std::string file(utf8, size_t(size));
    std::string reason;
    nb::gil_scoped_release unlocked;
    return core::read_layout_file(file, options, out, reason);
}

namespace {

std::vector<std::string> string_list(nb::handle value, const char* argument) {
    std::vector<std::string> out;
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        corvane::wrong_type(argument, "a list of str or None", value);
    for (nb::handle item : nb::borrow<nb::sequence>(value)) {
        if (!PyUnicode_Check(item.ptr())) corvane::wrong_type(argument, "a list of str or None", value);
        out.push_back(nb::cast<std::string>(item));
    }
    return out;
}

// (layer, datatype) pairs from any iterable of two-integer sequences.
std::vector<std::pair<int32_t, int32_t>> layer_pairs(nb::handle pairs) {
    std::vector<std::pair<int32_t, int32_t>> out;
    nb::object items = nb::steal(PySequence_List(pairs.ptr()));
    if (!items.is_valid()) {
        PyErr_Clear();
        corvane::wrong_type("pairs", "an iterable of (layer, datatype) pairs or None", pairs);
    }
    for (nb::handle item : items) {
        nb::object seq = nb::steal(PySequence_Tuple(item.ptr()));
        long layer = 0, datatype = 0;
        bool ok = seq.is_valid() && PyTuple_GET_SIZE(seq.ptr()) == 2 &&
                  PyLong_Check(PyTuple_GET_ITEM(seq.ptr(), 0)) && PyLong_Check(PyTuple_GET_ITEM(seq.ptr(), 1));
        if (ok) {
            layer = PyLong_AsLong(PyTuple_GET_ITEM(seq.ptr(), 0));
            datatype = PyLong_AsLong(PyTuple_GET_ITEM(seq.ptr(), 1));
            if (PyErr_Occurred()) PyErr_Clear(), ok = false;
        } else if (!seq.is_valid()) {
            PyErr_Clear();
        }
        if (!ok) corvane::wrong_type("pairs", "an iterable of (layer, datatype) pairs or None", pairs);
        // Pairs outside GDS2's range name no layer of a file.
        if (layer < 0 || layer > 0xffff || datatype < 0 || datatype > 0xffff) continue;
        out.emplace_back(int32_t(layer), int32_t(datatype));
    }
    return out;
}

nb::object instance_dict(const core::Instance& inst) {
    const core::Trans& t = inst.trans;
    nb::dict d;
    d["child"] = inst.child;
    d["complex"] = t.complex;
    d["mirror"] = t.mirror;
    d["rot"] = t.rot;
    d["angle"] = t.angle;
    d["mag"] = t.mag;
    d["sin"] = t.sin;
    d["cos"] = t.cos;
    d["dx"] = t.dx;
    d["dy"] = t.dy;
    d["array"] = inst.array;
    d["na"] = inst.na;
    d["nb"] = inst.nb;
    d["a"] = nb::make_tuple(inst.ax, inst.ay);
    d["b"] = nb::make_tuple(inst.bx, inst.by);
    return d;
}

nb::object shapes_list(const core::Shapes& s) {
    nb::list out;
    for (size_t k = 0; k < s.size(); ++k) {
        if (!s.polygon[k]) {
            out.append(nb::none());
            continue;
        }
        const int32_t* xy = s.hull(k);
        nb::list pts;
        for (size_t j = 0; j < s.points(k); ++j) pts.append(nb::make_tuple(xy[2 * j], xy[2 * j + 1]));
        out.append(pts);
    }
    return out;
}

nb::object layout_dict(const core::Layout& layout) {
    nb::dict d;
    d["dbu"] = layout.dbu;
    nb::list layers;
    for (const core::LayerInfo& l : layout.layers) layers.append(nb::make_tuple(l.index, l.layer, l.datatype));
    d["layers"] = layers;
    nb::list cells;
    for (const core::Cell& c : layout.cells) {
        if (!c.exists) {
            cells.append(nb::none());
            continue;
        }
        nb::dict cd;
        cd["name"] = nb::str(c.name.c_str(), c.name.size());
        cd["ghost"] = c.ghost;
        nb::list shapes;
        for (const core::Shapes& s : c.shapes) shapes.append(shapes_list(s));
        cd["shapes"] = shapes;
        nb::list insts;
        for (const core::Instance& inst : c.instances) insts.append(instance_dict(inst));
        cd["instances"] = insts;
        cells.append(cd);
    }
    d["cells"] = cells;
    nb::list top;
    for (uint32_t ci : layout.top_cells) top.append(ci);
    d["top_cells"] = top;
    return d;
}

// Sizes only: what a benchmark needs without building Python objects.
nb::object layout_counts(const core::Layout& layout) {
    size_t shapes = 0, points = 0, instances = 0;
    for (const core::Cell& c : layout.cells) {
        instances += c.instances.size();
        for (const core::Shapes& s : c.shapes) {
            shapes += s.size();
            points += s.xy.size() / 2;
        }
    }
    nb::dict d;
    d["cells"] = layout.cells.size();
    d["layers"] = layout.layers.size();
    d["shapes"] = shapes;
    d["points"] = points;
    d["instances"] = instances;
    return d;
}

nb::object read_layout(nb::handle path, nb::handle pairs, nb::handle klayout_version, nb::handle libraries,
                       bool counts) {
    if (!PyUnicode_Check(path.ptr())) corvane::wrong_type("path", "str", path);
    core::GdsReadOptions options;
    if (!pairs.is_none()) {
        options.all_layers = false;
        options.layers = layer_pairs(pairs);
    }
    if (klayout_version.is_none()) {
        options.klayout_version = installed_klayout_version();
    } else if (PyUnicode_Check(klayout_version.ptr())) {
        options.klayout_version = nb::cast<std::string>(klayout_version);
    } else {
        corvane::wrong_type("klayout_version", "str or None", klayout_version);
    }
    options.libraries = libraries.is_none() ? registered_libraries() : string_list(libraries, "libraries");
    const std::string file = nb::cast<std::string>(path);

    core::Layout layout;
    std::string reason;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = core::read_layout_file(file, options, layout, reason);
    }
    if (!ok) return nb::make_tuple(nb::none(), nb::str(reason.c_str(), reason.size()));
    return nb::make_tuple(counts ? layout_counts(layout) : layout_dict(layout), "");
}

// A stream listed by the reader (GdsReadOptions::listing): per cell its
// shapes per layer, None for a layer not as KLayout holds it, and its
// instances, None when they are not.
nb::object list_stream(nb::handle data) {
    if (!PyBytes_Check(data.ptr())) corvane::wrong_type("data", "bytes", data);
    const nb::object held = nb::borrow(data);  // bytes: immutable while listed
    core::GdsReadOptions options;
    core::StreamListing listing;
    options.listing = &listing;
    core::Layout layout;
    std::string reason;
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(held.ptr()));
    if (!core::read_gds(bytes, size_t(PyBytes_GET_SIZE(held.ptr())), options, layout, reason))
        return nb::make_tuple(nb::none(), nb::str(reason.c_str(), reason.size()));
    nb::dict d;
    nb::list layers;
    for (const core::LayerInfo& l : layout.layers) layers.append(nb::make_tuple(l.index, l.layer, l.datatype));
    d["layers"] = layers;
    nb::list cells;
    for (size_t ci = 0; ci < layout.cells.size(); ++ci) {
        const core::Cell& c = layout.cells[ci];
        nb::dict cd;
        cd["name"] = nb::str(c.name.c_str(), c.name.size());
        cd["ghost"] = c.ghost;
        const std::vector<uint8_t>& as_held = listing.shapes_as_held[ci];
        nb::list shapes;
        for (size_t li = 0; li < c.shapes.size(); ++li)
            shapes.append(li < as_held.size() && !as_held[li] ? nb::none() : shapes_list(c.shapes[li]));
        cd["shapes"] = shapes;
        nb::list insts;
        for (const core::Instance& inst : c.instances) insts.append(instance_dict(inst));
        cd["instances"] = listing.placements_as_held[ci] ? nb::object(insts) : nb::none();
        cells.append(cd);
    }
    d["cells"] = cells;
    return nb::make_tuple(d, "");
}

}  // namespace

void bind_direct(nb::module_& m) {
    m.def("_list_stream", &list_stream, "data"_a.none(),
          nb::sig("def _list_stream(data: bytes) -> tuple[dict[str, Any] | None, str]"),
          "List GDS2 stream bytes (KLayout's own serialisation of a layout, Layout.write_bytes) as the "
          "direct reader lists them for ParseGDS: (listing, '') with each cell's shapes per layer in "
          "stream order (None for a layer whose shapes the stream does not give as KLayout holds them) "
          "and its instances (None likewise), or (None, reason) where the reader cannot list the bytes.");
    m.def("_read_layout", &read_layout, "path"_a.none(), "pairs"_a.none() = nb::none(), nb::kw_only(),
          "klayout_version"_a.none() = nb::none(), "libraries"_a.none() = nb::none(), "counts"_a = false,
          nb::sig("def _read_layout(path: str, pairs: Iterable[tuple[int, int]] | None = None, *, "
                  "klayout_version: str | None = None, libraries: list[str] | None = None, "
                  "counts: bool = False) -> tuple[dict[str, Any] | None, str]"),
          "Read a GDS2 or OASIS file (told by its content) with the direct reader: (layout, '') with "
          "the layout as plain values (a cell index KLayout leaves free as None) "
          "(or only its sizes with counts=True), or (None, reason) where the reader declines and "
          "KLayout's read is needed.  Only the shapes of `pairs` are read when given; the klayout "
          "version defaults to the installed one, the libraries to those registered in KLayout.");
}

}  // namespace lumino
