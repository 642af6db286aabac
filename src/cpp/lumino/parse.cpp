#include "lumino/parse.hpp"

namespace lumino {
void bind_parse_gds(nb::module_&) {}
}  // namespace lumino
