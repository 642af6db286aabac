// The GDS2 reader's elements: BOUNDARY, PATH, TEXT and BOX records with the
// hulls Shape.polygon gives for what KLayout makes of them (a BOUNDARY on
// the four corners of an axis-parallel rectangle is a box), staged on
// their layer; or, when listing a stream, boundaries with their points as
// written and what is not as KLayout holds it marked so.
#include <algorithm>
#include <cmath>

#include "lumino/core/read/gds_reader.hpp"

namespace lumino::core::gds {

namespace {

// Semi-circle points of a round path end: KLayout's default circle
// resolution (32) halved; only its layout viewer changes the resolution.
constexpr int kSemiCirclePoints = 16;

}  // namespace

Box ElementReader::box_of(const std::vector<Point>& pts) {
    Box b;
    for (const Point& p : pts) b.add(p.x, p.y);
    return b;
}

void ElementReader::boundary() {
    st_.skip_element_start(sLAYER, "LAYER record expected");
    const uint16_t layer = st_.rec.get_ushort();
    if (st_.rec.get() != sDATATYPE) decline("DATATYPE record expected");
    const uint16_t datatype = st_.rec.get_ushort();
    if (st_.rec.get() != sXY) decline("XY record expected");
    size_t n = st_.rec.xy_count();
    const uint32_t li = st_.open_layer(layer, datatype);
    if (st_.listing) {
        listed_boundary(li, n);
        return;
    }
    const bool keep = st_.kept(li);

    if (n == 4 || (n == 5 && st_.rec.xy(4) == st_.rec.xy(0))) {
        const Point p0 = st_.rec.xy(0), p1 = st_.rec.xy(1), p2 = st_.rec.xy(2), p3 = st_.rec.xy(3);
        if ((p0.x == p1.x && p2.x == p3.x && p1.y == p2.y && p0.y == p3.y) ||
            (p1.x == p2.x && p0.x == p3.x && p0.y == p1.y && p2.y == p3.y)) {
            const bool props = st_.finish_element(true);
            const int32_t l = std::min({p0.x, p1.x, p2.x, p3.x}), r = std::max({p0.x, p1.x, p2.x, p3.x});
            const int32_t b = std::min({p0.y, p1.y, p2.y, p3.y}), t = std::max({p0.y, p1.y, p2.y, p3.y});
            if (keep) kpoly::box_hull(l, b, r, t, hull_);
            st_.add_shape(li, kBox, props, Box{l, b, r, t}, &hull_);
            return;
        }
    }

    points_.clear();
    size_t count = n;
    Box box;
    Point low = st_.rec.xy(0);  // the lowest point, by y then x (n > 2000 here)
    auto take = [&](const Point& p) {
        box.add(p.x, p.y);
        if (p.y < low.y || (p.y == low.y && p.x < low.x)) low = p;
        if (keep) points_.push_back(p);
    };
    if (n > 2000) {
        // Long outlines may continue in further XY records.
        const Point first = st_.rec.xy(0);
        Point last = first;
        count = 0;
        while (true) {
            for (size_t k = 0; k < n; ++k) take(st_.rec.xy(k));
            if (n > 0) last = st_.rec.xy(n - 1);
            count += n;
            const uint16_t id = st_.rec.get();
            if (id != sXY) {
                st_.rec.unget(id);
                break;
            }
            n = st_.rec.xy_count();
        }
        if (last == first) {
            --count;
            if (keep) points_.pop_back();
        }
    } else {
        if (n > 1 && st_.rec.xy(0) == st_.rec.xy(n - 1)) --n;
        if (n < 3) {
            st_.finish_element(false);
            return;
        }
        one_record_boundary(li, n);
        return;
    }
    if (count < 3) {
        st_.finish_element(false);
        return;
    }
    const bool props = st_.finish_element(true);
    if (keep) kpoly::boundary_hull(points_.data(), points_.size(), hull_);
    st_.add_shape(li, kPolygon, props, stored_polygon_box(box, low), &hull_);
}

// A boundary of n >= 3 points in the one XY record just read (without
// its closing point): box, lowest point and orientation in one pass over
// the record, then the hull written straight into its staged list.  The
// same hull as boundary_hull: from the first lowest point, reversed when
// the doubled area (in wrapping arithmetic, which a rotation or reversal
// leaves as it is or negates) is positive.
void ElementReader::one_record_boundary(uint32_t li, size_t n) {
    const uint8_t* xy = st_.rec.xy_data();  // the file's bytes: valid after the records that follow
    auto at = [xy](size_t k) { return Point{be32(xy + 8 * k), be32(xy + 8 * k + 4)}; };
    Box box;
    Point low = at(0);
    size_t m = 0;
    uint64_t area = 0;
    Point prev = at(n - 1);
    for (size_t k = 0; k < n; ++k) {
        const Point p = at(k);
        box.add(p.x, p.y);
        if (p.y < low.y || (p.y == low.y && p.x < low.x)) low = p, m = k;
        area += uint64_t(int64_t(prev.x) * p.y) - uint64_t(int64_t(prev.y) * p.x);
        prev = p;
    }
    const bool props = st_.finish_element(true);
    Shapes* s = st_.stage_shape(li, kPolygon, props, stored_polygon_box(box, low));
    if (!s) return;
    const size_t from = s->xy.size();
    s->xy.resize(from + 2 * n);
    int32_t* out = s->xy.data() + from;
    const bool reverse = int64_t(area) > 0;
    for (size_t j = 0, k = m; j < n; ++j) {
        const Point p = at(k);
        out[2 * j] = p.x;
        out[2 * j + 1] = p.y;
        if (reverse) k = k == 0 ? n - 1 : k - 1;
        else k = k + 1 == n ? 0 : k + 1;
    }
    s->polygon.push_back(1);
    s->start.push_back(s->xy.size() / 2);
    CellSink::tell_last(st_.options.cells, *s, st_.out.dbu);
}

// The box KLayout gives a polygon it stores moved to its lowest point:
// the polygon's box is moved there and back in wrapping 32-bit
// arithmetic, and a polygon more than 2^31 units high or wide comes out
// with an empty box.
Box ElementReader::stored_polygon_box(const Box& b, const Point& low) {
    auto wrap = [](int64_t v) { return int32_t(uint32_t(uint64_t(v))); };
    const int32_t l = wrap(int64_t(b.l) - low.x), bo = wrap(int64_t(b.b) - low.y);
    const int32_t r = wrap(int64_t(b.r) - low.x), t = wrap(int64_t(b.t) - low.y);
    if (l > r || bo > t) return Box();
    const int32_t x1 = wrap(int64_t(l) + low.x), y1 = wrap(int64_t(bo) + low.y);
    const int32_t x2 = wrap(int64_t(r) + low.x), y2 = wrap(int64_t(t) + low.y);
    return Box{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
}

void ElementReader::path() {
    st_.skip_element_start(sLAYER, "LAYER record expected");
    const uint16_t layer = st_.rec.get_ushort();
    if (st_.rec.get() != sDATATYPE) decline("DATATYPE record expected");
    const uint16_t datatype = st_.rec.get_ushort();
    uint16_t id = st_.rec.get();
    int type = 0;
    if (id == sPATHTYPE) {
        type = int16_t(st_.rec.get_ushort());
        id = st_.rec.get();
    }
    if (type != 0 && type != 1 && type != 2 && type != 4) type = 0;
    int32_t w = 0;
    if (id == sWIDTH) {
        w = st_.rec.get_int();
        id = st_.rec.get();
    }
    int32_t bgn = 0, end = 0;
    if (id == sBGNEXTN) {
        bgn = st_.rec.get_int();
        id = st_.rec.get();
    } else if (type == 2 || type == 1) {
        bgn = w / 2;
    }
    if (id == sENDEXTN) {
        end = st_.rec.get_int();
        id = st_.rec.get();
    } else if (type == 2 || type == 1) {
        end = w / 2;
    }
    if (id != sXY) decline("XY record expected");
    size_t n = st_.rec.xy_count();
    const uint32_t li = st_.open_layer(layer, datatype);
    if (st_.listing) {
        listed_other(li, n);
        return;
    }
    const bool keep = st_.kept(li);

    points_.clear();
    size_t count = n;
    for (size_t k = 0; k < n; ++k) points_.push_back(st_.rec.xy(k));
    if (n > 2000) {
        while (true) {
            id = st_.rec.get();
            if (id != sXY) {
                st_.rec.unget(id);
                break;
            }
            n = st_.rec.xy_count();
            count += n;
            for (size_t k = 0; k < n; ++k) points_.push_back(st_.rec.xy(k));
        }
    }
    if (count < 1) {
        st_.finish_element(false);
        return;
    }
    const bool props = st_.finish_element(true);
    if (w == INT32_MIN) decline("path width out of range");
    kpoly::Path p;
    p.points = points_.data();
    p.n = points_.size();
    p.width = w < 0 ? -w : w;
    p.bgn_ext = bgn;
    p.end_ext = end;
    // KLayout marks a round path by a negative width: one of width 0
    // cannot be round.
    p.round = type == 1 && w != 0;
    Box box;
    if (keep) {
#if !defined(__x86_64__)
        // KLayout's own build may fuse floating-point operations here.
        if (type == 1 || !manhattan(points_)) decline("path outline not verified on this platform");
#endif
        if (!kpoly::path_hull(p, kSemiCirclePoints, hull_, path_scratch_)) decline("path outline out of range");
    }
    if (keep && !p.round) {
        box = box_of(hull_);
    } else if (!kpoly::path_box(p, box, path_scratch_)) {
        decline("path outline out of range");
    }
    st_.add_shape(li, kPath, props, box, &hull_);
}

bool ElementReader::manhattan(const std::vector<Point>& pts) {
    for (size_t k = 1; k < pts.size(); ++k)
        if (pts[k].x != pts[k - 1].x && pts[k].y != pts[k - 1].y) return false;
    return true;
}

void ElementReader::text() {
    st_.skip_element_start(sLAYER, "LAYER record expected");
    const uint16_t layer = st_.rec.get_ushort();
    if (st_.rec.get() != sTEXTTYPE) decline("TEXTTYPE record expected");
    const uint16_t texttype = st_.rec.get_ushort();
    // Texts left out (KLayout's text_enabled off) open no layer.
    const uint32_t li = st_.options.texts ? st_.open_layer(layer, texttype) : 0;
    uint16_t id = st_.rec.get();
    if (id == sPRESENTATION) {
        st_.rec.get_short();
        id = st_.rec.get();
    }
    if (id == sPATHTYPE) id = st_.rec.get();
    if (id == sWIDTH) id = st_.rec.get();
    while (id == sSTRANS || id == sMAG || id == sANGLE) {
        if (id == sSTRANS) {
            st_.rec.get_short();
        } else if (id == sMAG) {
            st_.rec.get_double();
        } else {
            const double a = st_.rec.get_double() / 90.0;
            if (!(std::fabs(a) < 1e6)) decline("text rotation out of range");
        }
        id = st_.rec.get();
    }
    if (id != sXY) decline("XY record expected");
    if (st_.rec.xy_count() == 0) decline("no point in XY record for text");
    const Point at = st_.rec.xy(0);
    if (st_.rec.get() != sSTRING) decline("STRING record expected");
    if (!st_.options.texts) {
        st_.finish_element(false);
        return;
    }
    const bool props = st_.finish_element(true);
    if (st_.listing) {
        Shapes& s = st_.listed(li);
        s.polygon.push_back(0);
        s.start.push_back(s.xy.size() / 2);
        return;
    }
    st_.add_shape(li, kText, props, Box::point(at.x, at.y), nullptr);
}

void ElementReader::box() {
    st_.skip_element_start(sLAYER, "LAYER record expected");
    const uint16_t layer = st_.rec.get_ushort();
    if (st_.rec.get() != sBOXTYPE) decline("BOXTYPE record expected");
    const uint16_t boxtype = st_.rec.get_ushort();
    const uint32_t li = st_.open_layer(layer, boxtype);
    if (st_.rec.get() != sXY) decline("XY record expected");
    const size_t n = st_.rec.xy_count();
    if (st_.listing) {
        listed_other(li, 0);
        return;
    }
    int32_t l = 0, b = 0, r = 0, t = 0;
    for (size_t k = 0; k < n; ++k) {
        const Point p = st_.rec.xy(k);
        if (k == 0) {
            l = r = p.x, b = t = p.y;
        } else {
            l = std::min(l, p.x), r = std::max(r, p.x), b = std::min(b, p.y), t = std::max(t, p.y);
        }
    }
    const bool props = st_.finish_element(true);
    if (n > 0) {
        if (st_.kept(li)) kpoly::box_hull(l, b, r, t, hull_);
        st_.add_shape(li, kBox, props, Box{l, b, r, t}, &hull_);
    }
}

// A boundary whose XY record (of n points) was just read: its points as
// written, without the closing one.
void ElementReader::listed_boundary(uint32_t li, size_t n) {
    Shapes& s = st_.listed(li);
    const size_t from = s.xy.size();
    auto append = [&](size_t count) {
        const size_t at = s.xy.size();
        s.xy.resize(at + 2 * count);
        for (size_t k = 0; k < count; ++k) {
            const Point p = st_.rec.xy(k);
            s.xy[at + 2 * k] = p.x;
            s.xy[at + 2 * k + 1] = p.y;
        }
    };
    append(n);
    if (n > 2000) {
        // Long outlines may continue in further XY records.
        while (true) {
            const uint16_t id = st_.rec.get();
            if (id != sXY) {
                st_.rec.unget(id);
                break;
            }
            append(st_.rec.xy_count());
        }
    }
    st_.finish_element(false);
    const size_t total = (s.xy.size() - from) / 2;
    const int32_t* xy = s.xy.data() + from;
    const bool closed = total >= 2 && xy[0] == xy[2 * total - 2] && xy[1] == xy[2 * total - 1];
    if (closed) s.xy.resize(s.xy.size() - 2);
    const size_t count = closed ? total - 1 : total;
    if (!closed || count < 3 || visits_twice(xy, count) || kpoly::area_may_overflow(xy, count))
        st_.not_held[li] = 1;
    s.polygon.push_back(1);
    s.start.push_back(s.xy.size() / 2);
}

// A path or box: listed without points, and not as held.  Its further
// XY records (after n points) are passed over.
void ElementReader::listed_other(uint32_t li, size_t n) {
    if (n > 2000) {
        uint16_t id;
        while ((id = st_.rec.get()) == sXY) {
        }
        st_.rec.unget(id);
    }
    st_.finish_element(false);
    Shapes& s = st_.listed(li);
    s.polygon.push_back(1);
    s.start.push_back(s.xy.size() / 2);
    st_.not_held[li] = 1;
}

// Whether a closed outline visits a point twice.
bool ElementReader::visits_twice(const int32_t* xy, size_t n) {
    vertex_scratch_.resize(n);
    for (size_t k = 0; k < n; ++k)
        vertex_scratch_[k] = uint64_t(uint32_t(xy[2 * k])) << 32 | uint32_t(xy[2 * k + 1]);
    std::sort(vertex_scratch_.begin(), vertex_scratch_.end());
    return std::adjacent_find(vertex_scratch_.begin(), vertex_scratch_.end()) != vertex_scratch_.end();
}

}  // namespace lumino::core::gds
