// KLayout's arithmetic of cell placements: how it stores a complex
// transformation (and so what each_cplx_trans() gives back), and how it
// transforms and grows boxes for placements and arrays, with its rounding.
// Functions that could leave 32-bit coordinates return false instead.
#pragma once

#include <cstdint>
#include <vector>

#include "lumino/core/read/kbox_tree.hpp"
#include "lumino/core/model/layout.hpp"

namespace lumino::core::kplace {

bool fits32(int64_t v);

// The box spanned by two corners, false outside 32 bits.
bool make_box(int64_t x1, int64_t y1, int64_t x2, int64_t y2, kbox::Box& out);

// A double rounded to a coordinate as KLayout rounds it (half away from
// zero); false outside 32 bits.
bool round_coord(double v, int32_t& c);

// The placement KLayout makes of a magnification, an angle in degrees, a
// mirror flag and a displacement: simple when it is a quarter turn without
// magnification, else complex, with the sine and cosine KLayout rebuilds
// from the quarter turn and the cosine of the rest (angle and mag then read
// back from those, as KLayout's Python API gives them).
Trans placement(double mag, double angle_deg, bool mirror, int64_t dx, int64_t dy);

// A box under a placement (its displacement included when `moved`): a
// rotated box becomes the box around its four rounded corners.
bool transform_box(const Trans& t, const kbox::Box& b, bool moved, kbox::Box& out);

// A box grown by the extent of a regular array's element displacements.
bool array_box(const Instance& inst, const kbox::Box& b, kbox::Box& out);

// Each cell's instances in the order of KLayout's instance trees, which
// are sorted by the instances' boxes once more than 100 share a tree.
// Those boxes come from the child cells' bounding boxes, computed
// from the bottom up as KLayout does ("with empty": a cell with nothing
// in it counts as the point at its origin).
// `bottom_up` lists every cell after the cells it places; `shapes_box` and
// `plain_count` give each cell's shapes box and its instances without
// properties (which come first).  False where a box leaves 32 bits.
bool sort_instances(Layout& out, const std::vector<uint32_t>& bottom_up, const std::vector<kbox::Box>& shapes_box,
                    const std::vector<uint32_t>& plain_count);

// The end of a read, alike for both formats: the top cells (those nothing
// places, in `order`), and with `sort` the instances in KLayout's order.
// A cell that places itself, directly or further down, is an error for
// KLayout.  Returns the reason to decline the file, or nullptr.
const char* finish_hierarchy(Layout& out, const std::vector<uint32_t>& order, bool sort,
                             const std::vector<kbox::Box>& shapes_box, const std::vector<uint32_t>& plain_count);

}  // namespace lumino::core::kplace
