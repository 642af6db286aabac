// OASIS placements, repetitions and the properties that follow an element.
// A placement repeated on a regular lattice is one array instance in
// KLayout; repeated irregularly it is one instance per position, in the
// order of the repetition.  Magnifications and angles are taken as KLayout
// takes them: a quarter turn without magnification (to within 1e-6) is a
// simple transformation, anything else a complex one.
#include <cmath>

#include "lumino/core/read/kplacement.hpp"
#include "lumino/core/read/oasis_reader.hpp"

namespace lumino::core::oasis {

namespace {

// Elements of one lattice axis; beyond it KLayout's own arithmetic wraps.
constexpr uint64_t kMaxCount = uint64_t(INT32_MAX);

uint64_t count(uint64_t more, bool repeats) {
    if (!repeats) return 1;
    if (more > kMaxCount - 2) decline("repetition too large");
    return more + 2;
}

int32_t sum(int64_t a, int64_t b) {
    const int64_t s = a + b;
    if (s < INT32_MIN || s > INT32_MAX) decline("repetition out of range");
    return int32_t(s);
}

}  // namespace

void Reader::count_repeated(bool repeated, uint32_t li, size_t points) {
    if (!repeated) return;
    const uint64_t n = mm_.repetition->size();  // below 2^62
    repeated_ += n;
    if (repeated_ > options_.limits.repeated_shapes) decline("repetitions make more shapes than the reader builds");
    if (!stage_.kept(li)) return;
    repeated_points_ += n * (points + 3);  // n below the shape limit here
    if (repeated_points_ > options_.limits.repeated_points) decline("repetitions make more points than the reader builds");
}

bool Reader::repetition() {
    const uint32_t type = in_.u32();
    if (type == 0) {
        if (!mm_.repetition) decline("modal variable repetition used before it was set");
        return mm_.repetition->size() > 1;
    }
    Repetition rep;
    switch (type) {
        case 1: {
            const uint64_t nx = in_.u64(), ny = in_.u64();
            const int32_t dx = in_.ucoord(), dy = in_.ucoord();
            rep.a = Vec{dx, 0};
            rep.b = Vec{0, dy};
            rep.n = count(nx, dx != 0);
            rep.m = count(ny, dy != 0);
            break;
        }
        case 2: {
            const uint64_t nx = in_.u64();
            const int32_t dx = in_.ucoord();
            rep.a = Vec{dx, 0};
            rep.n = count(nx, dx != 0);
            break;
        }
        case 3: {
            const uint64_t ny = in_.u64();
            const int32_t dy = in_.ucoord();
            rep.b = Vec{0, dy};
            rep.m = count(ny, dy != 0);
            break;
        }
        case 4: case 5: case 6: case 7: {
            rep.regular = false;
            const uint64_t n = in_.u64();
            const uint64_t grid = (type == 5 || type == 7) ? in_.u64() : 1;
            if (n >= options_.limits.repeated_shapes) decline("repetition too large");
            int64_t at = 0;
            // Zero spacings repeat nothing: KLayout drops them.
            for (uint64_t k = 0; k <= n; ++k) {
                const int32_t d = in_.ucoord(grid);
                if (d == 0) continue;
                at = sum(at, d);
                rep.points.push_back(type < 6 ? Vec{int32_t(at), 0} : Vec{0, int32_t(at)});
            }
            break;
        }
        case 8: {
            const uint64_t n = in_.u64(), m = in_.u64();
            const Vec dn = in_.gdelta(), dm = in_.gdelta();
            rep.a = dn;
            rep.b = dm;
            rep.n = count(n, !dn.zero());
            rep.m = count(m, !dm.zero());
            break;
        }
        case 9: {
            const uint64_t n = in_.u64();
            const Vec dn = in_.gdelta();
            rep.a = dn;
            rep.n = count(n, !dn.zero());
            break;
        }
        case 10: case 11: {
            rep.regular = false;
            const uint64_t n = in_.u64();
            const uint64_t grid = type == 11 ? in_.u64() : 1;
            if (n >= options_.limits.repeated_shapes) decline("repetition too large");
            int64_t x = 0, y = 0;
            for (uint64_t k = 0; k <= n; ++k) {
                const Vec d = in_.gdelta(grid);
                if (d.zero()) continue;
                x = sum(x, d.x);
                y = sum(y, d.y);
                rep.points.push_back(Vec{int32_t(x), int32_t(y)});
            }
            break;
        }
        default: decline("invalid repetition type");
    }
    mm_.repetition = std::move(rep);
    return mm_.repetition->size() > 1;
}

void Reader::placement(uint8_t r) {
    const uint8_t m = in_.byte();
    if (m & 0x80) mm_.placement_cell = (m & 0x40) ? cells_.placed(in_.u64()) : cells_.placed(std::string(in_.string()));
    double mag = 1.0, angle_deg = 0.0;
    bool mag_set = false;
    int angle = 0;
    if (r == 18) {
        if (m & 0x04) {
            mag = in_.real();
            if (std::fabs(mag - 1.0) > 1e-6) mag_set = true;
        }
        if (m & 0x02) {
            angle_deg = in_.real();
            const double a = angle_deg / 90.0;
            if (!(std::fabs(a) < 1e6)) decline("rotation angle out of range");
            angle = int(a < 0 ? (a - 0.5) : (a + 0.5));
            if (std::fabs(double(angle) - a) > 1e-6) {
                angle = -1;  // an arbitrary angle: angle_deg applies
            } else {
                angle = ((angle % 4) + 4) % 4;
            }
        }
    } else {
        angle = (m & 0x06) >> 1;
    }
    const bool mirror = (m & 0x01) != 0;
    position(mm_.placement_x, mm_.placement_y, m, 0x20, 0x10);
    const Vec pos{mm_.placement_x, mm_.placement_y};
    if (!mm_.placement_cell) decline("modal variable placement-cell used before it was set");
    const uint32_t child = *mm_.placement_cell;
    const bool complex = mag_set || angle < 0;
    if (complex && !(mag > 0.0)) decline("magnification not positive");
#if !defined(__x86_64__)
    // KLayout's own build may fuse floating-point operations here.
    if (complex) decline("complex placement not verified on this platform");
#endif
    auto make = [&](int64_t x, int64_t y) {
        Instance inst;
        inst.child = child;
        if (complex) {
            inst.trans = kplace::placement(mag, angle_deg, mirror, x, y);
        } else {
            inst.trans.rot = angle;
            inst.trans.mirror = mirror;
            inst.trans.dx = double(x);
            inst.trans.dy = double(y);
        }
        return inst;
    };
    const bool repeated = (m & 0x08) && repetition();
    std::vector<Instance>& dst = element_properties() ? with_props_ : out_.cells[current_].instances;
    if (repeated && mm_.repetition->regular) {
        const Repetition& rep = *mm_.repetition;
        Instance inst = make(pos.x, pos.y);
        inst.array = true;
        inst.ax = rep.a.x, inst.ay = rep.a.y, inst.bx = rep.b.x, inst.by = rep.b.y;
        inst.na = uint32_t(rep.n), inst.nb = uint32_t(rep.m);
        dst.push_back(inst);
        return;
    }
    each_position(pos, repeated, [&](int64_t x, int64_t y) { dst.push_back(make(x, y)); });
}

bool Reader::element_properties() {
    bool any = false;
    while (true) {
        const uint8_t r = in_.byte();
        if (r == 0) continue;  // PAD
        if (r == 34) {
            cblock();
        } else if (r == 28) {
            props_.read();
            props_.store_element();
            any = true;
        } else if (r == 29) {
            props_.store_element();
            any = true;
        } else {
            in_.unget();
            return any;
        }
    }
}

void Reader::named_properties(ContextProps* context) {
    while (true) {
        const uint8_t r = in_.byte();
        if (r == 0) continue;
        if (r == 34) {
            cblock();
        } else if (r == 28) {
            props_.read();
            props_.store_named(context);
        } else if (r == 29) {
            props_.store_named(context);
        } else {
            in_.unget();
            return;
        }
    }
}

}  // namespace lumino::core::oasis
