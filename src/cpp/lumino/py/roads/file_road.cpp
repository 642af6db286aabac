// to_3D_viewer's direct road: the file read by the core's reader, parsed and
// combined in the core, and the part tree made into the same records that
// ParseGDS, its exports and to_viewer make of KLayout's read of the file.
#include "lumino/py/roads/file_road.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "lumino/core/model/parsed_view.hpp"
#include "lumino/py/budget.hpp"
#include "lumino/py/checks.hpp"
#include "lumino/py/read/direct_py.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/encode.hpp"
#include "lumino/py/layer_slots.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/roads/record_sink.hpp"
#include "lumino/py/simplify/simplifier.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

uint32_t pair_key(int64_t layer, int64_t datatype) { return uint32_t(layer) << 16 | uint32_t(datatype); }

// The (layer, datatype) pairs of a layer table's keys that are two integers
// in GDS2's range; other keys name no layer of a file.
std::vector<std::pair<int32_t, int32_t>> table_pairs(nb::handle layers) {
    std::vector<std::pair<int32_t, int32_t>> out;
    for (nb::handle key : snapshot(layers)) {
        if (!PyTuple_Check(key.ptr()) || PyTuple_GET_SIZE(key.ptr()) != 2) continue;
        long long v[2];
        bool ok = true;
        for (Py_ssize_t k = 0; k < 2 && ok; ++k) {
            PyObject* index = PyNumber_Index(PyTuple_GET_ITEM(key.ptr(), k));
            if (!index) {
                PyErr_Clear();
                ok = false;
                break;
            }
            v[k] = PyLong_AsLongLong(index);
            Py_DECREF(index);
            if (v[k] == -1 && PyErr_Occurred()) PyErr_Clear(), ok = false;
        }
        if (ok && v[0] >= 0 && v[0] <= 0xffff && v[1] >= 0 && v[1] <= 0xffff)
            out.emplace_back(int32_t(v[0]), int32_t(v[1]));
    }
    return out;
}

// The layers of the file that the table holds, as the parser's layer map
// finds them (Python's containment); false when one of them was not kept.
bool find_known(nb::handle layers, const std::unordered_set<uint32_t>& kept, FileLayout& file) {
    file.known.clear();
    for (size_t k = 0; k < file.layout.layers.size(); ++k) {
        const core::LayerInfo& l = file.layout.layers[k];
        nb::object pair = nb::make_tuple(l.layer, l.datatype);
        const int has = PySequence_Contains(layers.ptr(), pair.ptr());
        if (has < 0) throw nb::python_error();
        if (!has) continue;
        if (!kept.count(pair_key(l.layer, l.datatype))) return false;
        file.known.push_back(k);
    }
    return true;
}

// The objects of the parts of a parse held in the core: cell names, new
// polygon lists and placement matrices.
class ParseSource : public PartSource {
  public:
    explicit ParseSource(const core::ParsedView& view) : view_(view), arrays_(module_attr("np")) {}

    nb::handle node_name(uint32_t node) override {
        const core::CellData* cell = view_.cells[node];
        auto [it, added] = names_.try_emplace(cell);
        if (added) it->second = from_utf8(cell->name);
        return it->second;
    }

    nb::object refs(uint32_t list) override { return int_list(*view_.lists[list]); }

    nb::object matrices(uint32_t node) override {
        if (node != cached_) {
            cached_ = node;
            core::float_matrices(*view_.places[view_.tree.nodes[node].placements], values_,
                                 view_.cells[node]->name);
        }
        return arrays_.make(values_.size(), [&](float* out) {
            if (!values_.empty()) std::memcpy(out, values_.data(), values_.size() * sizeof(float));
        });
    }

  private:
    const core::ParsedView& view_;
    Float32Arrays arrays_;
    std::unordered_map<const core::CellData*, nb::object> names_;
    uint32_t cached_ = UINT32_MAX;
    core::Floats values_;
};

}  // namespace

bool read_file_directly(nb::handle gds_file, nb::handle layers, FileLayout& out, core::CellSink* cells) {
    std::vector<std::pair<int32_t, int32_t>> pairs;
    try {
        pairs = table_pairs(layers);
    } catch (nb::python_error& e) {
        // A table that cannot be walked: the parser's checks will say so.
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    std::unordered_set<uint32_t> kept;
    for (const auto& [layer, datatype] : pairs) kept.insert(pair_key(layer, datatype));
    if (!read_directly(gds_file, std::move(pairs), out.layout, cells)) return false;
    return find_known(layers, kept, out);
}

std::optional<nb::object> viewer_of_file(nb::handle gds_file, nb::handle output, nb::handle layers, double z_scale,
                                         nb::handle curve_tolerance, nb::handle exclude_layers, nb::handle as_dict) {
    FileLayout file;
    if (!read_file_directly(gds_file, layers, file)) return std::nullopt;
    // What ParseGDS checks, then the output, as to_3D_viewer does after the read.
    check_parser_values(layers, z_scale, curve_tolerance, exclude_layers);
    nb::object Output = module_attr("Output");
    const bool by_cell = equals(output, Output.attr("CELL"));
    if (!by_cell && !equals(output, Output.attr("LAYER")))
        corvane::raise(PyExc_ValueError, "Only Output.CELL and Output.LAYER are allowed");
    const std::optional<double> tolerance = tolerance_of(curve_tolerance);
    const core::Simplifier simplify = tolerance ? outline_simplifier() : core::Simplifier();

    core::ParseInput in;
    in.layout = &file.layout;
    in.consume = true;
    in.keep_keys = false;
    in.layers = file.known;
    in.tops = file.layout.top_cells;
    in.unit = tx::unit_of_dbu(file.layout.dbu);
    in.tolerance = tolerance;
    core::ParseTree t;
    uint32_t missing = 0;
    if (!core::parse(in, simplify, t, missing)) {
        PyErr_SetObject(PyExc_KeyError, nb::int_(missing).ptr());
        throw nb::python_error();
    }
    LayerSlots slots(LayerLookups{nb::borrow(layers), z_scale}, exclude_layers);
    for (size_t k : file.known)
        slots.add(nb::make_tuple(file.layout.layers[k].layer, file.layout.layers[k].datatype));
    file.layout = core::Layout();
    core::ParsedView view;
    core::view_parse(t, by_cell, uint32_t(file.known.size()), view);

    nb::object result = by_cell ? module_attr("ViewerData")("name"_a = "Cells", "id"_a = "/Cells")
                                : module_attr("ViewerData")("name"_a = "Layers", "id"_a = "/Layers");
    check_part_tree(view.tree, slots.views(), by_cell);
    {
        ParseSource source(view);
        nb::list cell_parts;
        RecordSink sink(view.tree, source, slots,
                        by_cell ? nb::handle(cell_parts) : nb::handle(nb::object(result.attr("parts"))), by_cell);
        if (by_cell) {
            core::build_by_cell(view.tree, slots.views(), sink);
            result.attr("parts") = cell_parts;
        } else {
            core::build_by_layer(view.tree, slots.views(), sink);
        }
    }
    view = core::ParsedView();
    t.nodes.clear();
    t.cells.clear();

    // The pool, as float32 arrays in order of first extraction.
    Float32Arrays arrays(module_attr("np"));
    nb::object instances = result.attr("instances");
    std::vector<float> values;
    for (core::Outline& o : t.added) {
        values.assign(o.begin(), o.end());
        core::Outline().swap(o);
        append(instances, arrays.make(values.size(), [&](float* out) {
            if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(float));
        }));
    }
    const int dict_form = PyObject_IsTrue(as_dict.ptr());
    if (dict_form < 0) throw nb::python_error();
    if (dict_form) return asdict(result);
    return result;
}

}  // namespace lumino
