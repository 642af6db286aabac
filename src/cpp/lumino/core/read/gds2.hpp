// A reader of GDS2 stream bytes (no Python): per structure, its elements in
// stream order with their layer, datatype and points, and its placements of
// other structures.  The layout parser uses it on KLayout's own in-memory
// serialisation of a layout, which lists each cell's shapes per layer in the
// order KLayout iterates them.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumino::gds {

enum class Kind : uint8_t { Boundary, Path, Text, Box, Node };

// One shape element.  Points are stored in Library::xy as x, y pairs; a
// boundary's closing point is not stored.
struct Element {
    Kind kind = Kind::Boundary;
    uint16_t layer = 0, datatype = 0;
    uint32_t first = 0, count = 0;  // points: xy[2 * first ...], `count` pairs
    bool repeated_vertex = false;   // a boundary that visits one point twice
};

// One SREF or AREF.  `xy` holds the origin and, for an array, the two
// corner points (origin + cols * column step, origin + rows * row step).
struct Placement {
    std::string sname;
    bool array = false;
    int32_t cols = 1, rows = 1;
    bool mirror = false, abs_mag = false, abs_angle = false;
    bool has_mag = false, has_angle = false;
    double mag = 1.0, angle = 0.0;  // degrees
    int64_t xy[6] = {0, 0, 0, 0, 0, 0};
};

struct Structure {
    std::string name;
    std::vector<Element> elements;
    std::vector<Placement> placements;
    // (layer << 16 | datatype) -> indices into `elements`, in stream order.
    std::unordered_map<uint32_t, std::vector<uint32_t>> by_layer;

    const std::vector<uint32_t>* on_layer(uint16_t layer, uint16_t datatype) const {
        auto it = by_layer.find(uint32_t(layer) << 16 | datatype);
        return it == by_layer.end() ? nullptr : &it->second;
    }
};

struct Library {
    std::vector<Structure> structures;
    std::vector<int32_t> xy;
    std::unordered_map<std::string, size_t> by_name;

    const Structure* find(const std::string& name) const {
        auto it = by_name.find(name);
        return it == by_name.end() ? nullptr : &structures[it->second];
    }
};

// Reads a whole GDS2 stream.  False, with a reason in `error`, when the bytes
// are not a well-formed stream (truncated records, elements without their
// required records, values out of range); `out` is then unusable.
bool read(const uint8_t* data, size_t size, Library& out, std::string& error);

// The value of a GDS2 eight-byte real (excess-64, base-16 exponent).
double real8(const uint8_t* p);

}  // namespace lumino::gds
