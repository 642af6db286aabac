// The layer table: (layer, datatype) -> PdkLayer from a PDK's layer stack
// and layer views, and the text form of PdkLayer.
#pragma once

#include "common/py.hpp"

namespace lumino {

// Give the PdkLayer class its __repr__/__str__.
void attach_pdk_layer_text(nb::handle cls);

// get_layer_properties(layer_stack, layer_views) -> dict[LayerSpec, PdkLayer]
nb::dict get_layer_properties(nb::handle layer_stack, nb::handle layer_views);

}  // namespace lumino
