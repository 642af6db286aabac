// KLayout's polygon forms of boxes, boundaries and paths.  The arithmetic
// follows KLayout's own step by step (the same operations on doubles in the
// same order, the same rounding to integers), because the hull points must
// come out identical, not merely close.  This file is compiled without
// floating-point contraction for the same reason.
#include "lumino/core/read/kpolygon.hpp"

#include <algorithm>
#include <cmath>

namespace lumino::core::kpoly {

namespace {

bool lower(const Point& a, const Point& b) { return a.y < b.y || (a.y == b.y && a.x < b.x); }

// A double rounded to a coordinate as KLayout rounds it (half away from
// zero, then truncation); false outside 32 bits, where KLayout's result is
// undefined.
bool to_coord(double v, int32_t& c) {
    const double r = v > 0 ? v + 0.5 : v - 0.5;
    if (!(r > -2147483649.0 && r < 2147483648.0)) return false;
    c = int32_t(r);
    return true;
}

bool add(int32_t a, int32_t b, int32_t& out) {
    const int64_t s = int64_t(a) + int64_t(b);
    if (s < INT32_MIN || s > INT32_MAX) return false;
    out = int32_t(s);
    return true;
}

// KLayout's floating-point vector.
struct DV {
    double x = 0.0, y = 0.0;
    DV operator+(const DV& o) const { return {x + o.x, y + o.y}; }
    DV operator-(const DV& o) const { return {x - o.x, y - o.y}; }
    DV operator*(double s) const { return {x * s, y * s}; }
    double length() const { return std::sqrt(x * x + y * y); }
};

double vprod(const DV& a, const DV& b) { return a.x * b.y - a.y * b.x; }
double sprod(const DV& a, const DV& b) { return a.x * b.x + a.y * b.y; }

constexpr double kEpsilon = 1e-10;

int32_t round_coord(double d) { return int32_t(d > 0 ? d + 0.5 : d - 0.5); }

// The normal of a path segment scaled to the half width: rounded to whole
// units along the axes, and so that 45-degree corners land on the grid.
DV dpx(const DV& p, double d) {
    if (std::fabs(p.x) < kEpsilon || std::fabs(p.y) < kEpsilon) {
        return p * double(round_coord(d));
    } else if (std::fabs(std::fabs(p.x) - std::fabs(p.y)) < kEpsilon) {
        return p * (M_SQRT2 * round_coord(d * M_SQRT1_2));
    } else {
        return p * d;
    }
}

double distance(const Point& a, const Point& b) {
    double dx = double(b.x), dy = double(b.y);
    dx -= double(a.x);
    dy -= double(a.y);
    return std::sqrt(dx * dx + dy * dy);
}

// Whether `p` lies on the segment a-b (closer than half a unit, between the
// ends), as KLayout's edge test decides it.  Coordinates below 2^30.
bool on_segment(const Point& a, const Point& b, const Point& p) {
    if (a == b) return a == p;
    const int64_t axb = (int64_t(b.x) - a.x) * (int64_t(p.y) - a.y) - (int64_t(b.y) - a.y) * (int64_t(p.x) - a.x);
    const double ddx = double(b.x - a.x), ddy = double(b.y - a.y);
    const double d = std::fabs(double(axb)) / std::sqrt(ddx * ddx + ddy * ddy);
    if (uint32_t(d + 0.5) >= 1) return false;
    auto sprod_sign = [](const Point& u, const Point& v, const Point& c) {
        const int64_t p1 = (int64_t(u.x) - c.x) * (int64_t(v.x) - c.x);
        const int64_t p2 = -((int64_t(u.y) - c.y) * (int64_t(v.y) - c.y));
        return p1 > p2 ? 1 : (p1 == p2 ? 0 : -1);
    };
    return sprod_sign(p, b, a) >= 0 && sprod_sign(p, a, b) >= 0;
}

// The path's points without repeated points and without points that lie on
// the segment joining their neighbours.
void real_points(const std::vector<Point>& pts, std::vector<Point>& real) {
    real.clear();
    const size_t n = pts.size();
    for (size_t p = 0; p < n;) {
        real.push_back(pts[p]);
        ++p;
        while (p < n && pts[p] == real.back()) ++p;
        if (p < n) {
            size_t pn = p;
            while (++p < n) {
                while (p < n && pts[p] == pts[pn]) ++p;
                if (p == n || !on_segment(real.back(), pts[p], pts[pn])) break;
                pn = p;
            }
            --p;
        }
    }
}

// One side of a path outline: the points shifted to the left of the
// direction of travel, with the start and end extensions (or round ends of
// `ncircle` points each).
class Shifter {
  public:
    explicit Shifter(std::vector<Point>& out) : out_(out) {}
    bool ok() const { return ok_; }

    void run(int32_t start, int32_t end, int32_t width, bool forward, const std::vector<Point>& pts, int ncircle) {
        const size_t n = pts.size();
        if (n == 0) return;
        auto at = [&](size_t k) -> const Point& { return forward ? pts[k] : pts[n - 1 - k]; };
        const double disp = double(width) * 0.5;
        size_t p = 0, pp = 1;

        if (pp == n) {
            // One point: an infinitely short segment along x.
            const DV ed{forward ? 1.0 : -1.0, 0.0};
            const DV nd{-ed.y, ed.x};
            if (ncircle > 2) {
                const double a0 = M_PI / (2.0 * ncircle);
                const double cd = std::cos(a0), sd = std::sin(a0);
                const double c2d = cd * cd - sd * sd, s2d = 2 * cd * sd;
                DV edd = ed * (double(-start) / cd), ndd = nd * (disp / cd);
                double c = cd, s = sd;
                for (int i = 0; i < ncircle / 2; ++i) {
                    emit(at(p), edd * c + ndd * s);
                    const double cc = c * c2d - s * s2d, ss = s * c2d + c * s2d;
                    c = cc, s = ss;
                }
                edd = ed * (double(end) / cd);
                ndd = nd * (disp / cd);
                c = std::cos(a0 * (ncircle - 1));
                s = std::sin(a0 * (ncircle - 1));
                for (int i = 0; i < ncircle / 2; ++i) {
                    emit(at(p), edd * c + ndd * s);
                    const double cc = c * c2d + s * s2d, ss = s * c2d - c * s2d;
                    c = cc, s = ss;
                }
            } else {
                emit(at(p), ed * double(-start) + nd * disp);
                emit(at(p), ed * double(end) + nd * disp);
            }
        }

        bool first = true;
        while (pp != n && ok_) {
            const size_t ppp = pp + 1;
            DV ed = direction(at(p), at(pp));
            DV nd{-ed.y, ed.x};
            nd = dpx(nd, disp);

            if (first) {
                first = false;
                if (ncircle > 2) {
                    const double a0 = M_PI / (2.0 * ncircle);
                    const double cd = std::cos(a0), sd = std::sin(a0);
                    const double c2d = cd * cd - sd * sd, s2d = 2 * cd * sd;
                    double c = cd, s = sd;
                    const DV edd = ed * (double(-start) / cd), ndd = nd * (1.0 / cd);
                    for (int i = 0; i < ncircle / 2; ++i) {
                        emit(at(p), edd * c + ndd * s);
                        const double cc = c * c2d - s * s2d, ss = s * c2d + c * s2d;
                        c = cc, s = ss;
                    }
                } else {
                    emit(at(p), dpx(ed, double(-start)) + nd);
                }
            }

            if (ppp == n) {
                if (ncircle > 2) {
                    const double a0 = M_PI / (2.0 * ncircle);
                    const double cd = std::cos(a0), sd = std::sin(a0);
                    const double c2d = cd * cd - sd * sd, s2d = 2 * cd * sd;
                    double c = std::cos(a0 * (ncircle - 1)), s = std::sin(a0 * (ncircle - 1));
                    const DV edd = ed * (double(end) / cd), ndd = nd * (1.0 / cd);
                    for (int i = 0; i < ncircle / 2; ++i) {
                        emit(at(pp), edd * c + ndd * s);
                        const double cc = c * c2d + s * s2d, ss = s * c2d - c * s2d;
                        c = cc, s = ss;
                    }
                } else {
                    emit(at(pp), dpx(ed, double(end)) + nd);
                }
            } else {
                // The corner at pp: where the two shifted edges meet, or a
                // loop or cut-off where they do not.
                DV eed = direction(at(pp), at(ppp));
                DV nnd{-eed.y, eed.x};
                nnd = dpx(nnd, disp);
                const double l1max = nd.length(), l2max = nnd.length();
                const double l1min = -distance(at(p), at(pp)) - nd.length();
                const double l2min = -distance(at(ppp), at(pp)) - nnd.length();
                const double dv = vprod(ed, eed);
                if (std::fabs(dv) > kEpsilon) {
                    const double l1 = vprod(nnd - nd, eed) / dv;
                    const double l2 = vprod(nd - nnd, ed) / dv;
                    if (l1 < l1min - kEpsilon || l2 < l2min - kEpsilon) {
                        emit(at(pp), nd);
                        emit(at(pp), DV{0.0, 0.0});
                        emit(at(pp), nnd);
                    } else if (l1 < l1max + kEpsilon && l2 < l2max + kEpsilon) {
                        emit(at(pp), nd + ed * l1);
                    } else {
                        emit(at(pp), nd + ed * std::min(l1max, l1));
                        emit(at(pp), nnd - eed * std::min(l2max, l2));
                    }
                    p = pp;
                } else if (sprod(ed, eed) < -kEpsilon) {
                    // The path turns back on itself.
                    emit(at(pp), nd + dpx(ed, disp));
                    emit(at(pp), nnd - dpx(eed, disp));
                    p = pp;
                }
            }
            pp = ppp;
        }
    }

  private:
    // The unit vector from a to b (coordinates below 2^30: no overflow).
    static DV direction(const Point& a, const Point& b) {
        DV d{double(b.x - a.x), double(b.y - a.y)};
        const double f = 1.0 / d.length();
        return DV{d.x * f, d.y * f};
    }

    void emit(const Point& base, const DV& v) {
        int32_t vx, vy;
        Point q;
        if (!ok_ || !to_coord(v.x, vx) || !to_coord(v.y, vy) || !add(base.x, vx, q.x) || !add(base.y, vy, q.y)) {
            ok_ = false;
            return;
        }
        out_.push_back(q);
    }

    std::vector<Point>& out_;
    bool ok_ = true;
};

// Below this bound every intermediate of the path computation fits the
// integer types KLayout uses; beyond it KLayout's results are undefined.
constexpr int64_t kPathBound = int64_t(1) << 30;

bool within(int64_t v) { return v > -kPathBound && v < kPathBound; }

}  // namespace

int64_t area2(const Point* p, size_t n) {
    if (n == 0) return 0;
    uint64_t a = 0;
    Point pl = p[n - 1];
    for (size_t i = 0; i < n; ++i) {
        a += uint64_t(int64_t(pl.x) * p[i].y - int64_t(pl.y) * p[i].x);
        pl = p[i];
    }
    return int64_t(a);
}

bool area_may_overflow(const int32_t* xy, size_t n) {
    if (n == 0) return false;
    int64_t x0 = xy[0], x1 = xy[0], y0 = xy[1], y1 = xy[1], ax = 0, ay = 0;
    for (size_t k = 0; k < n; ++k) {
        const int64_t x = xy[2 * k], y = xy[2 * k + 1];
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        ax = std::max(ax, x < 0 ? -x : x), ay = std::max(ay, y < 0 ? -y : y);
    }
    constexpr double limit = 0x1p61;
    return double(x1 - x0) * double(y1 - y0) >= limit || double(ax) * double(ay) >= limit;
}

void assign_contour(const Point* in, size_t n, std::vector<Point>& out) {
    out.clear();
    if (n == 0) return;
    size_t m = 0;
    for (size_t k = 1; k < n; ++k)
        if (lower(in[k], in[m])) m = k;
    out.insert(out.end(), in + m, in + n);
    out.insert(out.end(), in, in + m);
    if (area2(out.data(), n) >= 0) std::reverse(out.begin() + 1, out.end());
}

void box_hull(int32_t left, int32_t bottom, int32_t right, int32_t top, std::vector<Point>& out) {
    const Point p[4] = {{left, bottom}, {left, top}, {right, top}, {right, bottom}};
    assign_contour(p, 4, out);
}

void boundary_hull(const Point* in, size_t n, std::vector<Point>& out) {
    assign_contour(in, n, out);
    // The second assignment starts at the same point (the first is already
    // the lowest) and reverses again only when the area is zero.
    if (n > 0 && area2(out.data(), n) >= 0) std::reverse(out.begin() + 1, out.end());
}

namespace {

// The path moved to its first point, reduced to its real points, and
// outlined on both sides into `s.hull`; false on overflow.
bool outline(const Path& path, int ncircle, PathScratch& s) {
    if (!within(path.width) || !within(path.bgn_ext) || !within(path.end_ext)) return false;
    for (size_t k = 0; k < path.n; ++k)
        if (!within(path.points[k].x) || !within(path.points[k].y)) return false;
    // KLayout keeps the path moved so that its first point is the origin.
    const Point d = path.points[0];
    s.reduced.clear();
    for (size_t k = 0; k < path.n; ++k) s.reduced.push_back({path.points[k].x - d.x, path.points[k].y - d.y});
    real_points(s.reduced, s.real);
    s.hull.clear();
    Shifter shift(s.hull);
    shift.run(path.bgn_ext, path.end_ext, path.width, true, s.real, ncircle);
    shift.run(path.end_ext, path.bgn_ext, path.width, false, s.real, ncircle);
    return shift.ok();
}

}  // namespace

bool path_hull(const Path& path, int semi_circle_points, std::vector<Point>& out, PathScratch& s) {
    out.clear();
    if (path.n == 0) return true;
    if (!outline(path, path.round ? semi_circle_points : 2, s)) return false;
    const Point d = path.points[0];
    assign_contour(s.hull.data(), s.hull.size(), out);
    for (Point& q : out)
        if (!add(q.x, d.x, q.x) || !add(q.y, d.y, q.y)) return false;
    // Moving back assigns the contour again: the start stays, the
    // orientation is judged on the moved points.
    if (!out.empty() && area2(out.data(), out.size()) >= 0) std::reverse(out.begin() + 1, out.end());
    return true;
}

bool path_box(const Path& path, kbox::Box& box, PathScratch& s) {
    box = kbox::Box();
    if (path.n == 0) return true;
    if (!outline(path, 2, s)) return false;
    kbox::Box reduced;
    for (const Point& q : s.hull) reduced.add(q.x, q.y);
    if (reduced.empty()) return true;
    const Point d = path.points[0];
    return add(reduced.l, d.x, box.l) && add(reduced.b, d.y, box.b) && add(reduced.r, d.x, box.r) &&
           add(reduced.t, d.y, box.t);
}

}  // namespace lumino::core::kpoly
