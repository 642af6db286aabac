// The viewer message of a layout as text (no Python): a layout and plain
// settings in, the JSON text that lumino sends out, byte for byte what the
// record road gives (to_3D_viewer(..., as_dict=True), numpy_to_buffer_json,
// then orjson with the viewer configuration).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumino/core/layout.hpp"
#include "lumino/core/tree.hpp"

namespace lumino::core {

// The fixed viewer configuration, as JSON text.
extern const std::string_view kViewerConfig;

// One entry of the layer table, with the values the lookups give for it.
struct LayerEntry {
    int64_t layer = 0, datatype = 0;
    std::string name;       // display name, e.g. "WG (1, 0)"
    bool excluded = false;  // matched by an exclusion pattern
    double height = 0.0;    // thickness times the z scale
    double zmin = 0.0;      // bottom times the z scale
    std::string color;
};

struct MessageSettings {
    bool by_cell = false;             // Output.CELL, else Output.LAYER
    std::vector<LayerEntry> table;    // one entry per (layer, datatype) pair
    std::optional<double> tolerance;  // simplify polygons when set
};

enum class MessageStatus {
    ok,
    missing_cell,  // an instance names a cell the layout has not (`missing`)
    not_writable,  // a value has no text that is the same for every encoder
                   // release (a float in exponent form, a text that is not
                   // UTF-8): the caller takes the record road
};

// The layers of `layout` whose (layer, datatype) the table holds are read;
// every top cell is parsed, combined and turned into parts.  The layout is
// taken over: each cell's contents are freed once parsed.
MessageStatus message_text(Layout&& layout, const MessageSettings& settings, const Simplifier& simplify,
                           std::string& out, uint32_t& missing);

}  // namespace lumino::core
