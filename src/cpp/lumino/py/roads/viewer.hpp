// Conversion of a parse result into the viewer's part tree (ViewerData):
// by cell hierarchy ("/Cells") or by layer ("/Layers"), with placement
// matrices and the polygon pool as float32 arrays.
#pragma once

#include "common/py.hpp"

namespace lumino {

class ParseGDS;

// ParseGDS.to_viewer(output)
nb::object to_viewer(ParseGDS& self, nb::handle output);

// Attach to_viewer to the ParseGDS class.
void bind_viewer(nb::module_& m);

}  // namespace lumino
