// The viewer data of a GDS file straight from the parse held in C++: the map
// that numpy_to_buffer_json(to_3D_viewer(..., as_dict=True)) gives, made
// without the intermediate records and numpy arrays.  lumino takes this road
// only while every name the plain road looks up is still the module's own
// (a caller who rebinds one gets the plain road, and so sees its effect).
#pragma once

#include <string>

#include "common/py.hpp"

namespace lumino {

// Remember the module's own objects behind those names (at the end of the
// module's init).
void remember_plain_road(nb::module_& m);

// True while none of them has been rebound.
bool direct_road_open();

// The buffer-record map form of the viewer data; the arguments as
// to_3D_viewer takes them (already checked), `z` the z scale as a double.
// With `pool_json`, the pool's buffer records are written there as JSON
// text (as orjson writes them) and "instances" holds the text `token` in
// their place, to be spliced into the encoded message.
nb::dict direct_viewer_data(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                            nb::handle layer_views, double z, nb::handle curve_tolerance,
                            nb::handle exclude_layers, std::string* pool_json = nullptr,
                            nb::handle token = nb::handle());

// The encoded message with the quoted `token` replaced by `pool_json`;
// false when the token does not occur exactly once.
bool splice(nb::handle encoded, nb::handle token, const std::string& pool_json, nb::object& text);

}  // namespace lumino
