// What KLayout's GDS2 serialisation of a layout tells of one cell, taken only
// where it carries KLayout's own answer (no Python): the shapes of a layer
// in KLayout's order, and single quarter-turn placements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumino/core/read/gds2.hpp"
#include "lumino/core/model/layout.hpp"

namespace lumino::core {

// The shapes of structure `s` on (layer, datatype), when the stream lists
// them as KLayout holds them: `expected` elements (KLayout's count), only
// texts and boundaries that do not touch themselves (paths, edges and
// polygons with holes are written in other forms), and no boundary so large
// that KLayout's area arithmetic overflows (it orients such hulls otherwise
// than it writes them).  False, and `out` untouched, otherwise.
bool shapes_from_stream(const gds::Library& lib, const gds::Structure& s, uint16_t layer, uint16_t datatype,
                        size_t expected, Shapes& out);

// The instances of structure `s`, when all are single placements of a
// quarter-turn transformation and magnification 1 whose children `cells`
// knows by name, `expected` in all (KLayout's count): the stream writes
// arrays in a normalised form and complex placements approximately.  False,
// and `out` untouched, otherwise.
bool insts_from_stream(const gds::Structure& s, const std::unordered_map<std::string, uint32_t>& cells,
                       size_t expected, std::vector<Instance>& out);

}  // namespace lumino::core
