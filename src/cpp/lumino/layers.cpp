// Layer table and PdkLayer text form.
#include "lumino/layers.hpp"

namespace lumino {

void attach_pdk_layer_text(nb::handle) {}

nb::dict get_layer_properties(nb::handle, nb::handle) { return nb::dict(); }

}  // namespace lumino
