// Per-factory records of a call graph, callees first.
#pragma once

#include "common/py.hpp"

namespace weftnet {

nb::dict get_static_records(nb::handle G, nb::handle paths);
void bind_records(nb::module_& m);

}  // namespace weftnet
