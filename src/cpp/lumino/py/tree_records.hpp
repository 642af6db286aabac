// Records (Cell, Reference, KTrans) of a parse held in the core: the tree as
// parsed, the tree with references combined (by the core's combiner), and
// the trees reduced per layer, made with the module's record classes as
// they are bound at the call.  Also the combining of a caller's records in
// place (combine_references), through the same combiner.
#pragma once

#include <vector>

#include "common/py.hpp"
#include "lumino/py/parse_gds.hpp"

namespace lumino {

// The Python objects of the records made for each node of the tree as
// parsed: layer-wise trees share their polygon and placement lists.
struct NodeRecords {
    std::vector<nb::object> polygons;  // the record's polygons dict
    std::vector<nb::object> trans;     // the record's trans list (none for a top cell)
};

// Records of the tree as parsed: one Cell per top cell.
nb::list tree_records(const Parsed& p, NodeRecords* keep = nullptr);

// Records of the tree with references combined, as combining the records of
// the parsed tree leaves them.
nb::list combined_records(const Parsed& p);

// Per top cell, {layer key: the top cell's tree reduced to that layer} for
// every key with content, as filtering the records of the parsed tree
// (`parsed`, made by tree_records) gives them; combined when asked.
nb::list layer_records(const Parsed& p, const NodeRecords& parsed, bool combine);

// Combines the references below `owner` (a Cell or Reference record) in
// place: per level one reference per child cell, the first of its group,
// holding the placements of all members composed with the level above.
void combine_records(nb::handle owner);

}  // namespace lumino
