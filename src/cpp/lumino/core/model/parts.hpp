// The viewer's part tree (no Python): which Parts and Part nodes a combined
// cell tree becomes, with their names and path ids, by cell hierarchy
// ("/Cells") or by layer ("/Layers").  The builder decides the tree and
// hands every node to a sink, in document order; the sinks write it out (as
// records at the Python edge, as message text in message.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumino::core {

// A combined cell tree as the builder reads it, in pre-order.
struct ViewTree {
    struct Node {
        std::string_view name;  // text form of the cell name (ids are made of it)
        bool placed = false;    // a reference: its parts carry placement matrices
        uint32_t placements = 0;  // which placements (the source's numbering), when placed
        uint32_t first_list = 0, lists = 0;  // its polygon lists: ViewTree::lists[first_list ...)
        uint32_t size = 1;        // nodes of its subtree, itself included
    };
    struct PolygonList {
        uint32_t layer;  // entry of the layer table
        uint32_t list;   // which list of pool indices (the source's numbering)
    };
    std::vector<Node> nodes;
    std::vector<PolygonList> lists;
    // By cell: the root node of each top cell.  By layer: (layer, root node)
    // per top cell and layer, the root being the top cell's tree reduced to
    // that layer (each node with at most the one list of that layer).
    std::vector<uint32_t> roots;
    std::vector<std::pair<uint32_t, uint32_t>> layer_roots;

    // Appends a node; its subtree size is set by close().
    uint32_t open(std::string_view name, bool placed, uint32_t placements);
    void add_list(uint32_t layer, uint32_t list);
    void close(uint32_t node) { nodes[node].size = uint32_t(nodes.size()) - node; }
};

// One layer as the parts show it.
struct LayerView {
    bool known = true;      // the layer map knows the layer (by layer, unknown ones are skipped)
    std::string name;       // the layer's display name, e.g. "WG (1, 0)"
    bool excluded = false;  // matched by an exclusion pattern
};

// Receives the part tree in document order: a group (Parts) opens, its
// children follow, then it closes.
class PartSink {
  public:
    struct Group {
        std::string_view name, id;
        uint32_t node;   // the cell's node, or kNoNode for a layer group
        uint32_t layer;  // the layer of a layer group
    };
    struct Leaf {
        std::string_view name, id;
        uint32_t node;  // the cell whose polygons it draws
        ViewTree::PolygonList list;
    };
    static constexpr uint32_t kNoNode = UINT32_MAX;

    virtual ~PartSink() = default;
    virtual void open(const Group& g) = 0;
    virtual void part(const Leaf& p) = 0;
    virtual void close() = 0;
};

// By cell: per top cell that shows something, its Parts; in it a Part per
// shown layer of the cell's own polygons, then the Parts of its references;
// branches without any Part are left out.  Ids: root id "/Cells".
void build_by_cell(const ViewTree& tree, const std::vector<LayerView>& layers, PartSink& sink);

// By layer: per (top cell, layer) entry that is known and shown, a layer
// Parts holding the reduced tree, each cell with one "components" Part when
// it has polygons; nothing pruned.  Ids: root id "/Layers".
void build_by_layer(const ViewTree& tree, const std::vector<LayerView>& layers, PartSink& sink);

}  // namespace lumino::core
