// The Python edge of the schematic freeze: a PDK cell's netlist, taken,
// checked, its warnings logged and its instance names normalised.
#pragma once

#include "common/py.hpp"

namespace freeze {

// freeze(cell_name, **kwargs): the cell of the active PDK as a schematic
// netlist map with the six sections and normalised instance names.
nb::dict freeze_cell(nb::handle cell_name, nb::kwargs kwargs);

// _normalize_names(netlist): renames the instances in place and makes every
// connection, port, route link and net follow; references to instances that
// are not in "instances" are dropped.
void normalize_names(nb::handle netlist);

}  // namespace freeze
