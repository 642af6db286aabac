// ParseGDS: one KLayout layout with its layer table; layer lookups, polygon
// extraction and the depth-first parse into Cell/Reference trees.
#pragma once

#include "common/py.hpp"

namespace lumino {

void bind_parse_gds(nb::module_& m);

}  // namespace lumino
