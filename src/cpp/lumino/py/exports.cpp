// ParseGDS's exports of the parse result (cell-wise and layer-wise),
// parse_cells, and reference combining of the exported records: references
// to the same cell merge into one that carries every placement relative to
// the top cell.
#include <vector>

#include "lumino/py/checks.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/records.hpp"
#include "lumino/py/tree_records.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

bool non_empty(nb::handle seq) { return length(seq) > 0; }

bool has_content(nb::handle tree) {
    return non_empty(tree.attr("polygons")) || non_empty(tree.attr("references"));
}

// A copy of `top`'s tree that keeps `layer_id`'s polygons and the branches
// leading to them; each node keeps its record type and placement list (shared
// with the source tree).  Built with explicit stacks, so any depth is safe.
nb::object filter_by_layer(nb::handle top, nb::handle layer_id, const RecordKeys& keys) {
    nb::object ref_cls = module_attr("Reference");

    // One node: the filtered copy of a source node, without children yet.
    auto copy = [&](nb::handle cell) {
        const int is_ref = PyObject_IsInstance(cell.ptr(), ref_cls.ptr());
        if (is_ref < 0) throw nb::python_error();
        nb::object src_polygons = cell.attr("polygons");
        nb::dict polygons;
        const int has = PySequence_Contains(src_polygons.ptr(), layer_id.ptr());
        if (has < 0) throw nb::python_error();
        if (has) polygons[layer_id] = src_polygons[layer_id];
        nb::handle type = cell.type();
        if (!is_ref)
            return make_record(type, Rec::Cell, 2,
                               {{keys.cell_index, cell.attr("cell_index")},
                                {keys.name, cell.attr("name")},
                                {keys.polygons, polygons},
                                {keys.references, nb::list()}});
        nb::object trans = cell.attr("trans");
        return make_record(type, Rec::Reference, 2,
                           {{keys.cell_index, cell.attr("cell_index")},
                            {keys.name, cell.attr("name")},
                            {keys.polygons, polygons},
                            {keys.references, nb::list()},
                            {keys.trans_count, nb::int_(length(trans))},
                            {keys.trans, trans}});
    };

    // Pre-order copies with their parents; then, children before parents,
    // which subtrees have content; then the kept children are attached in
    // their original order.
    std::vector<nb::object> nodes;
    std::vector<size_t> parent;
    std::vector<std::pair<nb::object, size_t>> stack{{nb::borrow(top), 0}};
    while (!stack.empty()) {
        auto [cell, up] = std::move(stack.back());
        stack.pop_back();
        nodes.push_back(copy(cell));
        parent.push_back(up);
        const size_t self = nodes.size() - 1;
        nb::object children = nb::steal(PySequence_List(cell.attr("references").ptr()));
        if (!children.is_valid()) throw nb::python_error();
        for (Py_ssize_t k = PyList_GET_SIZE(children.ptr()); k-- > 0;)
            stack.emplace_back(nb::borrow(PyList_GET_ITEM(children.ptr(), k)), self);
    }
    std::vector<char> keep(nodes.size(), 0), child_kept(nodes.size(), 0);
    for (size_t k = nodes.size(); k-- > 0;) {
        keep[k] = child_kept[k] || has_content(nodes[k]);
        if (k > 0 && keep[k]) child_kept[parent[k]] = 1;
    }
    for (size_t k = 1; k < nodes.size(); ++k)
        if (keep[k]) nodes[parent[k]].attr("references").attr("append")(nodes[k]);
    return nodes[0];
}

// The KLayout cells of an iterable (the layout's top cells), in order.
std::vector<nb::object> cells_of(nb::handle iterable) {
    std::vector<nb::object> out;
    corvane::for_each(iterable, [&](nb::object cell) { out.push_back(std::move(cell)); });
    return out;
}

}  // namespace

nb::object ParseGDS::parse_cells(nb::handle cell) {
    check_own_cell(nb::object(layout), cell);
    std::unique_ptr<Parsed> parsed = parse_tree({nb::borrow(cell)}, false);
    return tree_records(*parsed)[0];
}

// Both exports parse in the core and make the records at the end: the
// combined trees directly, as combining the parsed records would leave them.
nb::object ParseGDS::export_cells(bool combine) {
    corvane::GcPause pause;
    std::unique_ptr<Parsed> parsed = parse_tree(cells_of(nb::object(layout).attr("top_cells")()), true);
    nb::list cells = combine ? combined_records(*parsed) : tree_records(*parsed);
    parsed_cells = module_attr("ParsedCells")(instances, layer_map, cells);
    // The flag describes the result it belongs to.
    cell_combined = combine;
    return parsed_cells;
}

nb::object ParseGDS::export_layers(bool combine) {
    corvane::GcPause pause;
    nb::list layers_out;
    const bool fresh = parsed_cells.is_none() || cell_combined;
    if (fresh) {
        // A fresh parse: the cell tree and its layer trees made together.
        std::unique_ptr<Parsed> parsed = parse_tree(cells_of(nb::object(layout).attr("top_cells")()), true);
        NodeRecords records;
        parsed_cells = module_attr("ParsedCells")(instances, layer_map, tree_records(*parsed, &records));
        cell_combined = false;
        layers_out = layer_records(*parsed, records, combine);
    } else {
        // The cell tree a caller exported before: filtered as it stands.
        std::vector<nb::str> layer_ids;
        for (nb::handle key : snapshot(nb::object(layer_map)))
            layer_ids.push_back(nb::isinstance<nb::str>(key) ? nb::borrow<nb::str>(key) : nb::str(key));
        const RecordKeys rk;
        nb::object cells = parsed_cells;
        for (nb::handle top : snapshot(nb::object(cells.attr("cells")))) {
            nb::dict cell_layers;
            for (const nb::str& layer_id : layer_ids) {
                nb::object result = filter_by_layer(top, layer_id, rk);
                if (has_content(result)) cell_layers[layer_id] = result;
            }
            layers_out.append(cell_layers);
        }
    }
    nb::object cells = parsed_cells;
    parsed_layers = module_attr("ParsedLayers")(cells.attr("instances"), cells.attr("layer_map"), layers_out);
    layer_combined = fresh && combine;
    if (combine && !fresh) combine_references(module_attr("Output").attr("LAYER"));
    return parsed_layers;
}

nb::object ParseGDS::combine_references(nb::handle output) {
    corvane::GcPause pause;
    nb::object Output = module_attr("Output");
    if (equals(output, Output.attr("CELL"))) {
        nb::object cells = parsed_cells;
        if (cells.is_none()) corvane::assertion_error();
        for (nb::handle cell : snapshot(nb::object(cells.attr("cells")))) combine_records(cell);
        cell_combined = true;
        return cells;
    }
    if (equals(output, Output.attr("LAYER"))) {
        nb::object layers = parsed_layers;
        if (layers.is_none()) corvane::assertion_error();
        for (nb::handle cell_layers : snapshot(nb::object(layers.attr("layers"))))
            for (nb::handle tree : snapshot(nb::object(cell_layers.attr("values")()))) combine_records(tree);
        layer_combined = true;
        return layers;
    }
    return nb::none();
}

}  // namespace lumino
