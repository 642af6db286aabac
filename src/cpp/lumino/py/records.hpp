// The module's vocabulary: imports, constants, type aliases, the value
// records (real dataclasses made at import) and the Output enumeration.
#pragma once

#include "common/py.hpp"

namespace lumino {

// Standard-library imports, __all__, FORMAT, VERSION, the type aliases and
// the lazy aliases of the outside modules.
void define_preamble(nb::module_& m);
// Cell ... ViewerData, in declaration order.
void define_records(nb::module_& m);
void define_output(nb::module_& m);

// Interned field names of Cell and Reference, made once per operation that
// builds many records.
struct RecordKeys {
    nb::str cell_index{"cell_index"}, name{"name"}, polygons{"polygons"}, references{"references"},
        trans_count{"trans_count"}, trans{"trans"};
    RecordKeys() {
        for (nb::str* k : {&cell_index, &name, &polygons, &references, &trans_count, &trans}) {
            PyObject* p = k->release().ptr();
            PyUnicode_InternInPlace(&p);
            *k = nb::steal<nb::str>(p);
        }
    }
};

// The module's own record classes, as made at import (callers may rebind
// the module's names; these stay).
enum class Rec { Cell, Reference };
nb::handle own_class(Rec which);

// A record of class `cls` holding `fields` (every field, in declaration
// order).  When `cls` is exactly the module's own class `own`, the instance
// is filled directly, without running the generated __init__ bytecode; any
// other class (a subclass, a rebound name) is called with the first `npos`
// values, and the remaining fields are assigned as attributes.
nb::object make_record(nb::handle cls, Rec own, size_t npos,
                       std::initializer_list<std::pair<nb::handle, nb::handle>> fields);

}  // namespace lumino
