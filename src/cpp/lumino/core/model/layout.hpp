// A layout as the core reads it: plain values, no Python.  Filled either
// from a KLayout layout at the Python edge (a snapshot taken at entry) or
// straight from a GDS2 file; both must give the same values for the same
// file, because everything the viewer message holds is computed from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumino::core {

// A placement as KLayout holds it.  Simple: `rot` quarter turns
// counter-clockwise after an optional mirror at the x axis, then the
// integral displacement (dx, dy).  Complex: `angle` degrees and magnification
// `mag` instead of `rot`, with a displacement that need not be integral.
// Lengths in database units.  A complex placement also carries the sine and
// cosine of its rotation as KLayout holds them (`angle` is KLayout's
// atan2 of the two): what its each_cplx_trans() matrices are made of.
struct Trans {
    bool complex = false;
    bool mirror = false;
    int rot = 0;         // 0..3, simple only
    double angle = 0.0;  // degrees, complex only
    double mag = 1.0;    // complex only
    double dx = 0.0, dy = 0.0;
    double sin = 0.0, cos = 1.0;  // complex only
};

// A handle a reader may attach to a placement to find its own object of it
// again (the Python edge: KLayout's transformation object, so that a KTrans
// wraps it as read); -1 for none.  The core only passes it on.
using Tag = int32_t;

// One instance of a cell (one entry of Cell.each_inst()).  A regular array
// has na x nb elements; element (i, j) is `trans` displaced further by
// i * a + j * b, and the elements come in KLayout's each_trans() order (the
// a index runs fastest).  A single instance has na = nb = 1.
struct Instance {
    uint32_t child = 0;  // cell index
    Tag tag = -1;        // of `trans` (and of every element it makes)
    Trans trans;
    bool array = false;
    // When not 0: the instance's placements are listed one by one, as read
    // in each_trans() order, as the next `listed` entries of Cell::listed
    // (after those of the instances before it); `trans` and the array fields
    // are then not used.  A reader lists them where it took the elements one
    // by one (KLayout's complex arrays).
    uint32_t listed = 0;
    int64_t ax = 0, ay = 0, bx = 0, by = 0;
    uint32_t na = 1, nb = 1;
};

// A placement listed one by one (see Instance::listed).
struct Listed {
    Trans trans;
    Tag tag = -1;
};

// The shapes of one cell on one layer, in KLayout's Shapes.each() order.
// Shape k owns the hull points xy[2 * start[k] .. 2 * start[k + 1]) as x, y
// pairs in database units, in the order KLayout's Shape.polygon gives them
// (each_point_hull, no closing point).  A shape without a polygon form
// (text, edge, edge pair, point) has polygon[k] == 0 and no points; it still
// takes its position in the numbering.
struct Shapes {
    std::vector<uint64_t> start{0};
    std::vector<int32_t> xy;
    std::vector<uint8_t> polygon;

    size_t size() const { return polygon.size(); }
    size_t points(size_t k) const { return size_t(start[k + 1] - start[k]); }
    const int32_t* hull(size_t k) const { return xy.data() + 2 * start[k]; }
};

// A layer of the layout: its KLayout layer index and (layer, datatype).
struct LayerInfo {
    uint32_t index = 0;
    int32_t layer = 0, datatype = 0;
};

struct Cell {
    bool exists = true;  // false for an index the layout has no cell at
    bool ghost = false;  // placed but never defined (KLayout's ghost cell)
    std::string name;
    std::vector<Shapes> shapes;  // one per entry of Layout::layers, same order
    std::vector<Instance> instances;  // Cell.each_inst() order
    std::vector<Listed> listed;       // placements listed one by one, in instance order
};

struct Layout {
    double dbu = 0.001;              // micrometres per database unit
    std::vector<LayerInfo> layers;   // the layers read, in layer_indices() order
    std::vector<Cell> cells;         // by cell index
    std::vector<uint32_t> top_cells; // Layout.top_cells() order
};

}  // namespace lumino::core
