// ParseGDS: one KLayout layout with its layer table.  Owns the polygon pool
// and carries the conversion: layer lookups, polygon extraction, the
// depth-first parse into Cell/Reference trees (parse.cpp), the exports and
// reference combining (combine.cpp).
#pragma once

#include <memory>

#include "common/py.hpp"

namespace lumino {

struct ParseTree;

class ParseGDS {
  public:
    // State visible and assignable from Python, in construction order.
    nb::object layout;
    nb::object layers;
    double z_scale = 1.0;
    nb::object curve_tolerance;
    nb::object exclude_layers;
    nb::object instances;  // list of polygons
    Py_ssize_t instance_index = 0;
    nb::object instance_mapping;  // (cell index, layer index, shape position) -> pool index
    nb::object parsed_cells;
    nb::object parsed_layers;
    bool cell_combined = false;
    bool layer_combined = false;
    nb::object layer_map;          // layer index -> (layer, datatype)
    nb::object reverse_layer_map;  // (layer, datatype) -> layer index
    nb::object cell_index_map;     // cell index -> kdb.Cell

    ParseGDS(nb::object layout, nb::object layers, double z_scale, nb::object curve_tolerance,
             nb::object exclude_layers);

    void extract_layers();
    nb::object get_name(nb::handle layer_spec) const;
    nb::object get_zmin(nb::handle layer_spec) const;
    nb::object get_height(nb::handle layer_spec) const;
    nb::object get_color(nb::handle layer_spec) const;
    nb::list extract_dpolygon(nb::handle polygon) const;
    nb::object parse_cells(nb::handle cell);

    nb::object export_cells(bool combine);
    nb::object export_layers(bool combine);
    nb::object combine_references(nb::handle output);

    // Parse every given top cell in one walk (one simplification batch),
    // filling the pool.  With `use_stream`, shapes and instances are read
    // from the layout's GDS2 serialisation where it carries KLayout's own
    // answer, else shape by shape.
    std::unique_ptr<ParseTree> parse_tree(nb::handle cells, bool use_stream);
};

void bind_parse_gds(nb::module_& m);

}  // namespace lumino
