// lumino._read_layout, the direct readers' private test hook, and
// what a caller of the reader takes from the Python side.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/py.hpp"
#include "lumino/core/read/gds.hpp"
#include "lumino/core/model/layout.hpp"

namespace lumino {

void bind_direct(nb::module_& m);

// The version of the klayout package this process uses or would import:
// klayout's own __version__ once it is imported; before that the one
// distribution record beside the package the import system would find
// (klayout-X.Y.Z.dist-info), else the package metadata.  klayout itself is
// not imported.  "" when it is not installed or cannot be told.
std::string installed_klayout_version();

// The libraries registered in KLayout in this process: none unless klayout
// has been imported.
std::vector<std::string> registered_libraries();

// Reads a GDS2 or OASIS file with the direct reader of its format, keeping
// the shapes of `pairs` only, for the installed klayout and the libraries
// registered in it; the interpreter lock is released while it reads.  False where the reader
// declines (a path that is not UTF-8 included): the caller reads the file
// with KLayout, which also raises KLayout's error for a file it cannot read.
// `cells`, when given, is told of each cell as it is read.
bool read_directly(nb::handle path, std::vector<std::pair<int32_t, int32_t>> pairs, core::Layout& out,
                   core::CellSink* cells = nullptr);

}  // namespace lumino
