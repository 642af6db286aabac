// The parse of a layout into reference trees (no Python): what each cell
// holds (its polygons per layer, as pool indices, and its placements of
// other cells) and the depth-first tree of every top cell.  Polygons new to
// the pool are collected in order of first extraction, simplified through a
// function the caller supplies, and handed back for the caller to pool.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/model/pool.hpp"
#include "lumino/core/model/trans.hpp"

namespace lumino::core {

using Outline = std::vector<double>;  // x0, y0, x1, y1, ... in micrometres

// Simplifies every outline in place, topology-preserving at `tolerance`; an
// outline that cannot be simplified into a non-empty polygon keeps its
// points.  It may throw: the parse then fails and nothing is pooled.
using Simplifier = std::function<void(std::vector<Outline>& outlines, double tolerance)>;

// The outline of a hull of `values` coordinates, converted by `unit` (see
// tx::Values::unit).
void outline_of(const int32_t* xy, size_t values, double unit, double* out);

// Whether every edge of a closed outline of `values` coordinates (x, y
// pairs, the last point joined to the first) is horizontal or vertical.
template <class T>
bool is_manhattan(const T* xy, size_t values) {
    if (values < 2) return true;
    T px = xy[values - 2], py = xy[values - 1];
    for (size_t j = 0; j + 1 < values; j += 2) {
        if (xy[j] != px && xy[j + 1] != py) return false;
        px = xy[j], py = xy[j + 1];
    }
    return true;
}

// Whether simplification has to see an outline: one of three or more
// points with an edge that is neither horizontal nor vertical.  An outline
// of axis-parallel edges is real geometry, never a curve drawn with short
// segments: simplifying it could only move its corners and lose area, so it
// is kept as it is at any tolerance.
bool needs_simplifying(const Outline& o);

class Presimplifier;

// One placement of a child cell; `tag` is the one it was read with.
struct Place {
    tx::Values v;
    Tag tag = -1;
};
using Places = std::vector<Place>;
using PlaceSpan = std::span<const Place>;

// The placements of one instance, in KLayout's each_trans() order, with
// lengths converted by `unit` (see tx::Values::unit); a listed instance
// takes its own from `listed`, which moves past them.
void placements_of(const Instance& inst, const Listed*& listed, double unit, Places& out);

struct CellData {
    uint32_t ci = 0;
    std::string name;
    // (slot, pool indices) for every slot on which the cell has polygons, in slot order.
    std::vector<std::pair<uint32_t, std::vector<int64_t>>> polygons;
    // Per instance, in instance order: the child cell index, and its own
    // placements places[first[k] .. first[k + 1]).
    std::vector<uint32_t> children;
    std::vector<uint32_t> first{0};
    Places places;

    const std::vector<int64_t>* on_slot(uint32_t slot) const;
    PlaceSpan placements(size_t k) const { return {places.data() + first[k], size_t(first[k + 1] - first[k])}; }
};

struct ParseTree {
    struct Node {
        const CellData* cell;
        const CellData* owner;  // the cell holding the instance; null for a top cell
        uint32_t inst;          // the instance in owner
        uint32_t size;          // nodes of the subtree, itself included; children follow in pre-order

        bool placed() const { return owner != nullptr; }
        // The instance's own placements (none for a top cell).
        PlaceSpan places() const { return owner ? owner->placements(inst) : PlaceSpan(); }
    };
    std::vector<Node> nodes;
    std::vector<uint32_t> tops;                     // root node of each top cell, in order
    std::unordered_map<uint32_t, CellData> cells;  // by cell index; stable addresses
    double unit = 0.0;                              // see tx::Values::unit

    // Polygons new to the pool, in order of first extraction (simplified),
    // and the shapes they come from (when asked for); polygon k gets pool
    // index base + k.
    std::vector<Outline> added;
    std::vector<ShapeKey> added_keys;
    // Where a presimplifier was given: per outline of `added`, whether it
    // came simplified from it.
    std::vector<char> simplified;
    int64_t base = 0;
};

struct ParseInput {
    Layout* layout = nullptr;
    // Free each cell's shapes and instances once the parse has taken them.
    bool consume = false;
    // The entries of layout->layers to read, in the order of the layer map:
    // slot k reads layout->layers[layers[k]].
    std::vector<size_t> layers;
    std::vector<uint32_t> tops;  // cell indices of the top cells, in order
    double unit = 0.0;
    std::optional<double> tolerance;  // simplify new polygons when set
    const ShapeIndex* known = nullptr;  // shapes already pooled: not read again
    int64_t base = 0;                   // pool index of the first new polygon
    // Record the shape of every new polygon (ParseTree::added_keys), for a
    // caller that pools them (commit).
    bool keep_keys = true;
    // Outlines simplified while the layout was read (finished); taken where
    // it fits the tolerance and unit, else unused.
    Presimplifier* presimplified = nullptr;
};

// Parses every top cell: pre-order, own layers first, then the children in
// instance order; a child on the current path (a cycle) is skipped.  False
// when a child has no cell in the layout (its index in `missing`).
bool parse(const ParseInput& in, const Simplifier& simplify, ParseTree& out, uint32_t& missing);

// Hands the outlines that simplification has to see (three points or more,
// and not all edges axis-parallel) to `simplify`, and puts the results
// back in their places.
// Those marked in `done` (when given) are simplified already.
void simplify_outlines(std::vector<Outline>& outlines, double tolerance, const Simplifier& simplify,
                       const std::vector<char>* done = nullptr);

// Appends the parse's new polygons to `pool` and maps their shapes in
// `index`; the polygons are moved out of the tree.
void commit(ParseTree& tree, PolygonPool& pool, ShapeIndex& index);

// Which nodes of a top cell's subtree lead to polygons on each slot: found
// for every slot in one pass over the subtree (a bit per slot and node).
class SlotsBelow {
  public:
    SlotsBelow(const ParseTree& tree, uint32_t top, uint32_t slots);
    // Whether the top cell leads to polygons on the slot.
    bool any(uint32_t slot) const { return has(0, slot); }
    // Per node of the tree (indexed as tree.nodes), whether it leads to
    // polygons on the slot: 0 outside the top cell's subtree.
    std::vector<char> kept(uint32_t slot) const;

  private:
    bool has(size_t node, uint32_t slot) const {
        return slot < slots_ && (bits_[node * words_ + slot / 64] >> (slot % 64) & 1) != 0;
    }
    uint32_t top_, count_, slots_;
    size_t nodes_, words_;
    std::vector<uint64_t> bits_;  // words_ per node of the subtree, from the top
};

}  // namespace lumino::core
