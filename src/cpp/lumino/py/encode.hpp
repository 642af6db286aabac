// JSON forms of the viewer tree: the map form (ParseGDS.asdict), indented
// JSON with arrays as number lists (ParseGDS.create_json), and the map form
// with every numpy array replaced by a base64 buffer record
// (numpy_to_buffer_json).
#pragma once

#include "common/py.hpp"

namespace lumino {

class ParseGDS;

// ParseGDS.asdict(obj): records to maps (empty sequences and maps left out),
// tuples to lists, to_dict() where offered; everything else as it is.
nb::object asdict(nb::handle obj);

// ParseGDS.create_json(data)
nb::object create_json(nb::handle data);

// numpy_to_buffer_json(value): a map (or None) with every numpy array
// replaced by {"shape": [n], "dtype": ..., "buffer": <base64>, "codec": "b64"}.
nb::object numpy_to_buffer_json(nb::handle value);

// Attach asdict and create_json to the ParseGDS class.
void bind_encode(nb::module_& m);

}  // namespace lumino
