// Python views of the polygon pool and the shape index: a sequence of
// polygons (each read as a new list of (x, y) float pairs) and a mapping from
// (cell index, layer index, shape position) to pool index.  They behave as
// the list and dict they stand for; copies, pickles and deep copies are plain
// lists and dicts.
#pragma once

#include <memory>

#include "common/py.hpp"
#include "lumino/core/model/pool.hpp"

namespace lumino {

struct PoolView {
    std::shared_ptr<PolygonPool> pool;
};

struct ShapeIndexView {
    std::shared_ptr<ShapeIndex> index;
};

// The C++ data behind a view; null for any other object.
std::shared_ptr<PolygonPool> pool_of(nb::handle obj);
std::shared_ptr<ShapeIndex> shape_index_of(nb::handle obj);

// New empty views.
nb::object new_pool();
nb::object new_shape_index();

// A shape key given from Python: a tuple of three integers; false for
// anything else.
bool shape_key_of(nb::handle obj, ShapeKey& k);

// Polygon k as the pool shows it: a list of (x, y) float pairs.
nb::list polygon_list(std::span<const double> xy);

void bind_pool(nb::module_& m);

}  // namespace lumino
