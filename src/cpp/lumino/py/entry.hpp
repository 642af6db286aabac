// Entry points: a GDS file to viewer data (to_3D_viewer), to one viewer
// message sent through the host (lumino), and the demonstration (_main).
#pragma once

#include "common/py.hpp"

namespace lumino {

// to_3D_viewer(gds_file, output=Output.LAYER, layer_views=None,
// layer_stack=None, z_scale=1.0, curve_tolerance=0.01, exclude_layers=None,
// *, as_dict=False, memory_budget=None)
nb::object to_3D_viewer(nb::handle gds_file, nb::handle output, nb::handle layer_views, nb::handle layer_stack,
                        nb::handle z_scale, nb::handle curve_tolerance, nb::handle exclude_layers,
                        nb::handle as_dict, nb::handle memory_budget);

// lumino(gds_file, output, z_scale=1.0, curve_tolerance=0.01,
// exclude_layers=None, *, memory_budget=None): sends one message, returns
// nothing.  memory_budget: the most bytes the viewer data may take (None:
// half the machine's memory); a layout whose data would take more is a
// MemoryError before that data is made.
void show(nb::handle gds_file, nb::handle output, nb::handle z_scale, nb::handle curve_tolerance,
          nb::handle exclude_layers, nb::handle memory_budget);

// The fixed viewer configuration sent with every message.
nb::dict viewer_config();

// The demonstration: the sample grating coupler written to a temporary GDS
// file and shown layer-wise; the file is deleted whatever happens.
void demonstration();

}  // namespace lumino
