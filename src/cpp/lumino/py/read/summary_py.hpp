// lumino._layout_summary: a layout's layer statistics by the direct reader.
#pragma once

#include "common/py.hpp"

namespace lumino {

void bind_summary(nb::module_& m);

}  // namespace lumino
