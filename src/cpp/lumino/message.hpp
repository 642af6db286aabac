// The viewer data of a GDS file straight from the parse held in C++: the map
// that numpy_to_buffer_json(to_3D_viewer(..., as_dict=True)) gives, made
// without the intermediate records and numpy arrays.  lumino takes this road
// only while every name the plain road looks up is still the module's own
// (a caller who rebinds one gets the plain road, and so sees its effect).
#pragma once

#include <memory>
#include <string>

#include "common/py.hpp"
#include "lumino/core/pool.hpp"

namespace lumino {

// Remember the module's own objects behind those names (at the end of the
// module's init).
void remember_plain_road(nb::module_& m);

// True while none of them has been rebound.
bool direct_road_open();

// The buffer-record map form of the viewer data; the arguments as
// to_3D_viewer takes them (already checked), `z` the z scale as a double.
// With `pool`, "instances" holds the text `token` in place of the pool's
// buffer records, and the pool is handed out in `pool` for splice.
nb::dict direct_viewer_data(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                            nb::handle layer_views, double z, nb::handle curve_tolerance,
                            nb::handle exclude_layers, nb::handle token = nb::handle(),
                            std::shared_ptr<const PolygonPool>* pool = nullptr);

// The encoded message as text, with the quoted `token` replaced by the
// pool's buffer records as orjson writes them; false when the token does
// not occur exactly once.
bool splice(nb::handle encoded, nb::handle token, const PolygonPool& pool, nb::object& text);

}  // namespace lumino
