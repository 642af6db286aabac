// ParseGDS: one KLayout layout with its layer table, its Python-visible
// state, and the entries of the conversion.  Each entry takes what it needs
// of that state once (the snapshot) and hands plain values to the core.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "common/py.hpp"
#include "lumino/core/model/tree.hpp"

namespace lumino {

// The layer lookups (get_name, get_color, get_zmin, get_height) on a layer
// table held strongly, so that a caller's key or value that rebinds the
// parser's table meanwhile cannot free it under the lookup.
struct LayerLookups {
    nb::object table;
    double z_scale;

    nb::object name(nb::handle spec) const;
    nb::object color(nb::handle spec) const;
    nb::object zmin(nb::handle spec) const;
    nb::object height(nb::handle spec) const;
};

// A parse with what the records of its tree need from the edge.
struct Parsed {
    core::ParseTree tree;
    std::vector<nb::str> slot_keys;  // Cell.polygons keys (layer index texts), by slot
    std::vector<nb::object> tagged;  // KLayout objects of complex placements, by tag
};

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
    LayerLookups lookups() const { return LayerLookups{layers, z_scale}; }
    nb::object get_name(nb::handle layer_spec) const;
    nb::object get_zmin(nb::handle layer_spec) const;
    nb::object get_height(nb::handle layer_spec) const;
    nb::object get_color(nb::handle layer_spec) const;
    nb::list extract_dpolygon(nb::handle polygon) const;
    nb::object parse_cells(nb::handle cell);

    nb::object export_cells(bool combine);
    nb::object export_layers(bool combine);
    nb::object combine_references(nb::handle output);

    // Parses the given top cells in one walk (one simplification batch) and
    // pools the new polygons.  With `use_stream`, large layouts are read from
    // their GDS2 serialisation where it carries KLayout's own answer.
    std::unique_ptr<Parsed> parse_tree(const std::vector<nb::object>& tops, bool use_stream);
};

// curve_tolerance checked (see check_curve_tolerance), as a number or none.
std::optional<double> tolerance_of(nb::handle curve_tolerance);

void bind_parse_gds(nb::module_& m);

}  // namespace lumino
