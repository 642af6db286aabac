// Call graph construction from static call-graph data.
#pragma once

#include "common/py.hpp"

namespace weftnet {

bool is_valid_node(nb::handle func_info);
nb::object create_weftnet(nb::handle graph_data, nb::handle lib_paths);
nb::object get_errors(nb::handle graph_data, nb::handle module);

void bind_graph(nb::module_& m);

}  // namespace weftnet
