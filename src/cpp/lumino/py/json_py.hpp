// A private binding of the core's JSON writer (tests).
#pragma once

#include "common/py.hpp"

namespace lumino {

void bind_json(nb::module_& m);

}  // namespace lumino
