// A direct reader of GDS2 files into the plain layout the core works on,
// giving exactly what KLayout's Layout().read(path) with default options
// gives: cell indices, names and top cells, layer indices, the database
// unit, each cell's shapes per layer in Shapes.each() order with
// Shape.polygon's hull points, and its instances in each_inst() order.
//
// Whatever the reader has not been verified on (record kinds, values,
// KLayout versions, paths KLayout would open differently) makes it decline
// with a reason instead of answering; the caller then reads with KLayout,
// which also raises KLayout's own error for a file that cannot be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lumino/core/model/layout.hpp"

namespace lumino::core {

// Told of each cell on the reading thread as soon as its shapes are final:
// from then on the buffers of its shape lists stay where and as they are
// while the layout lives (the lists themselves may move).
class CellSink {
  public:
    // Outlines of at least this many points are also told as they are read.
    static constexpr size_t kOutlineTold = 256;

    virtual ~CellSink() = default;
    virtual void cell_read(uint32_t ci, const Cell& cell, double dbu) = 0;
    // A polygon's or path's hull of `points` points (x0, y0, x1, y1, ...)
    // in a cell still being read, at least kOutlineTold of them: valid only
    // during the call.  The same points come again with the cell.
    virtual void outline_read(const int32_t* xy, size_t points, double dbu) {
        (void)xy, (void)points, (void)dbu;
    }
    // The read declined: the layout is about to be freed.
    virtual void read_declined() = 0;

    // Tells the sink of shape list s's last shape when it is a large hull.
    static void tell_last(CellSink* sink, const Shapes& s, double dbu) {
        if (!sink || s.polygon.empty() || !s.polygon.back()) return;
        const size_t n = s.start.size(), points = size_t(s.start[n - 1] - s.start[n - 2]);
        if (points >= kOutlineTold) sink->outline_read(s.xy.data() + 2 * s.start[n - 2], points, dbu);
    }
};

// What read_gds tells of a stream it lists (GdsReadOptions::listing):
// which of each cell's layers and placements the stream gives as KLayout
// holds them in memory.
struct StreamListing {
    // By cell, by layer index (a layer past the end: the cell has no shapes
    // there): every shape is a text, or a boundary of three or more points
    // that visits no point twice and whose doubled area stays well inside
    // 64 bits.  KLayout writes a path as a PATH, a polygon with holes as one
    // boundary through cut lines, and orients a hull whose area arithmetic
    // overflows otherwise than it writes it.
    std::vector<std::vector<uint8_t>> shapes_as_held;
    // By cell: every placement is a single one with a quarter turn, an
    // optional mirror and magnification 1 (KLayout writes arrays in a form
    // of its own and complex placements rounded).
    std::vector<uint8_t> placements_as_held;
};

// What a small OASIS file may make the reader build before the read is
// declined: a few bytes of repetition or compressed block can describe far
// more than any writer puts there.  The defaults hold for a whole machine;
// a caller with less room lowers them.
struct ReadLimits {
    // Shapes made by repetitions (each costs time, kept or not).
    uint64_t repeated_shapes = uint64_t(1) << 27;
    // Points kept from repetitions, three more counted for each shape's
    // entries (about two gigabytes).
    uint64_t repeated_points = uint64_t(1) << 28;
    // Bytes one compressed block inflates to.
    uint64_t inflated_bytes = uint64_t(1) << 32;
};

struct GdsReadOptions {
    // The (layer, datatype) pairs whose shapes are read; the shapes of other
    // layers are skipped (their layers still get their indices).  All
    // layers when `all_layers` is set.
    bool all_layers = true;
    std::vector<std::pair<int32_t, int32_t>> layers;
    // Whether texts are read (KLayout's LoadLayoutOptions.text_enabled):
    // without them a text is still checked but opens no layer and is not kept.
    bool texts = true;
    // Whether each cell's shapes and instances come in KLayout's order.
    // Without it they stay in file order within each shape kind: enough
    // for counting, and quicker on cells with many of them.
    bool order = true;
    // The version of the installed klayout package ("0.30.12"); the reader
    // answers only for versions it was verified against.
    std::string klayout_version;
    // Names of the libraries registered in KLayout in this process: a cell
    // the file declares as a proxy of one of them is rebuilt by KLayout from
    // that library, which this reader does not do.
    std::vector<std::string> libraries;
    // Told of each cell as it is read; not owned.
    CellSink* cells = nullptr;
    // When set, the stream is listed instead of read as KLayout would read
    // it: each cell's shapes per layer in stream order (a text with no
    // points, a boundary with its points as written, without the closing
    // one; other shapes with no points), its placements in stream order
    // where all are as held (see StreamListing), every layer and text, no
    // context information interpreted, and any klayout version.  On
    // KLayout's own serialisation of a layout (Layout.write_bytes), which
    // writes each cell's shapes per layer and its instances in the order
    // KLayout iterates them, what is as held is that layout's
    // Shapes.each() with Shape.polygon's hull points and its each_inst().
    // Not owned.
    StreamListing* listing = nullptr;
    ReadLimits limits;
};

// True when this reader was verified against the given klayout version.
bool gds_reader_supports(const std::string& klayout_version);

// Reads GDS2 stream bytes.  False, with the reason in `reason` and `out`
// left unspecified, wherever the result could differ from KLayout's.
bool read_gds(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason);

}  // namespace lumino::core
