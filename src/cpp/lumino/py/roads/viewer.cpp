// ParseGDS.to_viewer: the combined parse result as the viewer's part tree.
//
// At entry the records (parsed_cells or parsed_layers) are taken into a
// core::ViewTree, with the Python objects the parts reuse (names, polygon
// lists, placement lists) kept beside it; the core's part-tree builder
// decides the tree, and the RecordSink here makes its records through the
// module's record classes as bound at the call.  Placement matrices and the
// polygon pool become float32 arrays filled straight from C++.
#include "lumino/py/roads/viewer.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "lumino/core/model/float_range.hpp"
#include "lumino/core/model/parts.hpp"
#include "lumino/py/budget.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/ktrans.hpp"
#include "lumino/py/layer_slots.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/roads/record_sink.hpp"
#include "lumino/py/views.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

bool contains(nb::handle container, nb::handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Unpack one (key, value) item.
std::pair<nb::object, nb::object> pair_of(nb::handle item) {
    nb::object t = PyTuple_CheckExact(item.ptr()) ? nb::borrow(item) : own(PySequence_Tuple(item.ptr()));
    if (PyTuple_GET_SIZE(t.ptr()) != 2) corvane::raise(PyExc_ValueError, "expected (key, value) pairs");
    return {nb::borrow(PyTuple_GET_ITEM(t.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(t.ptr(), 1))};
}

// The records' tree as the builder reads it, with the Python objects its
// parts reuse: by node its name and placement list, by polygon list the
// list object itself.
struct Snapshot {
    core::ViewTree tree;
    std::deque<std::string> names;  // the ids' name texts (the tree views them)
    std::vector<nb::object> node_names, placements, lists;
};

class Taker {
  public:
    Taker(Snapshot& s, LayerSlots& slots, nb::handle reference_cls) : s_(s), slots_(slots), ref_cls_(reference_cls) {}

    // Cell-wise: every cell of `cells` with its subtree, each polygon key
    // resolved through `layer_map` (the parse result's).
    void cells(nb::handle cells, nb::handle layer_map, std::vector<uint32_t>* roots = nullptr) {
        RecursionGuard guard(" while converting the cell tree to viewer parts");
        for (nb::handle cell : snapshot(cells)) {
            const uint32_t node = open(cell);
            if (roots) roots->push_back(node);
            for (nb::handle item : items_of(cell.attr(k_polygons_))) {
                auto [key, refs] = pair_of(item);
                list(slots_.cell_slot(key, layer_map), refs);
            }
            nb::object references = cell.attr(k_references_);
            if (length(references) > 0) this->cells(references, layer_map);
            s_.tree.close(node);
        }
    }

    // Layer-wise: a cell of a layer's filtered tree and everything below it;
    // its polygons are those under the entry's key (or, when two layout
    // layers carry one pair, under the reverse map's key).
    void layer(uint32_t slot, nb::handle layer_id, nb::handle cell, nb::handle reverse) {
        RecursionGuard guard(" while converting the layer tree to viewer parts");
        const uint32_t node = open(cell);
        nb::object polygons = cell.attr(k_polygons_);
        if (length(polygons) > 0) {
            nb::object key = nb::borrow(layer_id);
            if (!contains(polygons, key)) key = own(PyObject_Str(nb::object(reverse[slots_[slot].spec]).ptr()));
            list(slot, nb::object(polygons[key]));
        }
        nb::object references = cell.attr(k_references_);
        if (length(references) > 0)
            for (nb::handle ref : snapshot(references)) layer(slot, layer_id, ref, reverse);
        s_.tree.close(node);
    }

  private:
    uint32_t open(nb::handle cell) {
        nb::object name = cell.attr(k_name_);
        const std::string& text = s_.names.emplace_back(text_of(name));
        const bool placed = is_instance(cell, ref_cls_);
        const uint32_t node = s_.tree.open(text, placed, uint32_t(s_.placements.size()));
        s_.node_names.push_back(name);
        s_.placements.push_back(placed ? nb::object(cell.attr(k_trans_)) : nb::object());
        return node;
    }

    void list(uint32_t slot, nb::handle refs) {
        s_.tree.add_list(slot, uint32_t(s_.lists.size()));
        s_.lists.push_back(nb::borrow(refs));
    }

    Snapshot& s_;
    LayerSlots& slots_;
    nb::handle ref_cls_;
    nb::str k_name_{"name"}, k_polygons_{"polygons"}, k_references_{"references"}, k_trans_{"trans"};
};

// The objects of the parts: the records' own (names, polygon lists), and
// placement matrices made from their placement lists.
class SnapshotSource : public PartSource {
  public:
    explicit SnapshotSource(const Snapshot& s)
        : s_(s),
          np_(module_attr("np")),
          ktrans_type_((PyTypeObject*)nb::type<KTrans>().ptr()),
          arrays_(np_),
          matrices_(s.placements.size()) {}

    nb::handle node_name(uint32_t node) override { return s_.node_names[node]; }
    nb::object refs(uint32_t list) override { return s_.lists[list]; }

    // A new float32 array of a reference's placement matrices (a, b, tx,
    // c, d, ty per placement, in order), or, when its placements are not all
    // KTrans, numpy's array of their trans_matrix() results.
    nb::object matrices(uint32_t node) override {
        Matrices& m = matrices_[s_.tree.nodes[node].placements];
        if (!m.ready) {
            nb::list trans = snapshot(s_.placements[s_.tree.nodes[node].placements]);
            for (nb::handle t : trans)
                if (Py_TYPE(t.ptr()) != ktrans_type_ || !nb::inst_ready(t)) m.plain = false;
            if (m.plain) {
                m.values.reserve(6 * trans.size());
                for (nb::handle t : trans)
                    for (double e : nb::inst_ptr<KTrans>(t)->matrix()) {
                        if (!core::fits_float(e))
                            core::out_of_float_range(to_utf8(s_.node_names[node]), "a placement matrix value", e);
                        m.values.push_back(static_cast<float>(e));
                    }
            } else {
                nb::list listed;
                for (nb::handle t : trans) listed.append(t.attr("trans_matrix")());
                m.listed = listed;
            }
            m.ready = true;
        }
        if (!m.plain) return np_.attr("array")(m.listed, "dtype"_a = "float32").attr("flatten")();
        return arrays_.make(m.values.size(), [&](float* out) {
            if (!m.values.empty()) std::memcpy(out, m.values.data(), m.values.size() * sizeof(float));
        });
    }

  private:
    struct Matrices {
        bool ready = false, plain = true;
        std::vector<float> values;
        nb::object listed;
    };

    const Snapshot& s_;
    nb::object np_;
    PyTypeObject* ktrans_type_;
    Float32Arrays arrays_;
    std::vector<Matrices> matrices_;
};

// numpy.array(value, dtype="float32").flatten()
nb::object flat_float32(nb::handle np, nb::handle value) {
    return np.attr("array")(value, "dtype"_a = "float32").attr("flatten")();
}

// One polygon of a pool a caller put in place of the parser's own, as a
// float32 array: a sequence of (x, y) float pairs is read directly,
// anything else goes through numpy.
nb::object polygon_array(nb::handle np, Float32Arrays& arrays, nb::handle polygon) {
    PyObject* poly = polygon.ptr();
    if (!PyList_CheckExact(poly) && !PyTuple_CheckExact(poly)) return flat_float32(np, polygon);
    std::vector<float> values;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(poly);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* p = PySequence_Fast_ITEMS(poly)[k];
        if (!(PyTuple_CheckExact(p) || PyList_CheckExact(p)) || PySequence_Fast_GET_SIZE(p) != 2)
            return flat_float32(np, polygon);
        PyObject** xy = PySequence_Fast_ITEMS(p);
        if (!PyFloat_CheckExact(xy[0]) || !PyFloat_CheckExact(xy[1])) return flat_float32(np, polygon);
        values.push_back(static_cast<float>(PyFloat_AS_DOUBLE(xy[0])));
        values.push_back(static_cast<float>(PyFloat_AS_DOUBLE(xy[1])));
    }
    // Copied first: making the array runs numpy, which may change the list.
    return arrays.make(values.size(), [&](float* out) {
        if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(float));
    });
}

// The polygon pool as flat float32 arrays (x0, y0, x1, y1, ...), appended
// to `target`: one per polygon the pool holds at entry.
void convert_pool(nb::handle instances, nb::handle np, nb::handle target) {
    Float32Arrays arrays(np);
    if (std::shared_ptr<PolygonPool> pool = pool_of(instances)) {
        // The parser's own pool, read in C++.  Each polygon is copied before
        // numpy runs (a caller's numpy may change the pool meanwhile).
        const size_t n = pool->size();
        std::vector<float> values;
        for (size_t k = 0; k < n && k < pool->size(); ++k) {
            const std::span<const double> xy = (*pool)[k];
            values.assign(xy.begin(), xy.end());
            append(target, arrays.make(values.size(), [&](float* out) {
                if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(float));
            }));
        }
        return;
    }
    for (nb::handle polygon : snapshot(instances)) append(target, polygon_array(np, arrays, polygon));
}

}  // namespace

nb::object to_viewer(ParseGDS& self, nb::handle output) {
    corvane::GcPause pause;
    nb::object Output = module_attr("Output");
    const bool by_cell = equals(output, Output.attr("CELL"));
    if (!by_cell && !equals(output, Output.attr("LAYER"))) {
        std::string msg = "Unknown output ";
        msg += corvane::str_of(output);
        corvane::raise(PyExc_ValueError, msg);
    }
    if (by_cell) {
        if (self.parsed_cells.is_none()) corvane::assertion_error();
        if (!self.cell_combined) self.combine_references(Output.attr("CELL"));
    } else if (!self.layer_combined) {
        self.combine_references(Output.attr("LAYER"));
    }
    nb::object result = by_cell ? module_attr("ViewerData")("name"_a = "Cells", "id"_a = "/Cells")
                                : module_attr("ViewerData")("name"_a = "Layers", "id"_a = "/Layers");
    nb::object parsed = by_cell ? self.parsed_cells : self.parsed_layers;
    if (parsed.is_none()) corvane::assertion_error();

    // The snapshot: the records and the parser's members the parts need.
    LayerSlots slots(self.lookups(), nb::object(self.exclude_layers));
    Snapshot s;
    Taker take(s, slots, module_attr("Reference"));
    if (by_cell) {
        take.cells(nb::object(parsed.attr("cells")), nb::object(parsed.attr("layer_map")), &s.tree.roots);
    } else {
        nb::object layer_map = self.layer_map, reverse = self.reverse_layer_map;
        for (nb::handle top_layer : snapshot(nb::object(parsed.attr("layers")))) {
            for (nb::handle item : items_of(top_layer)) {
                auto [layer_id, tree] = pair_of(item);
                const uint32_t slot = slots.layer_slot(layer_id, layer_map);
                const core::LayerView& view = slots.views()[slot];
                if (!view.known || view.excluded) continue;
                const uint32_t root = uint32_t(s.tree.nodes.size());
                take.layer(slot, layer_id, tree, reverse);
                s.tree.layer_roots.emplace_back(slot, root);
            }
        }
    }
    nb::object np = module_attr("np");
    nb::object instances = parsed.attr("instances");

    check_part_tree(s.tree, slots.views(), by_cell);
    nb::list cell_parts;
    SnapshotSource source(s);
    RecordSink sink(s.tree, source, slots, by_cell ? nb::handle(cell_parts) : nb::handle(nb::object(result.attr("parts"))),
                    by_cell);
    if (by_cell) {
        core::build_by_cell(s.tree, slots.views(), sink);
        result.attr("parts") = cell_parts;
    } else {
        core::build_by_layer(s.tree, slots.views(), sink);
    }
    convert_pool(instances, np, nb::object(result.attr("instances")));
    return result;
}

void bind_viewer(nb::module_& m) {
    nb::handle cls = m.attr("ParseGDS");
    cls.attr("to_viewer") = nb::cpp_function(
        &to_viewer, nb::is_method(), nb::scope(cls), nb::name("to_viewer"), "output"_a.none(),
        nb::sig("def to_viewer(self, output: Output) -> ViewerData"),
        "The parse result as the viewer's part tree: by cell (Output.CELL, root '/Cells') or by layer "
        "(Output.LAYER, root '/Layers'); combines the references first when needed.");
}

}  // namespace lumino
