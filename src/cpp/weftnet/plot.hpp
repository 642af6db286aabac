// Drawing the call graph, its colours per library, and the main program.
#pragma once

#include "common/py.hpp"

namespace weftnet {

nb::object int_hash(nb::handle s);
nb::dict color_map(nb::handle G);
void plot_weftnet(nb::handle G, nb::handle prog, nb::handle show);
void main_program(nb::handle folder);

void bind_plot(nb::module_& m);

}  // namespace weftnet
