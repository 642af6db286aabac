// Exports of the parse result (cell-wise and layer-wise) and reference
// combining: references to the same cell merge into one that carries every
// placement relative to the top cell.
#include <vector>

#include "lumino/ktrans.hpp"
#include "lumino/parse.hpp"
#include "lumino/records.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool non_empty(nb::handle seq) {
    Py_ssize_t n = PyObject_Length(seq.ptr());
    if (n < 0) throw nb::python_error();
    return n > 0;
}

bool has_content(nb::handle tree) {
    return non_empty(tree.attr("polygons")) || non_empty(tree.attr("references"));
}

// `references` with one reference per child cell, in order of first
// occurrence; each keeps the first member of its group and gets the
// placements of all members, composed with `parent_trans` (parent first).
nb::list combine_level(nb::handle references, nb::handle parent_trans) {
    nb::dict position;  // cell_index -> group number
    std::vector<std::vector<nb::object>> groups;
    for (nb::handle ref : references) {
        nb::object index = ref.attr("cell_index");
        PyObject* hit = PyDict_GetItemWithError(position.ptr(), index.ptr());
        if (!hit && PyErr_Occurred()) throw nb::python_error();
        if (hit) {
            groups[nb::cast<size_t>(nb::handle(hit))].push_back(nb::borrow(ref));
        } else {
            position[index] = groups.size();
            groups.push_back({nb::borrow(ref)});
        }
    }
    nb::list result;
    for (auto& refs : groups) {
        nb::object ref0 = refs.front();
        nb::list trans;
        for (nb::object& r : refs) multiply_into(trans, parent_trans, r.attr("trans"));
        nb::object children = ref0.attr("references");
        if (non_empty(children)) ref0.attr("references") = combine_level(children, trans);
        ref0.attr("trans_count") = nb::int_(trans.size());
        ref0.attr("trans") = trans;
        result.append(ref0);
    }
    return result;
}

// A copy of `cell`'s tree that keeps `layer_id`'s polygons and the branches
// leading to them.  Placement lists are shared with the source tree.
nb::object filter_by_layer(nb::handle cell, nb::handle layer_id, nb::handle cell_cls, nb::handle ref_cls,
                           const RecordKeys& keys) {
    const bool is_ref = PyObject_IsInstance(cell.ptr(), ref_cls.ptr()) == 1;
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object src_polygons = cell.attr("polygons");
    nb::dict polygons;
    if (PySequence_Contains(src_polygons.ptr(), layer_id.ptr()) == 1) polygons[layer_id] = src_polygons[layer_id];
    if (PyErr_Occurred()) throw nb::python_error();
    nb::list references;

    nb::handle type = cell.type();
    nb::object result;
    if (type.is(cell_cls) || type.is(ref_cls)) {
        if (is_ref) {
            nb::object trans = cell.attr("trans");
            Py_ssize_t n = PyObject_Length(trans.ptr());
            if (n < 0) throw nb::python_error();
            result = make_record(type, {{keys.cell_index, cell.attr("cell_index")},
                                        {keys.name, cell.attr("name")},
                                        {keys.polygons, polygons},
                                        {keys.references, references},
                                        {keys.trans_count, nb::int_(n)},
                                        {keys.trans, trans}});
        } else {
            result = make_record(type, {{keys.cell_index, cell.attr("cell_index")},
                                        {keys.name, cell.attr("name")},
                                        {keys.polygons, polygons},
                                        {keys.references, references}});
        }
    } else {
        // A record type of the caller's: build it through its constructor.
        result = type(cell.attr("cell_index"), cell.attr("name"));
        if (non_empty(polygons)) result.attr("polygons") = polygons;
        if (is_ref) {
            nb::object trans = cell.attr("trans");
            result.attr("trans_count") = nb::int_(PyObject_Length(trans.ptr()));
            result.attr("trans") = trans;
        }
    }
    nb::object append = result.attr("references").attr("append");
    for (nb::handle ref : cell.attr("references")) {
        nb::object sub = filter_by_layer(ref, layer_id, cell_cls, ref_cls, keys);
        if (has_content(sub)) append(sub);
    }
    return result;
}

}  // namespace

nb::object ParseGDS::export_cells(bool combine) {
    nb::list cells = parse_all(layout.attr("top_cells")());
    parsed_cells = module_attr("ParsedCells")(instances, layer_map, cells);
    // The flag describes the result it belongs to: a fresh parse is not combined.
    cell_combined = false;
    if (combine) combine_references(module_attr("Output").attr("CELL"));
    return parsed_cells;
}

nb::object ParseGDS::export_layers(bool combine) {
    corvane::GcPause pause;
    if (parsed_cells.is_none() || cell_combined) export_cells(false);
    if (parsed_cells.is_none()) corvane::assertion_error();

    nb::list layer_ids;
    for (nb::handle key : layer_map) layer_ids.append(nb::isinstance<nb::str>(key) ? nb::borrow(key) : nb::str(key));
    nb::object cell_cls = module_attr("Cell"), ref_cls = module_attr("Reference");
    const RecordKeys keys;
    nb::list layers_out;
    for (nb::handle top : parsed_cells.attr("cells")) {
        nb::dict cell_layers;
        for (nb::handle layer_id : layer_ids) {
            nb::object result = filter_by_layer(top, layer_id, cell_cls, ref_cls, keys);
            if (has_content(result)) cell_layers[layer_id] = result;
        }
        layers_out.append(cell_layers);
    }
    parsed_layers = module_attr("ParsedLayers")(parsed_cells.attr("instances"), parsed_cells.attr("layer_map"),
                                                layers_out);
    layer_combined = false;
    if (combine) combine_references(module_attr("Output").attr("LAYER"));
    return parsed_layers;
}

nb::object ParseGDS::combine_references(nb::handle output) {
    corvane::GcPause pause;
    nb::object Output = module_attr("Output");
    if (equals(output, Output.attr("CELL"))) {
        if (parsed_cells.is_none()) corvane::assertion_error();
        for (nb::handle cell : parsed_cells.attr("cells")) {
            nb::object refs = cell.attr("references");
            if (non_empty(refs)) cell.attr("references") = combine_level(refs, nb::none());
        }
        cell_combined = true;
        return parsed_cells;
    }
    if (equals(output, Output.attr("LAYER"))) {
        if (parsed_layers.is_none()) corvane::assertion_error();
        for (nb::handle cell_layers : parsed_layers.attr("layers")) {
            for (nb::handle tree : cell_layers.attr("values")()) {
                nb::object refs = tree.attr("references");
                if (non_empty(refs)) tree.attr("references") = combine_level(refs, nb::none());
            }
        }
        layer_combined = true;
        return parsed_layers;
    }
    return nb::none();
}

}  // namespace lumino
