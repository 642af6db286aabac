// The viewer message of a layout as text (no Python): a layout and plain
// settings in, the JSON text that lumino sends out, byte for byte what the
// record road gives (to_3D_viewer(..., as_dict=True), numpy_to_buffer_json,
// then orjson with the viewer configuration).
//
// The text is made in two steps, so that a caller can write it straight
// into storage of its exact size (lumino: the Python text it sends): make()
// parses, simplifies and lays out the parts and keeps the pool as float32
// (the form the message holds), size() is then the text's exact length, and
// write() writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/model/tree.hpp"

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
    uint64_t memory_budget = UINT64_MAX;  // the most the message may take, in bytes
};

enum class MessageStatus {
    ok,
    missing_cell,  // an instance names a cell the layout has not (`missing`)
    not_writable,  // a value has no text that is the same for every encoder
                   // release (a float in exponent form, a text that is not
                   // UTF-8): the caller takes the record road
    too_large,     // the message would pass the memory budget (refusal())
};

class Message {
  public:
    Message();
    ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // The layers of `layout` whose (layer, datatype) the table holds are
    // read; every top cell is parsed, combined and turned into parts.  The
    // layout is taken over: each cell's contents are freed once parsed, and
    // the pool is kept as float32 only.  `simplify` runs on the calling
    // thread.  `presimplified` (finished), where given, holds outlines
    // simplified while the layout was read.
    MessageStatus make(Layout&& layout, const MessageSettings& settings, const Simplifier& simplify,
                       uint32_t& missing, Presimplifier* presimplified = nullptr);

    // After make() gave ok: the text's length in bytes, and whether every
    // byte of it is ASCII (names and colours may hold other UTF-8).
    size_t size() const;
    bool ascii() const;

    // After make() gave too_large: why, with the size and the depth.
    const std::string& refusal() const;

    // Writes the text into out[0, size()), never past it, and frees what
    // make() kept.  Once.  False when the text did not come out at the
    // counted size (a fault of this code; `out` is then not the message).
    bool write(char* out);

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// Gives the memory the allocator holds free back to the system, where the
// message is large enough for that to lower the peak as its text grows
// (kTrimFrom bytes and more).  After a smaller message the free memory is
// kept: the next call reuses its pages instead of faulting them in again.
constexpr size_t kTrimFrom = size_t(8) << 20;
void release_free_memory(size_t message_size);

// make(), then the text into `out` (a convenience of the two steps;
// throws std::logic_error where write() gives false).
MessageStatus message_text(Layout&& layout, const MessageSettings& settings, const Simplifier& simplify,
                           std::string& out, uint32_t& missing);

}  // namespace lumino::core
