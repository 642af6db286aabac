// Records of the viewer's part tree, made through the module's classes.
#include "lumino/py/roads/record_sink.hpp"

#include "lumino/py/edge.hpp"

namespace lumino {

using corvane::module_attr;

RecordSink::RecordSink(const core::ViewTree& tree, PartSource& source, LayerSlots& slots, nb::handle root_parts,
                       bool by_cell)
    : tree_(tree),
      source_(source),
      slots_(slots),
      parts_cls_(module_attr("Parts")),
      part_cls_(module_attr("Part")),
      shape_cls_(module_attr("Shape")),
      parts_kw_(nb::make_tuple("id", "name")),
      part_kw_(nb::make_tuple("name", "id", "shape", "color", "loc")),
      by_cell_(by_cell) {
    open_.push_back(nb::borrow(root_parts));
}

void RecordSink::open(const Group& g) {
    nb::handle name = g.node == kNoNode ? nb::handle(slots_[g.layer].name) : source_.node_name(g.node);
    nb::object id = from_utf8(g.id);
    PyObject* args[] = {id.ptr(), name.ptr()};
    nb::object parts = own(PyObject_Vectorcall(parts_cls_.ptr(), args, 0, parts_kw_.ptr()));
    append(open_.back(), parts);
    open_.push_back(parts.attr("parts"));
}

void RecordSink::part(const Leaf& p) {
    LayerSlot& layer = slots_.complete(p.list.layer);
    const core::ViewTree::Node& node = tree_.nodes[p.node];
    nb::object matrices;
    if (node.placed) matrices = source_.matrices(p.node);
    nb::object refs = source_.refs(p.list.list);
    PyObject* shape_args[] = {refs.ptr(), layer.height.ptr(), matrices.ptr()};
    nb::object shape = own(PyObject_Vectorcall(shape_cls_.ptr(), shape_args, matrices.is_valid() ? 3 : 2, nullptr));
    nb::handle name = by_cell_ ? nb::handle(layer.name) : nb::handle(components_);
    nb::object id = from_utf8(p.id);
    PyObject* args[] = {name.ptr(), id.ptr(), shape.ptr(), layer.color.ptr(), layer.loc.ptr()};
    append(open_.back(), own(PyObject_Vectorcall(part_cls_.ptr(), args, 0, part_kw_.ptr())));
}

}  // namespace lumino
