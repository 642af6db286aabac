// The GDS2 reader's placements: SREF and AREF records as each_inst() holds
// them (simple or complex transformations, regular arrays, and the
// sub-arrays KLayout splits an array into whose corner points do not
// divide evenly); or, when listing a stream, single placements of a quarter
// turn kept as written.
#include <algorithm>
#include <cmath>

#include "lumino/core/read/gds_reader.hpp"
#include "lumino/core/read/kplacement.hpp"

namespace lumino::core::gds {

using kplace::fits32;
using kplace::placement;
using kplace::round_coord;

void PlacementReader::ref(bool array) {
    st_.skip_element_start(sSNAME, "SNAME record expected");
    const uint32_t child = st_.cell_for_instance(st_.rec.get_cstring());
    if (st_.listing) {
        listed_ref(array, child);
        return;
    }
    bool mirror = false, is_mag = false;
    int angle = 0;
    double angle_deg = 0.0, mag = 1.0;
    uint16_t id = st_.rec.get();
    while (id == sSTRANS || id == sMAG || id == sANGLE) {
        if (id == sSTRANS) {
            if (st_.rec.get_short() & 0x8000) mirror = true;
        } else if (id == sMAG) {
            mag = st_.rec.get_double();
            if (std::fabs(mag - 1.0) > 1e-9) is_mag = true;
        } else {
            angle_deg = st_.rec.get_double();
            const double a = angle_deg / 90.0;
            if (!(std::fabs(a) < 1e6)) decline("rotation angle out of range");
            angle = int(a < 0 ? (a - 0.5) : (a + 0.5));
            if (std::fabs(double(angle) - a) > 1e-9) {
                angle = -1;  // an arbitrary angle: angle_deg applies
            } else {
                angle = ((angle % 4) + 4) % 4;
            }
        }
        id = st_.rec.get();
    }
    const bool complex = is_mag || angle < 0;
    if (complex && !(mag > 0.0)) decline("magnification not positive");
#if !defined(__x86_64__)
    // KLayout's own build may fuse floating-point operations here.
    if (complex) decline("complex placement not verified on this platform");
#endif

    auto make = [&](int64_t x, int64_t y) {
        Instance inst;
        inst.child = child;
        if (complex) {
            inst.trans = placement(mag, angle_deg, mirror, x, y);
        } else {
            inst.trans.rot = angle;
            inst.trans.mirror = mirror;
            inst.trans.dx = double(x);
            inst.trans.dy = double(y);
        }
        return inst;
    };

    if (!array) {
        if (id != sXY) decline("XY record expected");
        if (st_.rec.xy_count() < 1) decline("too few points in XY record for SREF");
        const Point p = st_.rec.xy(0);
        const Instance inst = make(p.x, p.y);
        st_.add_instance(st_.finish_element(true) ? st_.with_props : st_.out.cells[st_.current].instances, inst);
        return;
    }

    if (id != sCOLROW) decline("COLROW record expected");
    int cols = st_.rec.get_ushort();
    int rows = st_.rec.get_ushort();
    cols = std::max(1, cols);
    rows = std::max(1, rows);
    if (st_.rec.get() != sXY) decline("XY record expected");
    if (st_.rec.xy_count() < 3) decline("too few points in XY record for AREF");
    const Point o = st_.rec.xy(0), pc = st_.rec.xy(1), pr = st_.rec.xy(2);
    int64_t cx = int64_t(pc.x) - o.x, cy = int64_t(pc.y) - o.y;
    int64_t rx = int64_t(pr.x) - o.x, ry = int64_t(pr.y) - o.y;
    if (!fits32(cx) || !fits32(cy) || !fits32(rx) || !fits32(ry)) decline("array vector out of range");
    // Axes without displacement only stack instances on one another.
    if (cx == 0 && cy == 0) cols = 1;
    if (rx == 0 && ry == 0) rows = 1;
    std::vector<Instance>& dst = st_.finish_element(true) ? st_.with_props : st_.out.cells[st_.current].instances;

    const bool split_cols = cols > 1 && (cx % cols != 0 || cy % cols != 0);
    const bool split_rows = rows > 1 && (rx % rows != 0 || ry % rows != 0);

    // A split can give up to cols x rows sub-arrays (4e9 for one record): past
    // a bound no real layout comes near, the reader declines rather than let
    // a few bytes of input fill the memory.
    constexpr size_t kMaxSplit = size_t(1) << 20;
    size_t parts = 0;
    auto add = [&](int64_t x, int64_t y, int64_t ax, int64_t ay, int64_t bx, int64_t by, int na, int nb) {
        if (++parts > kMaxSplit) decline("array splits into more than 1048576 parts");
        if (!fits32(x) || !fits32(y)) decline("array origin out of range");
        Instance inst = make(x, y);
        inst.array = true;
        inst.ax = ax, inst.ay = ay, inst.bx = bx, inst.by = by;
        inst.na = uint32_t(na), inst.nb = uint32_t(nb);
        st_.add_instance(dst, inst);
    };

    if (!split_cols && !split_rows) {
        if (cols > 1) cx /= cols, cy /= cols;
        if (rows > 1) rx /= rows, ry /= rows;
        add(o.x, o.y, rx, ry, cx, cy, rows, cols);
        return;
    }

    // A corner point that does not divide evenly: KLayout splits the
    // array into sub-arrays whose elements stay within half a unit of
    // their exact places.
#if !defined(__x86_64__)
    decline("array split not verified on this platform");
#endif
    const double cdx = double(cx) * (1.0 / double(cols)), cdy = double(cy) * (1.0 / double(cols));
    const double rdx = double(rx) * (1.0 / double(rows)), rdy = double(ry) * (1.0 / double(rows));
    int32_t scx, scy, srx, sry;
    if (!round_coord(cdx, scx) || !round_coord(cdy, scy) || !round_coord(rdx, srx) || !round_coord(rdy, sry))
        decline("array step out of range");
    auto groups = [](bool split, int count, double dx, double dy, int32_t sx, int32_t sy, int& i) {
        if (!split) {
            i = count;
            return true;
        }
        double px = 0.0 + dx * double(i), py = 0.0 + dy * double(i);
        int32_t qx, qy;
        if (!round_coord(px, qx) || !round_coord(py, qy)) return false;
        int64_t ix = qx, iy = qy;
        do {
            ++i;
            px += dx, py += dy;
            ix += sx, iy += sy;
            if (!fits32(ix) || !fits32(iy)) return false;
        } while (i < count && std::fabs(px - double(ix)) < 0.5 && std::fabs(py - double(iy)) < 0.5);
        return true;
    };
    int ic = 0;
    while (ic < cols) {
        const int ic0 = ic;
        if (!groups(split_cols, cols, cdx, cdy, scx, scy, ic)) decline("array out of range");
        int ir = 0;
        while (ir < rows) {
            const int ir0 = ir;
            if (!groups(split_rows, rows, rdx, rdy, srx, sry, ir)) decline("array out of range");
            int32_t ox, oy;
            if (!round_coord(cdx * double(ic0) + rdx * double(ir0), ox) ||
                !round_coord(cdy * double(ic0) + rdy * double(ir0), oy))
                decline("array out of range");
            add(int64_t(o.x) + ox, int64_t(o.y) + oy, srx, sry, scx, scy, ir - ir0, ic - ic0);
        }
    }
}

// A placement: kept where it is as held, a single one of a quarter turn
// (an ANGLE of exactly 0, 90, 180 or 270 degrees), an optional mirror,
// a magnification of exactly 1 and no absolute flags.
void PlacementReader::listed_ref(bool array, uint32_t child) {
    bool mirror = false, held = !array;
    int rot = 0;
    uint16_t id = st_.rec.get();
    while (id == sSTRANS || id == sMAG || id == sANGLE) {
        if (id == sSTRANS) {
            const uint16_t flags = st_.rec.get_ushort();
            mirror = (flags & 0x8000) != 0;
            if (flags & 0x0006) held = false;  // absolute magnification or angle
        } else if (id == sMAG) {
            if (st_.rec.get_double() != 1.0) held = false;
        } else {
            const double angle = st_.rec.get_double();
            rot = angle == 0.0 ? 0 : angle == 90.0 ? 1 : angle == 180.0 ? 2 : angle == 270.0 ? 3 : -1;
            if (rot < 0) held = false;
        }
        id = st_.rec.get();
    }
    if (array) {
        if (id != sCOLROW) decline("COLROW record expected");
        id = st_.rec.get();
    }
    if (id != sXY) decline("XY record expected");
    if (st_.rec.xy_count() < 1) decline("too few points in XY record");
    const Point p = st_.rec.xy(0);
    st_.finish_element(false);
    if (!held) {
        st_.placements_not_held = true;
        return;
    }
    Instance inst;
    inst.child = child;
    inst.trans.rot = rot;
    inst.trans.mirror = mirror;
    inst.trans.dx = double(p.x);
    inst.trans.dy = double(p.y);
    st_.add_instance(st_.out.cells[st_.current].instances, inst);
}

}  // namespace lumino::core::gds
