// What a layout holds, as the command line reports it: shapes and texts per
// layer with each cell counted once (however often it is placed), the top
// cells, the depth of the hierarchy, the cell count and the database unit.
#pragma once

#include <cstdint>
#include <vector>

#include "lumino/core/model/layout.hpp"

namespace lumino::core {

struct LayerTally {
    int32_t layer = 0, datatype = 0;
    uint64_t shapes = 0;  // everything with a polygon form (polygons, boxes, paths)
    uint64_t texts = 0;   // the rest: what a GDS2 file holds of it is texts
};

struct LayoutSummary {
    double dbu = 0.001;
    uint64_t cells = 0;              // cells of the layout, ghost cells included
    std::vector<uint32_t> top_cells; // indices, in Layout::top_cells order
    uint32_t depth = 0;              // the deepest top cell's hierarchy levels
    std::vector<LayerTally> layers;  // in Layout::layers order
};

// The placement levels below each cell, as KLayout's Cell.hierarchy_levels
// gives them: 0 for a cell that places nothing, else one more than its
// deepest child.  `layout` must be free of cycles (the reader declines them).
std::vector<uint32_t> hierarchy_levels(const Layout& layout);

LayoutSummary summarize(const Layout& layout);

}  // namespace lumino::core
