// Shapes and placements of one cell from KLayout's GDS2 serialisation.
#include "lumino/core/read/stream.hpp"

#include <algorithm>
#include <cstdlib>

namespace lumino::core {

namespace {

// Whether KLayout's 64-bit area arithmetic may overflow on this outline:
// products of coordinates (or of the extents) reach 2^61.
bool area_may_overflow(const int32_t* xy, uint32_t n) {
    int64_t x0 = xy[0], x1 = xy[0], y0 = xy[1], y1 = xy[1], ax = 0, ay = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const int64_t x = xy[2 * k], y = xy[2 * k + 1];
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        ax = std::max(ax, std::abs(x)), ay = std::max(ay, std::abs(y));
    }
    constexpr double limit = 0x1p61;
    return double(x1 - x0) * double(y1 - y0) >= limit || double(ax) * double(ay) >= limit;
}

}  // namespace

bool shapes_from_stream(const gds::Library& lib, const gds::Structure& s, uint16_t layer, uint16_t datatype,
                        size_t expected, Shapes& out) {
    const std::vector<uint32_t>* elements = s.on_layer(layer, datatype);
    const size_t n = elements ? elements->size() : 0;
    if (n != expected) return false;
    size_t points = 0;
    for (size_t k = 0; k < n; ++k) {
        const gds::Element& e = s.elements[(*elements)[k]];
        if (e.kind == gds::Kind::Text) continue;
        if (e.kind != gds::Kind::Boundary || e.repeated_vertex || e.count < 3) return false;
        if (area_may_overflow(lib.xy.data() + 2 * size_t(e.first), e.count)) return false;
        points += e.count;
    }
    out = Shapes();
    out.polygon.reserve(n);
    out.start.reserve(n + 1);
    out.xy.reserve(2 * points);
    for (size_t k = 0; k < n; ++k) {
        const gds::Element& e = s.elements[(*elements)[k]];
        const bool polygon = e.kind != gds::Kind::Text;
        if (polygon) {
            const int32_t* xy = lib.xy.data() + 2 * size_t(e.first);
            out.xy.insert(out.xy.end(), xy, xy + 2 * size_t(e.count));
        }
        out.polygon.push_back(polygon ? 1 : 0);
        out.start.push_back(out.xy.size() / 2);
    }
    return true;
}

bool insts_from_stream(const gds::Structure& s, const std::unordered_map<std::string, uint32_t>& cells,
                       size_t expected, std::vector<Instance>& out) {
    if (s.placements.size() != expected) return false;
    std::vector<Instance> insts;
    insts.reserve(s.placements.size());
    for (const gds::Placement& pl : s.placements) {
        if (pl.array || pl.abs_mag || pl.abs_angle || pl.mag != 1.0) return false;
        int rot = -1;
        for (int q = 0; q < 4; ++q)
            if (pl.angle == 90.0 * q) rot = q;
        if (rot < 0) return false;
        auto it = cells.find(pl.sname);
        if (it == cells.end()) return false;
        Instance& inst = insts.emplace_back();
        inst.child = it->second;
        inst.trans.rot = rot;
        inst.trans.mirror = pl.mirror;
        inst.trans.dx = double(pl.xy[0]);
        inst.trans.dy = double(pl.xy[1]);
    }
    out = std::move(insts);
    return true;
}

}  // namespace lumino::core
