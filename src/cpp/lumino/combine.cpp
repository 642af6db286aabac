// Exports of the parse result (cell-wise and layer-wise) and reference
// combining: references to the same cell merge into one that carries every
// placement relative to the top cell.
#include <vector>

#include "lumino/ktrans.hpp"
#include "lumino/parse.hpp"
#include "lumino/pyedge.hpp"
#include "lumino/records.hpp"
#include "lumino/tree.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

bool non_empty(nb::handle seq) { return length(seq) > 0; }

bool has_content(nb::handle tree) {
    return non_empty(tree.attr("polygons")) || non_empty(tree.attr("references"));
}

// Combine the references below `owner` (a cell or a filtered tree), level by
// level with a work stack, so any depth is safe.  At each level the
// references become one per child cell, in order of first occurrence; each
// keeps the first member of its group and gets the placements of all
// members, composed with the level's parent placements (parent first).
void combine_tree(nb::handle owner) {
    struct Task {
        nb::object owner, parent_trans;
    };
    std::vector<Task> todo{{nb::borrow(owner), nb::none()}};
    while (!todo.empty()) {
        Task task = std::move(todo.back());
        todo.pop_back();
        nb::object references = task.owner.attr("references");
        if (!non_empty(references)) continue;

        nb::dict position;  // cell_index -> group number
        std::vector<std::vector<nb::object>> groups;
        nb::object items = nb::steal(PySequence_List(references.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        for (nb::handle ref : items) {
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
            for (nb::object& r : refs) multiply_into(trans, task.parent_trans, r.attr("trans"));
            ref0.attr("trans_count") = nb::int_(trans.size());
            ref0.attr("trans") = trans;
            todo.push_back({ref0, trans});
            result.append(ref0);
        }
        task.owner.attr("references") = result;
    }
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

}  // namespace

// Both exports parse into C++ and make the records at the end: the combined
// trees directly, as combining the parsed records would leave them.
nb::object ParseGDS::export_cells(bool combine) {
    corvane::GcPause pause;
    std::unique_ptr<ParseTree> tree = parse_tree(layout.attr("top_cells")(), true);
    nb::list cells = combine ? combined_records(*tree) : tree_records(*tree);
    parsed_cells = module_attr("ParsedCells")(instances, layer_map, cells);
    // The flag describes the result it belongs to.
    cell_combined = combine;
    return parsed_cells;
}

nb::object ParseGDS::export_layers(bool combine) {
    corvane::GcPause pause;
    std::vector<nb::str> layer_ids;
    nb::object keys = nb::steal(PySequence_List(layer_map.ptr()));
    if (!keys.is_valid()) throw nb::python_error();
    for (nb::handle key : keys) layer_ids.push_back(nb::isinstance<nb::str>(key) ? nb::borrow<nb::str>(key) : nb::str(key));

    nb::list layers_out;
    const bool fresh = parsed_cells.is_none() || cell_combined;
    if (fresh) {
        // A fresh parse: the cell tree and its layer trees made together.
        std::unique_ptr<ParseTree> tree = parse_tree(layout.attr("top_cells")(), true);
        NodeRecords parsed;
        parsed_cells = module_attr("ParsedCells")(instances, layer_map, tree_records(*tree, &parsed));
        cell_combined = false;
        layers_out = layer_records(*tree, parsed, layer_ids, combine);
    } else {
        // The cell tree a caller exported before: filtered as it stands.
        const RecordKeys rk;
        for (nb::handle top : parsed_cells.attr("cells")) {
            nb::dict cell_layers;
            for (const nb::str& layer_id : layer_ids) {
                nb::object result = filter_by_layer(top, layer_id, rk);
                if (has_content(result)) cell_layers[layer_id] = result;
            }
            layers_out.append(cell_layers);
        }
    }
    parsed_layers = module_attr("ParsedLayers")(parsed_cells.attr("instances"), parsed_cells.attr("layer_map"),
                                                layers_out);
    layer_combined = fresh && combine;
    if (combine && !fresh) combine_references(module_attr("Output").attr("LAYER"));
    return parsed_layers;
}

nb::object ParseGDS::combine_references(nb::handle output) {
    corvane::GcPause pause;
    nb::object Output = module_attr("Output");
    if (equals(output, Output.attr("CELL"))) {
        if (parsed_cells.is_none()) corvane::assertion_error();
        for (nb::handle cell : parsed_cells.attr("cells")) combine_tree(cell);
        cell_combined = true;
        return parsed_cells;
    }
    if (equals(output, Output.attr("LAYER"))) {
        if (parsed_layers.is_none()) corvane::assertion_error();
        for (nb::handle cell_layers : parsed_layers.attr("layers")) {
            for (nb::handle tree : cell_layers.attr("values")()) combine_tree(tree);
        }
        layer_combined = true;
        return parsed_layers;
    }
    return nb::none();
}

}  // namespace lumino
