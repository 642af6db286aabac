// The parse of a file's layout as the part-tree builder reads it (no
// Python): per top cell (layer-wise: per top cell and layer) the tree with
// its references combined, laid out as a ViewTree, and the tables its
// placement and polygon-list numbers resolve through.  Both emitters of a
// parse made in the core use it: the message text (message.cpp) and the
// records of to_3D_viewer's direct road (py/roads/file_road.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "lumino/core/model/combine.hpp"
#include "lumino/core/model/parts.hpp"
#include "lumino/core/model/tree.hpp"

namespace lumino::core {

struct ParsedView {
    ViewTree tree;
    std::vector<CombinedTree> combined;              // owns the placements
    std::vector<const Places*> places;               // by ViewTree::Node::placements; null for a top cell
    std::vector<const std::vector<int64_t>*> lists;  // by ViewTree::PolygonList::list
    std::vector<const CellData*> cells;              // by node: the cell it shows

    // Appends the items of `c` in pre-order; with a slot (>= 0), each node
    // keeps only that slot's polygons.  Returns the root's node.
    uint32_t add(const ParseTree& t, const CombinedTree& c, int64_t slot);
};

// The view of a whole parse.  By cell: every top cell's tree, combined, in
// ViewTree::roots.  By layer: per top cell, and per slot below `slots` on
// which the cell or something below it has polygons, the tree reduced to
// that slot and combined, in ViewTree::layer_roots.  The view points into
// `t`, which must outlive it.
void view_parse(const ParseTree& t, bool by_cell, uint32_t slots, ParsedView& out);

// An allocator whose vectors leave new elements unset on resize(): for
// storage that is written in full right after.
template <class T>
struct UnsetAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <class U>
    UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Floats = std::vector<float, UnsetAllocator<float>>;

// The placements' 2x3 matrices as the viewer holds them: six float32 values
// each, in placement order, replacing what `out` held.  A value float32
// cannot hold is refused, naming `cell` (the placed cell).
void float_matrices(const Places& places, Floats& out, std::string_view cell);

}  // namespace lumino::core
