// OASIS geometry and text records as KLayout stores them: rectangles as
// boxes; polygons, trapezoids and ctrapezoids as simple polygons (the points
// relative to the position, assigned as a contour, then moved there);
// paths with their extensions, and circles as round one-point paths; texts
// as texts.  Each repeated element becomes one shape per position.
#include <algorithm>
#include <cmath>
#include <string>

#include "lumino/core/read/oasis_reader.hpp"

namespace lumino::core::oasis {

namespace {

// Semi-circle points of a round path end (a circle): KLayout's default
// circle resolution halved, as in GDS2.
constexpr int kSemiCirclePoints = 16;

// Below this bound every intermediate of KLayout's path outline fits its
// integer types (as kpolygon.cpp requires of the points).
constexpr int64_t kPathBound = int64_t(1) << 30;

bool fits(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

int32_t checked(int64_t v, const char* what) {
    if (!fits(v)) decline(what);
    return int32_t(v);
}

[[noreturn]] void unset(const char* name) { decline(std::string("modal variable ") + name + " used before it was set"); }

template <class T>
const T& need(const std::optional<T>& v, const char* name) {
    if (!v) unset(name);
    return *v;
}

kbox::Box moved(const kbox::Box& b, int64_t dx, int64_t dy) {
    if (b.empty()) return b;
    return kbox::Box{checked(b.l + dx, "shape out of range"), checked(b.b + dy, "shape out of range"),
                     checked(b.r + dx, "shape out of range"), checked(b.t + dy, "shape out of range")};
}

// The box KLayout gives a polygon it stores moved to its first hull point:
// the box is moved there and back in wrapping 32-bit arithmetic, so that a
// polygon more than 2^31 units high or wide comes out with an empty box.
kbox::Box stored_polygon_box(const kbox::Box& b, const Point& low) {
    auto wrap = [](int64_t v) { return int32_t(uint32_t(uint64_t(v))); };
    const int32_t l = wrap(int64_t(b.l) - low.x), bo = wrap(int64_t(b.b) - low.y);
    const int32_t r = wrap(int64_t(b.r) - low.x), t = wrap(int64_t(b.t) - low.y);
    if (l > r || bo > t) return kbox::Box();
    const int32_t x1 = wrap(int64_t(l) + low.x), y1 = wrap(int64_t(bo) + low.y);
    const int32_t x2 = wrap(int64_t(r) + low.x), y2 = wrap(int64_t(t) + low.y);
    return kbox::Box{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
}

// The vertices of the 26 ctrapezoid types as multiples of the width and
// height: x = xw * w + xh * h, y = yw * w + yh * h.  The triangles repeat
// their first vertex as the fourth.
struct Coef {
    int8_t xw, xh, yw, yh;
};
constexpr Coef kCtrapezoids[26][4] = {
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, -1, 0, 1}, {1, 0, 0, 0}},    // 0
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, -1, 0, 0}},    // 1
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},     // 2
    {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},     // 3
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {1, -1, 0, 1}, {1, 0, 0, 0}},    // 4
    {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, -1, 0, 0}},    // 5
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {1, 0, 0, 1}, {1, -1, 0, 0}},    // 6
    {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, -1, 0, 1}, {1, 0, 0, 0}},    // 7
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, -1, 1}, {1, 0, 0, 0}},    // 8
    {{0, 0, 0, 0}, {0, 0, -1, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},    // 9
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 1, 0}},     // 10
    {{0, 0, 1, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},     // 11
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, -1, 1}, {1, 0, 1, 0}},    // 12
    {{0, 0, 1, 0}, {0, 0, -1, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},    // 13
    {{0, 0, 0, 0}, {0, 0, -1, 1}, {1, 0, 0, 1}, {1, 0, 1, 0}},    // 14
    {{0, 0, 1, 0}, {0, 0, 0, 1}, {1, 0, -1, 1}, {1, 0, 0, 0}},    // 15
    {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 0, 0}},     // 16
    {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 1, 0}, {0, 0, 0, 0}},     // 17
    {{0, 0, 0, 0}, {1, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 0, 0}},     // 18
    {{0, 0, 1, 0}, {1, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}},     // 19
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {0, 2, 0, 0}, {0, 0, 0, 0}},     // 20
    {{0, 0, 0, 1}, {0, 2, 0, 1}, {0, 1, 0, 0}, {0, 0, 0, 1}},     // 21
    {{0, 0, 0, 0}, {0, 0, 2, 0}, {1, 0, 1, 0}, {0, 0, 0, 0}},     // 22
    {{1, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 2, 0}, {1, 0, 0, 0}},     // 23
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},     // 24
    {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 1, 0}, {1, 0, 0, 0}},     // 25
};

}  // namespace

void Reader::position(int32_t& x, int32_t& y, uint8_t info, uint8_t x_bit, uint8_t y_bit) {
    if (info & x_bit) {
        const int32_t v = in_.s32();
        x = absolute_ ? v : checked(int64_t(x) + v, "position out of range");
    }
    if (info & y_bit) {
        const int32_t v = in_.s32();
        y = absolute_ ? v : checked(int64_t(y) + v, "position out of range");
    }
}

void Reader::layer_fields(uint8_t info) {
    if (info & 0x01) mm_.layer = in_.u32();
    if (info & 0x02) mm_.datatype = in_.u32();
}

void Reader::point_list(std::vector<Point>& out, bool for_polygon) {
    const uint32_t type = in_.u32();
    const uint64_t n = in_.u64();
    if (n == 0) decline("point list of length zero");
    if (n > (uint64_t(1) << 28)) decline("point list too long");
    out.clear();
    out.reserve(size_t(std::min<uint64_t>(n, 1 << 16)) + 2);
    out.push_back(Point{0, 0});
    int64_t x = 0, y = 0;
    auto add = [&](int64_t dx, int64_t dy) __attribute__((always_inline)) {
        x = checked(x + dx, "point out of range");
        y = checked(y + dy, "point out of range");
        out.push_back(Point{int32_t(x), int32_t(y)});
    };
    if (type == 0 || type == 1) {
        bool horizontal = type == 0;
        for (uint64_t k = 0; k < n; ++k) {
            const int32_t d = in_.coord();
            horizontal ? add(d, 0) : add(0, d);
            horizontal = !horizontal;
        }
        // A polygon's list ends with a point KLayout adds back to the axis
        // of the first one.
        if (for_polygon) out.push_back(horizontal ? Point{0, int32_t(y)} : Point{int32_t(x), 0});
    } else if (type == 2 || type == 3 || type == 4) {
        for (uint64_t k = 0; k < n; ++k) {
            const Vec d = type == 2 ? in_.delta2() : type == 3 ? in_.delta3() : in_.gdelta();
            add(d.x, d.y);
        }
    } else if (type == 5) {
        int64_t dx = 0, dy = 0;
        for (uint64_t k = 0; k < n; ++k) {
            const Vec d = in_.gdelta();
            dx = checked(dx + d.x, "point out of range");
            dy = checked(dy + d.y, "point out of range");
            add(dx, dy);
        }
    } else {
        decline("invalid point list type");
    }
}

void Reader::rectangle() {
    const uint8_t m = in_.byte();
    layer_fields(m);
    if (m & 0x40) mm_.geometry_w = in_.distance();
    if (m & 0x80) {
        mm_.geometry_h = mm_.geometry_w;  // a square
    } else if (m & 0x20) {
        mm_.geometry_h = in_.distance();
    }
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    const int64_t x = mm_.geometry_x, y = mm_.geometry_y;
    const kbox::Box box{int32_t(x), int32_t(y), checked(x + need(mm_.geometry_w, "geometry-w"), "rectangle out of range"),
                        checked(y + need(mm_.geometry_h, "geometry-h"), "rectangle out of range")};
    const uint32_t li = open_layer(need(mm_.layer, "layer"), need(mm_.datatype, "datatype"));
    const bool repeated = (m & 0x04) && repetition();
    add_boxes(li, element_properties(), box, repeated);
}

void Reader::polygon() {
    const uint8_t m = in_.byte();
    layer_fields(m);
    if (m & 0x20) {
        point_list(mm_.polygon, true);
        mm_.has_polygon = true;
    }
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    const Vec pos{mm_.geometry_x, mm_.geometry_y};
    const uint32_t li = open_layer(need(mm_.layer, "layer"), need(mm_.datatype, "datatype"));
    const bool repeated = (m & 0x04) && repetition();
    const bool props = element_properties();
    if (!mm_.has_polygon) unset("polygon-point-list");
    if (mm_.polygon.size() < 3) return;  // KLayout leaves it out
    add_polygons(li, props, mm_.polygon, pos, repeated);
}

void Reader::trapezoid(uint8_t r) {
    const uint8_t m = in_.byte();
    layer_fields(m);
    if (m & 0x40) mm_.geometry_w = in_.distance();
    if (m & 0x20) mm_.geometry_h = in_.distance();
    int64_t da = 0, db = 0;
    if (r == 23 || r == 24) da = in_.coord();
    if (r == 23 || r == 25) db = in_.coord();
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    const Vec pos{mm_.geometry_x, mm_.geometry_y};
    const uint32_t li = open_layer(need(mm_.layer, "layer"), need(mm_.datatype, "datatype"));
    const int64_t w = need(mm_.geometry_w, "geometry-w"), h = need(mm_.geometry_h, "geometry-h");
    const char* range = "trapezoid out of range";
    std::vector<Point>& pts = points_;
    pts.resize(4);
    if (m & 0x80) {  // vertical
        pts[0] = Point{0, checked(std::max<int64_t>(da, 0), range)};
        pts[1] = Point{0, checked(h + std::min<int64_t>(db, 0), range)};
        pts[2] = Point{checked(w, range), checked(h - std::max<int64_t>(db, 0), range)};
        pts[3] = Point{checked(w, range), checked(-std::min<int64_t>(da, 0), range)};
    } else {
        pts[0] = Point{checked(std::max<int64_t>(da, 0), range), checked(h, range)};
        pts[1] = Point{checked(w + std::min<int64_t>(db, 0), range), checked(h, range)};
        pts[2] = Point{checked(w - std::max<int64_t>(db, 0), range), 0};
        pts[3] = Point{checked(-std::min<int64_t>(da, 0), range), 0};
    }
    const bool repeated = (m & 0x04) && repetition();
    add_polygons(li, element_properties(), pts, pos, repeated);
}

void Reader::ctrapezoid() {
    const uint8_t m = in_.byte();
    layer_fields(m);
    if (m & 0x80) mm_.ctrapezoid_type = in_.u32();
    if (m & 0x40) mm_.geometry_w = in_.distance();
    if (m & 0x20) mm_.geometry_h = in_.distance();
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    const Vec pos{mm_.geometry_x, mm_.geometry_y};
    const uint32_t li = open_layer(need(mm_.layer, "layer"), need(mm_.datatype, "datatype"));
    const uint32_t type = need(mm_.ctrapezoid_type, "ctrapezoid-type");
    if (type >= 26) decline("invalid CTRAPEZOID type");
    // The width and height are read only where the type uses them.
    auto term = [](int c, const std::optional<uint32_t>& v, const char* name) -> int64_t {
        return c ? c * int64_t(need(v, name)) : 0;
    };
    std::vector<Point>& pts = points_;
    pts.resize(4);
    int64_t wmax = 0, hmax = 0;
    for (int k = 0; k < 4; ++k) {
        const Coef& c = kCtrapezoids[type][k];
        const int64_t x = term(c.xw, mm_.geometry_w, "geometry-w") + term(c.xh, mm_.geometry_h, "geometry-h");
        const int64_t y = term(c.yw, mm_.geometry_w, "geometry-w") + term(c.yh, mm_.geometry_h, "geometry-h");
        pts[k] = Point{checked(x, "ctrapezoid out of range"), checked(y, "ctrapezoid out of range")};
        wmax = std::max(wmax, x);
        hmax = std::max(hmax, y);
    }
    // The modal width and height become those of the shape's box.
    mm_.geometry_w = uint32_t(wmax);
    mm_.geometry_h = uint32_t(hmax);
    if (pts[3] == pts[0]) pts.resize(3);
    const bool repeated = (m & 0x04) && repetition();
    add_polygons(li, element_properties(), pts, pos, repeated);
}

void Reader::path() {
    const uint8_t m = in_.byte();
    layer_fields(m);
    if (m & 0x40) mm_.halfwidth = in_.distance();
    if (m & 0x80) {
        const uint32_t scheme = in_.u32();
        auto half = [this] {
            const uint32_t hw = need(mm_.halfwidth, "path-halfwidth");
            if (hw > uint32_t(INT32_MAX)) decline("path extension out of range");
            return int32_t(hw);
        };
        switch (scheme & 0x0c) {
            case 0x0c: mm_.start_extension = in_.coord(); break;
            case 0x04: mm_.start_extension = 0; break;
            case 0x08: mm_.start_extension = half(); break;
            default: break;
        }
        switch (scheme & 0x03) {
            case 0x03: mm_.end_extension = in_.coord(); break;
            case 0x01: mm_.end_extension = 0; break;
            case 0x02: mm_.end_extension = half(); break;
            default: break;
        }
    }
    if (m & 0x20) {
        point_list(mm_.path, false);
        mm_.has_path = true;
    }
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    const Vec pos{mm_.geometry_x, mm_.geometry_y};
    const uint32_t li = open_layer(need(mm_.layer, "layer"), need(mm_.datatype, "datatype"));
    const bool repeated = (m & 0x04) && repetition();
    const bool props = element_properties();
    if (!mm_.has_path) unset("path-point-list");
    if (mm_.path.size() < 2) return;  // KLayout leaves it out
    const uint32_t hw = need(mm_.halfwidth, "path-halfwidth");
    if (hw >= uint32_t(kPathBound)) decline("path outline out of range");
    kpoly::Path p;
    p.points = mm_.path.data();
    p.n = mm_.path.size();
    p.width = int32_t(2 * hw);
    p.bgn_ext = need(mm_.start_extension, "path-start-extension");
    p.end_ext = need(mm_.end_extension, "path-end-extension");
    add_paths(li, props, p, pos, repeated);
}

void Reader::circle() {
    const uint8_t m = in_.byte();
    layer_fields(m);
    if (m & 0x20) mm_.circle_radius = in_.distance();
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    const Vec pos{mm_.geometry_x, mm_.geometry_y};
    const uint32_t li = open_layer(need(mm_.layer, "layer"), need(mm_.datatype, "datatype"));
    const uint32_t r = need(mm_.circle_radius, "circle-radius");
    const bool repeated = (m & 0x04) && repetition();
    const bool props = element_properties();
    if (r == 0) return;  // KLayout leaves it out
    if (r >= uint32_t(kPathBound)) decline("path outline out of range");
    static const Point origin{0, 0};
    kpoly::Path p;
    p.points = &origin;
    p.n = 1;
    p.width = int32_t(2 * r);
    p.bgn_ext = p.end_ext = int32_t(r);
    p.round = true;
    add_paths(li, props, p, pos, repeated);
}

void Reader::text() {
    const uint8_t m = in_.byte();
    if (m & 0x40) {
        if (m & 0x20) {
            const uint64_t id = in_.u64();
            if (text_forward_.count(id)) {
                mm_.text_string = false;
                mm_.text_forward = true;
            } else if (textstrings_.count(id)) {
                mm_.text_string = true;
            } else {
                mm_.text_string = false;
                mm_.text_forward = true;
                text_forward_.insert(id);
            }
        } else {
            in_.string();
            mm_.text_string = true;
        }
    }
    if (m & 0x01) mm_.textlayer = in_.u32();
    if (m & 0x02) mm_.texttype = in_.u32();
    position(mm_.text_x, mm_.text_y, m, 0x10, 0x08);
    const Vec pos{mm_.text_x, mm_.text_y};
    // Texts left out (KLayout's text_enabled off) open no layer.
    const uint32_t li = options_.texts ? open_layer(need(mm_.textlayer, "textlayer"), need(mm_.texttype, "texttype")) : 0;
    const bool repeated = (m & 0x04) && repetition();
    const bool props = element_properties();
    if (!options_.texts) return;
    if (!mm_.text_string && !mm_.text_forward) unset("text-string");
    add_texts(li, props, pos, repeated);
}

void Reader::xgeometry() {
    const uint8_t m = in_.byte();
    in_.u64();  // attribute
    layer_fields(m);
    in_.string();
    position(mm_.geometry_x, mm_.geometry_y, m, 0x10, 0x08);
    if (m & 0x04) repetition();
    named_properties(nullptr);
}

// ---- shapes at the positions of a repetition ----------------------------------

void Reader::add_boxes(uint32_t li, bool props, const kbox::Box& box, bool repeated) {
    count_repeated(repeated, li, 4);
    each_position(Vec{0, 0}, repeated, [&](int64_t dx, int64_t dy) {
        const kbox::Box b = moved(box, dx, dy);
        Shapes* s = stage_.stage(li, ShapeKind::box, props, b);
        if (!s) return;
        kpoly::box_hull(b.l, b.b, b.r, b.t, hull_);
        ShapeStage::push_hull(*s, hull_.data(), hull_.size());
    });
}

void Reader::add_polygons(uint32_t li, bool props, const std::vector<Point>& rel, const Vec& pos, bool repeated) {
    // The hull of the first copy; the others are moved copies of it (a
    // contour's start and orientation do not change when it moves).
    //
    // One pass over the points gives the box, the first lowest point and
    // the doubled area (in wrapping arithmetic: moving or reversing the
    // contour leaves it as it is or negates it).  KLayout assigns the
    // contour twice (when it reads the polygon and when Shape.polygon
    // converts it): from the lowest point on, reversed when the area is not
    // negative, and again so: reversed once when the area is positive.
    count_repeated(repeated, li, rel.size());
    const size_t n = rel.size();
    kbox::Box box;
    size_t m = 0;
    uint64_t area = 0;
    Point prev = rel[n - 1];
    for (size_t k = 0; k < n; ++k) {
        const Point& p = rel[k];
        box.add(p.x, p.y);
        if (p.y < rel[m].y || (p.y == rel[m].y && p.x < rel[m].x)) m = k;
        area += uint64_t(int64_t(prev.x) * p.y) - uint64_t(int64_t(prev.y) * p.x);
        prev = p;
    }
    const kbox::Box at = moved(box, pos.x, pos.y);  // every point within 32 bits
    const Point low{rel[m].x + pos.x, rel[m].y + pos.y};
    const kbox::Box stored = stored_polygon_box(at, low);
    const bool reverse = int64_t(area) > 0;
    auto write_hull = [&](Shapes& s, int64_t dx, int64_t dy) {
        const size_t from = s.xy.size();
        s.xy.resize(from + 2 * n);
        int32_t* out = s.xy.data() + from;
        for (size_t j = 0, k = m; j < n; ++j) {
            out[2 * j] = int32_t(rel[k].x + dx);
            out[2 * j + 1] = int32_t(rel[k].y + dy);
            if (reverse) k = k == 0 ? n - 1 : k - 1;
            else k = k + 1 == n ? 0 : k + 1;
        }
        s.polygon.push_back(1);
        s.start.push_back(s.xy.size() / 2);
    };
    each_position(pos, repeated, [&](int64_t x, int64_t y) {
        const int64_t dx = x - pos.x, dy = y - pos.y;
        moved(at, dx, dy);  // the copy's points within 32 bits
        Shapes* s = stage_.stage(li, ShapeKind::polygon, props, moved(stored, dx, dy));
        if (!s) return;
        write_hull(*s, x, y);
        CellSink::tell_last(options_.cells, *s, out_.dbu);
    });
}

void Reader::add_paths(uint32_t li, bool props, const kpoly::Path& rel, const Vec& pos, bool repeated) {
    const bool keep = stage_.kept(li);
    std::vector<Point>& abs = polygon_scratch_;
    abs.resize(rel.n);
    kbox::Box spine;
    for (size_t k = 0; k < rel.n; ++k) {
        abs[k] = Point{checked(int64_t(rel.points[k].x) + pos.x, "path out of range"),
                       checked(int64_t(rel.points[k].y) + pos.y, "path out of range")};
        spine.add(abs[k].x, abs[k].y);
    }
    kpoly::Path p = rel;
    p.points = abs.data();
    kbox::Box box;
    if (keep && !kpoly::path_hull(p, kSemiCirclePoints, hull_, path_scratch_)) decline("path outline out of range");
    if (keep && !p.round) {
        for (const Point& q : hull_) box.add(q.x, q.y);
    } else if (!kpoly::path_box(p, box, path_scratch_)) {
        decline("path outline out of range");
    }
    count_repeated(repeated, li, hull_.size());
    each_position(Vec{0, 0}, repeated, [&](int64_t dx, int64_t dy) {
        // The copy's points within the bound the outline needs.
        const kbox::Box s0 = moved(spine, dx, dy);
        if (s0.l <= -kPathBound || s0.r >= kPathBound || s0.b <= -kPathBound || s0.t >= kPathBound)
            decline("path outline out of range");
        Shapes* s = stage_.stage(li, ShapeKind::path, props, moved(box, dx, dy));
        if (!s) return;
        push_moved(*s, dx, dy);
        CellSink::tell_last(options_.cells, *s, out_.dbu);
    });
}

void Reader::add_texts(uint32_t li, bool props, const Vec& pos, bool repeated) {
    count_repeated(repeated, li, 0);
    each_position(pos, repeated, [&](int64_t x, int64_t y) {
        Shapes* s = stage_.stage(li, ShapeKind::text, props, kbox::Box::point(int32_t(x), int32_t(y)));
        if (s) ShapeStage::push_none(*s);
    });
}

void Reader::push_moved(Shapes& s, int64_t dx, int64_t dy) {
    if (dx == 0 && dy == 0) {
        ShapeStage::push_hull(s, hull_.data(), hull_.size());
        return;
    }
    const size_t from = s.xy.size();
    s.xy.resize(from + 2 * hull_.size());
    int32_t* out = s.xy.data() + from;
    for (size_t k = 0; k < hull_.size(); ++k) {
        out[2 * k] = checked(hull_[k].x + dx, "shape out of range");
        out[2 * k + 1] = checked(hull_[k].y + dy, "shape out of range");
    }
    s.polygon.push_back(1);
    s.start.push_back(s.xy.size() / 2);
}

}  // namespace lumino::core::oasis
