// The parse of a layout held in C++: what each cell holds (its polygons per
// layer, as pool indices, and its instances) and the reference tree of every
// top cell.  Records (Cell, Reference, KTrans) are made from it at the edge:
// the tree as parsed, the tree with references combined, and the trees
// reduced to one layer.  Combining here gives exactly what combining the
// records gives, without making the records of the uncombined tree.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/py.hpp"
#include "lumino/ktrans.hpp"

namespace lumino {

// One instance of a cell: its child and every placement (simple ones by
// value, complex ones as KLayout's own objects), in KLayout's order.
struct InstData {
    Py_ssize_t child = 0;
    std::vector<tx::Simple> simple;
    std::vector<nb::object> complex;
};

struct CellData {
    bool ready = false;
    nb::object name;
    std::vector<std::pair<nb::str, std::vector<Py_ssize_t>>> polygons;  // (layer key text, pool indices)
    std::vector<InstData> insts;

    const std::vector<Py_ssize_t>* on_layer(nb::handle key) const;
};

struct ParseTree {
    struct Node {
        const CellData* cell;
        Py_ssize_t ci;
        const InstData* inst;  // null for a top cell
        uint32_t size;         // nodes of the subtree, itself included; children follow in pre-order
    };
    std::vector<Node> nodes;
    std::vector<uint32_t> tops;                       // root node of each top cell, in order
    std::unordered_map<Py_ssize_t, CellData> cells;  // stable addresses
    double unit = 0.0;                                // see tx::Values::unit
};

// One placement of a combined reference: its value, and for an instance's
// own complex placement the KLayout object its KTrans wraps.
struct Place {
    tx::Values v;
    nb::object obj;
};
using Places = std::vector<Place>;

// A top cell's tree with references combined: per level one reference per
// child cell, in order of first occurrence, standing for the first node of
// its group and holding the placements of all members relative to the top
// (all parent placements for the first own placement, then all for the
// second, ...).  With a filter, only kept nodes take part.
struct CombinedTree {
    struct Item {
        uint32_t node;                         // in the ParseTree
        std::shared_ptr<const Places> places;  // null for the top cell
        std::vector<uint32_t> children;        // items
    };
    std::vector<Item> items;  // items[0] is the top cell
};
CombinedTree combine_tree(const ParseTree& tree, uint32_t top, const std::vector<char>* keep = nullptr);

// Which nodes of a top cell's subtree lead to polygons on one layer.
std::vector<char> kept_for_layer(const ParseTree& tree, uint32_t top, nb::handle layer_key);

// The Python objects of the records made for each node of the tree as
// parsed: layer-wise trees share their polygon and placement lists.
struct NodeRecords {
    std::vector<nb::object> polygons;  // the record's polygons dict
    std::vector<nb::object> trans;     // the record's trans list (none for a top cell)
};

// Records of the tree as parsed: one Cell per top cell.
nb::list tree_records(const ParseTree& tree, NodeRecords* keep = nullptr);

// Records of the tree with references combined, as combining the records of
// the parsed tree leaves them.
nb::list combined_records(const ParseTree& tree);

// Per top cell, {layer key: the top cell's tree reduced to that layer} for
// every key with content, as filtering the records of the parsed tree
// (`parsed`, made by tree_records) gives them; combined when asked.
nb::list layer_records(const ParseTree& tree, const NodeRecords& parsed, const std::vector<nb::str>& layer_keys,
                       bool combine);

}  // namespace lumino
