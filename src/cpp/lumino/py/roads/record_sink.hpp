// The records of the viewer's part tree (Parts, Part, Shape), made as the
// core's part-tree builder hands the nodes over, with the module's record
// classes as bound at the call.  What a part is made of (a cell's name, a
// polygon list, a node's placement matrices) comes from the source of the
// tree: the records of a ParseGDS (to_viewer), or a parse held in the core
// (to_3D_viewer's direct road).
#pragma once

#include <vector>

#include "common/py.hpp"
#include "lumino/core/model/parts.hpp"
#include "lumino/py/layer_slots.hpp"

namespace lumino {

// The objects the parts of a tree are made of.
class PartSource {
  public:
    virtual ~PartSource() = default;
    // The name object of a cell's node (the Parts' name).
    virtual nb::handle node_name(uint32_t node) = 0;
    // A polygon list (Shape.refs).
    virtual nb::object refs(uint32_t list) = 0;
    // A new placement matrix array for a placed node (Shape.matrices).
    virtual nb::object matrices(uint32_t node) = 0;
};

class RecordSink : public core::PartSink {
  public:
    // Appends the records below `root_parts` (the root's list).
    RecordSink(const core::ViewTree& tree, PartSource& source, LayerSlots& slots, nb::handle root_parts,
               bool by_cell);

    void open(const Group& g) override;
    void part(const Leaf& p) override;
    void close() override { open_.pop_back(); }

  private:
    const core::ViewTree& tree_;
    PartSource& source_;
    LayerSlots& slots_;
    nb::object parts_cls_, part_cls_, shape_cls_;
    nb::object parts_kw_, part_kw_;
    std::vector<nb::object> open_;
    nb::object components_ = nb::str("components");
    bool by_cell_;
};

}  // namespace lumino
