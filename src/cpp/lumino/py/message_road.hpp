// lumino's message road: the message text made by the core straight from
// the file's layout (core::message_text), without records, numpy arrays or
// a JSON encoder.  The entry takes it only while every name the plain road
// uses is still the module's own, so a caller who rebinds one sees its
// effect on the plain road.
#pragma once

#include <optional>

#include "common/py.hpp"

namespace lumino {

// Remember the module's own objects behind those names (at the end of the
// module's init).
void remember_plain_road(nb::module_& m);

// True while none of them has been rebound.
bool direct_road_open();

// The message text of a GDS file; the arguments as lumino takes them
// (already checked), the layer stack and views of the active PDK.  Empty
// when a value of the layer table has no text that every encoder release
// writes alike: the caller then takes the plain road.
std::optional<nb::object> message_of_file(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                                          nb::handle layer_views, double z_scale, nb::handle curve_tolerance,
                                          nb::handle exclude_layers);

}  // namespace lumino
