// lumino's message road: the message text made by the core straight from
// the file's layout (core::Message), without records, numpy arrays or a
// JSON encoder, and written into the Python text that is sent.  The file is
// read by the core's reader where it answers (file_road.hpp), else by KLayout.  The entry takes it only while every name the plain road
// uses is still the module's own, so a caller who rebinds one sees its
// effect on the plain road.
#pragma once

#include <optional>

#include "common/py.hpp"

namespace lumino {

// Remember the module's own objects behind those names (at the end of the
// module's init).
void remember_plain_road(nb::module_& m);

// True while none of the names the message road stands in for has been
// rebound.
bool direct_road_open();

// True while none of the names to_3D_viewer's direct road (file_road.hpp)
// stands in for has been rebound.
bool records_road_open();

// True while KLayout's names (pya, kdb) are the module's own: the file may
// be read by the core's reader instead.
bool file_read_open();

// The message text of a GDS file; the arguments as lumino takes them
// (already checked), the layer stack and views of the active PDK.  Empty
// when a value of the layer table has no text that every encoder release
// writes alike: the caller then takes the plain road.
std::optional<nb::object> message_of_file(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                                          nb::handle layer_views, double z_scale, nb::handle curve_tolerance,
                                          nb::handle exclude_layers);

}  // namespace lumino
