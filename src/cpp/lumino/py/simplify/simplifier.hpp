// The simplifier the parse and the message hand their outlines to: the
// core's exact port of GEOS's topology-preserving simplifier where shapely's
// GEOS is a release it was verified against, else shapely.
#pragma once

#include "common/py.hpp"
#include <optional>

#include "lumino/core/simplify/simplify.hpp"
#include "lumino/core/model/tree.hpp"

namespace lumino {

// A simplifier for the core, decided now (call with the interpreter lock
// held): with a verified GEOS installed and a finite tolerance, the core's
// simplifier runs on every core without the interpreter lock, and only the
// outlines it does not handle go to shapely; otherwise shapely does it all
// (shapely_simplify.hpp).  shapely is imported only when it is needed.  The
// result is shapely's, bit for bit, either way.
core::Simplifier outline_simplifier();

// The same with the rules decided already (installed_geos_rules()).
core::Simplifier outline_simplifier(std::optional<simplify::Rules> rules);

}  // namespace lumino
