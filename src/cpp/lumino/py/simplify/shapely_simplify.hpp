// Simplification of outlines through shapely, as the core asks for it: each
// outline becomes Polygon(points).simplify(tolerance,
// preserve_topology=True).exterior.coords without the closing point.
#pragma once

#include "common/py.hpp"
#include "lumino/core/model/tree.hpp"

namespace lumino {

// A simplifier for the core, with shapely and numpy (the module's `np`) as
// bound now.  Large batches are split over a few threads (GEOS runs without
// the interpreter lock); the results are those of one thread.  A thread that
// cannot start leaves its share to the calling thread.  Call it with the
// interpreter lock held.
core::Simplifier shapely_simplifier();

}  // namespace lumino
