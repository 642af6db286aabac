// The geometric predicates of GEOS's topology-preserving simplifier,
// evaluated with the same floating-point operations in the same order, so
// that every decision (and every rounding error) is the one GEOS makes:
// the orientation test with its error filter and double-double fallback,
// the point-to-segment distance, the "invalid intersection" test of two
// segments and the ray-crossing count.  No Python.
//
// The compiler must not contract a*b+c into a fused multiply-add here: only
// simplify.cpp includes this header, and the build passes -ffp-contract=off
// for it.
#pragma once

#include <cmath>

#include "lumino/core/simplify/simplify.hpp"

namespace lumino::simplify {

struct Pt {
    double x = 0.0, y = 0.0;
    friend bool operator==(const Pt& a, const Pt& b) { return a.x == b.x && a.y == b.y; }
};

namespace robust {

// A double-double value hi + lo, with GEOS's addition and multiplication
// (Dekker's and Knuth's error-free steps, in that operation order).
struct DD {
    double hi, lo;
};

inline DD add(DD a, double yhi, double ylo) {
    const double S = a.hi + yhi;
    const double T = a.lo + ylo;
    double e = S - a.hi;
    double f = T - a.lo;
    double s = S - e;
    double t = T - f;
    s = (yhi - e) + (a.hi - s);
    t = (ylo - f) + (a.lo - t);
    e = s + T;
    const double H = S + e;
    const double h = e + (S - H);
    e = t + h;
    const double zhi = H + e;
    return {zhi, e + (H - zhi)};
}

inline DD mul(DD a, DD y) {
    constexpr double split = 134217729.0;  // 2^27 + 1
    double C = split * a.hi;
    double hx = C - a.hi;
    double c = split * y.hi;
    hx = C - hx;
    const double tx = a.hi - hx;
    double hy = c - y.hi;
    C = a.hi * y.hi;
    hy = c - hy;
    const double ty = y.hi - hy;
    c = ((((hx * hy - C) + hx * ty) + tx * hy) + tx * ty) + (a.hi * y.lo + a.lo * y.hi);
    const double zhi = C + c;
    hx = C - zhi;
    return {zhi, c + hx};
}

// -1, 0, 1 when the filter decides, 2 when it cannot.
inline int filtered(double pax, double pay, double pbx, double pby, double pcx, double pcy, Filter filter) {
    const double detleft = (pax - pcx) * (pby - pcy);
    const double detright = (pay - pcy) * (pbx - pcx);
    const double det = detleft - detright;
    auto sign = [](double v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); };
    if (filter == Filter::magnitude_of_sum) {
        const double error = std::abs(detleft + detright) * 3.3306690621773724e-16;
        if (std::abs(det) >= error) return (det > 0) - (det < 0);
        return 2;
    }
    double detsum;
    if (detleft > 0.0) {
        if (detright <= 0.0) return sign(det);
        detsum = detleft + detright;
    } else if (detleft < 0.0) {
        if (detright >= 0.0) return sign(det);
        detsum = -detleft - detright;
    } else {
        return sign(det);
    }
    const double errbound = 1e-15 * detsum;
    if (det >= errbound || -det >= errbound) return sign(det);
    return 2;
}

}  // namespace robust

// Orientation of q relative to the directed line p1 -> p2: 1 left, -1 right,
// 0 collinear.  Coordinates must be finite (GEOS throws otherwise).
inline int orientation(const Pt& p1, const Pt& p2, const Pt& q, Filter filter) {
    const int f = robust::filtered(p1.x, p1.y, p2.x, p2.y, q.x, q.y, filter);
    if (f <= 1) return f;
    using robust::DD;
    const DD dx1 = robust::add(DD{p2.x, 0.0}, -p1.x, 0.0);
    const DD dy1 = robust::add(DD{p2.y, 0.0}, -p1.y, 0.0);
    const DD dx2 = robust::add(DD{q.x, 0.0}, -p2.x, 0.0);
    const DD dy2 = robust::add(DD{q.y, 0.0}, -p2.y, 0.0);
    const DD a = robust::mul(dx1, dy2);
    const DD b = robust::mul(dy1, dx2);
    const DD d = robust::add(a, -1 * b.hi, -1 * b.lo);
    if (d.hi < 0.0 || (d.hi == 0.0 && d.lo < 0.0)) return -1;
    if (d.hi > 0.0 || (d.hi == 0.0 && d.lo > 0.0)) return 1;
    return 0;
}

inline double point_distance(const Pt& p, const Pt& q) {
    const double dx = p.x - q.x, dy = p.y - q.y;
    return std::sqrt(dx * dx + dy * dy);
}

// Distance from p to the segment a-b.
inline double segment_distance(const Pt& p, const Pt& a, const Pt& b) {
    if (a == b) return point_distance(p, a);
    const double len2 = (b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y);
    const double r = ((p.x - a.x) * (b.x - a.x) + (p.y - a.y) * (b.y - a.y)) / len2;
    if (r <= 0.0) return point_distance(p, a);
    if (r >= 1.0) return point_distance(p, b);
    const double s = ((a.y - p.y) * (b.x - a.x) - (a.x - p.x) * (b.y - a.y)) / len2;
    return std::fabs(s) * std::sqrt(len2);
}

// Whether q lies in the box spanned by a and b.
inline bool in_box(const Pt& a, const Pt& b, const Pt& q) {
    return q.x >= (a.x < b.x ? a.x : b.x) && q.x <= (a.x > b.x ? a.x : b.x) && q.y >= (a.y < b.y ? a.y : b.y) &&
           q.y <= (a.y > b.y ? a.y : b.y);
}

// Whether the segments p1-p2 and q1-q2 meet at a point that is not an
// endpoint of both, or (with `equal_crosses`) are the same segment in
// either direction: the intersections GEOS's simplifier refuses to create.
// Their boxes must meet (GEOS's test returns false first where they do
// not; the indexes test a segment only once its box meets the query's).
inline bool invalid_intersection(const Pt& p1, const Pt& p2, const Pt& q1, const Pt& q2, Filter filter,
                                 bool equal_crosses) {
    if (equal_crosses && ((p1 == q1 && p2 == q2) || (p1 == q2 && p2 == q1))) return true;
    if (!(p1 == p2) && !(q1 == q2)) {
        // Neighbours sharing an endpoint: its orientations are exactly 0, so
        // only the other two decide; they meet elsewhere only if all four
        // points are collinear (then the general case below decides).
        const Pt* po = nullptr;
        const Pt* qo = nullptr;
        if (p1 == q1) po = &p2, qo = &q2;
        else if (p1 == q2) po = &p2, qo = &q1;
        else if (p2 == q1) po = &p1, qo = &q2;
        else if (p2 == q2) po = &p1, qo = &q1;
        if (po && (orientation(p1, p2, *qo, filter) != 0 || orientation(q1, q2, *po, filter) != 0)) return false;
    }
    const int pq1 = orientation(p1, p2, q1, filter), pq2 = orientation(p1, p2, q2, filter);
    if ((pq1 > 0 && pq2 > 0) || (pq1 < 0 && pq2 < 0)) return false;
    const int qp1 = orientation(q1, q2, p1, filter), qp2 = orientation(q1, q2, p2, filter);
    if ((qp1 > 0 && qp2 > 0) || (qp1 < 0 && qp2 < 0)) return false;
    if (pq1 == 0 && pq2 == 0 && qp1 == 0 && qp2 == 0) {
        // Collinear: the overlap's end points, as GEOS picks them.
        const bool q1p = in_box(p1, p2, q1), q2p = in_box(p1, p2, q2);
        const bool p1q = in_box(q1, q2, p1), p2q = in_box(q1, q2, p2);
        Pt a, b;
        bool one = false;
        if (q1p && q2p) {
            a = q1, b = q2;
        } else if (p1q && p2q) {
            a = p1, b = p2;
        } else if (q1p && p1q) {
            a = q1, b = p1, one = q1 == p1 && !q2p && !p2q;
        } else if (q1p && p2q) {
            a = q1, b = p2, one = q1 == p2 && !q2p && !p1q;
        } else if (q2p && p1q) {
            a = q2, b = p1, one = q2 == p1 && !q1p && !p2q;
        } else if (q2p && p2q) {
            a = q2, b = p2, one = q2 == p2 && !q1p && !p1q;
        } else {
            return false;
        }
        auto interior = [&](const Pt& v) { return !(v == p1 || v == p2) || !(v == q1 || v == q2); };
        return interior(a) || (!one && interior(b));
    }
    // One point of intersection.  A proper crossing is interior to both;
    // where an endpoint lies on the other segment, the point is interior
    // unless it is an endpoint of both.
    if (pq1 == 0 || pq2 == 0 || qp1 == 0 || qp2 == 0) return !(p1 == q1 || p1 == q2 || p2 == q1 || p2 == q2);
    return true;
}

// Crossings of the segment p1-p2 with the ray from `point` in the +x
// direction, counted as GEOS's ray-crossing counter counts them (0 or 1).
inline int ray_crossing(const Pt& point, const Pt& p1, const Pt& p2, Filter filter) {
    if (p1.x < point.x && p2.x < point.x) return 0;
    if (point.x == p2.x && point.y == p2.y) return 0;
    if (p1.y == point.y && p2.y == point.y) return 0;
    if ((p1.y > point.y && p2.y <= point.y) || (p2.y > point.y && p1.y <= point.y)) {
        int sign = orientation(p1, p2, point, filter);
        if (sign == 0) return 0;
        if (p2.y < p1.y) sign = -sign;
        return sign > 0 ? 1 : 0;
    }
    return 0;
}

}  // namespace lumino::simplify
