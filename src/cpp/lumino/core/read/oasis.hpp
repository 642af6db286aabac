// A direct reader of OASIS files into the plain layout the core works on,
// giving exactly what KLayout's Layout().read(path) with default options
// gives, as the GDS2 reader does for GDS2 files: cell indices (including the
// free index of a cell KLayout drops), names and top cells, layer indices,
// the database unit, each cell's shapes per layer in Shapes.each() order
// with Shape.polygon's hull points, and its instances in each_inst() order.
//
// KLayout reads OASIS into an editable layout: every repeated shape is a
// shape of its own, while a regular repetition of a placement stays one
// array instance and an irregular one becomes one instance per position.
// Trapezoids and ctrapezoids are simple polygons, circles round one-point
// paths, rectangles boxes.  Properties only decide whether an element comes
// with those that have properties; KLayout's context property makes library
// and parametrised-cell proxies as in GDS2.
//
// Whatever the reader has not been verified on makes it decline with a
// reason; the caller then reads with KLayout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/gds.hpp"

namespace lumino::core {

// The first bytes of every OASIS file.
inline constexpr char kOasisMagic[] = "%SEMI-OASIS\r\n";
inline constexpr size_t kOasisMagicSize = sizeof(kOasisMagic) - 1;

bool is_oasis(const uint8_t* data, size_t size);

// True when this reader was verified against the given klayout version.
bool oasis_reader_supports(const std::string& klayout_version);

// Reads OASIS bytes with the options of the GDS2 reader (the same layers,
// texts, order, version, libraries and cell sink).  False, with the reason
// in `reason` and `out` left empty, wherever the result could differ from
// KLayout's.
bool read_oasis(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason);

}  // namespace lumino::core
