// lumino._read_layout, the direct GDS2 reader's private test hook.
#pragma once

#include "common/py.hpp"

namespace lumino {

void bind_direct(nb::module_& m);

}  // namespace lumino
