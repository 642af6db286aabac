// The Python edge of the exact simplifier (core/simplify/simplify.hpp): which GEOS
// shapely would use, found without importing shapely, and private test hooks.
#pragma once

#include <optional>

#include "common/py.hpp"
#include "lumino/core/simplify/simplify.hpp"

namespace lumino {

// The version of the GEOS library that shapely would load: shapely's own
// `geos_version` when shapely is imported already, else the version in the
// file name of the GEOS library bundled with the shapely wheel, found
// through importlib.util.find_spec without importing shapely.  Nothing when
// shapely is absent or the version cannot be told.  Needs the GIL.
std::optional<simplify::GeosVersion> installed_geos_version();

// The rules to simplify with when the installed GEOS is one the simplifier
// was verified against, else nothing (then shapely simplifies).
std::optional<simplify::Rules> installed_geos_rules();

// _geos_version, _verified_geos, _simplify_outlines, _simplify_polygon.
void bind_simplify(nb::module_& m);

}  // namespace lumino
