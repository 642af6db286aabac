// lumino._read_layout, the direct GDS2 reader's private test hook, and
// what a caller of the reader takes from the Python side.
#pragma once

#include <string>
#include <vector>

#include "common/py.hpp"

namespace lumino {

void bind_direct(nb::module_& m);

// The installed klayout's version from the package metadata (klayout itself
// is not imported); "" when it is not installed.
std::string installed_klayout_version();

// The libraries registered in KLayout in this process: none unless klayout
// has been imported.
std::vector<std::string> registered_libraries();

}  // namespace lumino
