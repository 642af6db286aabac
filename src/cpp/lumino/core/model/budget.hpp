// The memory a viewer part tree takes, counted before it is built, and the
// budget it must stay within.  A chain of N cells each placing the next has
// N nodes whose path ids hold 1, 2, ..., N names: a few megabytes of layout
// make a tree of N^2 / 2 names, which no machine holds for N = 100,000.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lumino/core/model/parts.hpp"

namespace lumino::core {

struct PartTreeSize {
    uint64_t nodes = 0;  // Parts and Part nodes
    uint64_t text = 0;   // bytes of their names and ids
    uint32_t depth = 0;  // the deepest cell below a top cell (0: flat)

    // The least any form of the tree takes: its texts and a few dozen
    // bytes of keys and punctuation per node (the message), or of object
    // headers (the records).
    uint64_t least_bytes() const { return text + 48 * nodes; }
};

// The part tree that build_by_cell / build_by_layer would hand a sink,
// counted without making one id text (time linear in the nodes).
PartTreeSize part_tree_size(const ViewTree& tree, const std::vector<LayerView>& layers, bool by_cell);

// Half the machine's memory, or half the process's address-space limit
// where that is lower.
uint64_t default_memory_budget();

// "the viewer data would take at least 1,234 bytes (...)": why a tree of
// `size` taking `bytes` is refused under `budget`.
std::string over_budget(const PartTreeSize& size, uint64_t bytes, uint64_t budget, bool exact);

}  // namespace lumino::core
