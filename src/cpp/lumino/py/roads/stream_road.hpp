// A caller's KLayout layout as the core reads it (core::Layout), taken at
// entry.  Two roads give the same values: KLayout's in-memory GDS2
// serialisation listed by the core's GDS2 reader (core/read/gds, the bulk
// road, taken per cell and layer where it carries KLayout's own answer), and
// the reading shape by shape and instance by instance (the reference and
// fallback).
#pragma once

#include <unordered_map>
#include <vector>

#include "common/py.hpp"
#include "lumino/core/model/layout.hpp"

namespace lumino {

struct LayoutRead {
    core::Layout layout;
    // KLayout's objects of complex placements, by core::Trans::tag, so that
    // a KTrans wraps the object it was read from.
    std::vector<nb::object> tagged;
};

// One layer to read: the layout's layer index (as the caller gave it) and,
// when it is a pair of 16-bit numbers, its (layer, datatype).
struct LayerToRead {
    nb::object index;
    uint32_t value = 0;
    bool has_pair = false;
    int32_t layer = 0, datatype = 0;
};

struct ReadRequest {
    nb::object layout;                // kdb.Layout
    std::vector<LayerToRead> layers;  // in the order of the layer map
    std::vector<nb::object> tops;     // the KLayout cells the parse starts from
    // Every cell by index: children are looked up here (a missing one stays
    // absent from the result: core::Cell::exists is false).
    std::unordered_map<int64_t, nb::object> cells;
    bool use_stream = false;  // the bulk road where it pays
};

// Reads the tops and every cell below them.  Only Python errors escape
// (from KLayout, or from objects a caller put in place of KLayout's).
LayoutRead read_layout(const ReadRequest& request);

// Micrometres per database unit of a layout (tx::Values::unit form: 0 for
// the usual 1 nm); a layout without a numeric `dbu` is taken to use 1 nm.
double layout_unit(nb::handle layout);

// Hull points of a KLayout polygon (integer coordinates), in KLayout's order.
void polygon_points(nb::handle polygon, std::vector<int32_t>& xy);

}  // namespace lumino
