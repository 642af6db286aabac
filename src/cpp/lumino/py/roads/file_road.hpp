// The entry points' direct road: the layout file read by the core's own
// reader (GDS2 or OASIS, told by the content) instead of KLayout's read,
// parsed in the core, and turned into the viewer records that to_3D_viewer
// returns (lumino's message road takes the same layout, see
// message_road.hpp).  Wherever the reader declines, the
// caller reads the file with KLayout as before; the results are the same.
#pragma once

#include <optional>
#include <vector>

#include "common/py.hpp"
#include "lumino/core/read/gds.hpp"
#include "lumino/core/model/layout.hpp"

namespace lumino {

// A layout read from a file, and which of its layers the layer table holds.
struct FileLayout {
    core::Layout layout;
    // The entries of layout.layers whose (layer, datatype) is a key of the
    // layer table, in layer index order: the parser's layer map.
    std::vector<size_t> known;
};

// Reads `gds_file` with the direct reader, keeping the shapes of the layer
// table's layers (`layers`, as get_layer_properties made it).  False where
// the reader declines or a layer the table holds was not kept; the caller
// then reads with KLayout.  `cells`, when given, is told of each cell read.
bool read_file_directly(nb::handle gds_file, nb::handle layers, FileLayout& out, core::CellSink* cells = nullptr);

// to_3D_viewer's result for a GDS file read directly: the records (or their
// map form when `as_dict` is true) that the parser, its exports and to_viewer make of
// KLayout's read of the file.  The arguments as to_3D_viewer takes them
// (types checked), `layers` the layer table.  Nothing where the reader
// declines: the caller takes KLayout's road.
std::optional<nb::object> viewer_of_file(nb::handle gds_file, nb::handle output, nb::handle layers, double z_scale,
                                         nb::handle curve_tolerance, nb::handle exclude_layers, nb::handle as_dict);

}  // namespace lumino
