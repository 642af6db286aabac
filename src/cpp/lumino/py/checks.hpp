// Argument checks of the viewer exporter: what a caller passes is checked on
// entry, so that a wrong kind of argument fails at once with a TypeError or
// ValueError naming it, instead of giving an empty result or an error from
// deep inside the conversion.
#pragma once

#include "common/py.hpp"

namespace lumino {

// ParseGDS(layout, layers, z_scale, curve_tolerance, exclude_layers): a
// KLayout layout, a layer table {(layer, datatype): PdkLayer}, a positive
// finite z scale, a non-negative tolerance or None, texts or None.
void check_parser_arguments(nb::handle layout, nb::handle layers, double z_scale, nb::handle curve_tolerance,
                            nb::handle exclude_layers);

// The same checks without a layout: what ParseGDS would check of the rest
// where an entry point reads the file itself.
void check_parser_values(nb::handle layers, double z_scale, nb::handle curve_tolerance, nb::handle exclude_layers);

// The values of the entry points' arguments, once their types are checked:
// a positive finite z scale, a non-negative tolerance, texts to exclude.
void check_entry_values(double z_scale, nb::handle curve_tolerance, nb::handle exclude_layers);

// A simplification tolerance: a float or an int, not NaN nor negative, or
// None (also where it was assigned after construction).
void check_curve_tolerance(nb::handle curve_tolerance);

// Explicit layer views and layer stack of to_3D_viewer: None or objects with
// the members the layer table reads.
void check_layer_objects(nb::handle layer_views, nb::handle layer_stack);

// A (layer, datatype) pair of integers.
void check_layer_spec(nb::handle layer_spec);

// A KLayout Polygon (integer coordinates).
void check_polygon(nb::handle polygon);

// A KLayout cell of `layout`.
void check_own_cell(nb::handle layout, nb::handle cell);

}  // namespace lumino
