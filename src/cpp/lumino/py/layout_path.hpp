// The layout file an entry point was given, checked before anything reads
// it, and KLayout's read of it.
#pragma once

#include "common/py.hpp"

namespace lumino {

// gds_file (a str) as an absolute path, so that KLayout reads it as a file
// whatever its name (a relative "pipe:...", "http:..." or ":..." would be
// a command, a URL or a resource to it).  Raises ValueError for a
// directory, a FIFO, a device or a socket (a read of one would fail late or
// never end) and for a file whose header declares a database unit that is
// not positive.  A missing file is left to the read, whose error passes
// through.
nb::object checked_layout_path(nb::handle gds_file);

// layout.read(path).  KLayout takes a trailing "[...]" of a name as no part
// of it; such a file is handed over as /dev/fd/N of a descriptor opened here.
void klayout_read(nb::handle layout, nb::handle path);

// lumino._layout_path(path): checked_layout_path for the host's modules.
void bind_layout_path(nb::module_& m);

}  // namespace lumino
