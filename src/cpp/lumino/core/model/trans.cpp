// Transformation arithmetic: composition and matrices, bit for bit as the
// reference arithmetic of the records computes them.
#include "lumino/core/model/trans.hpp"

#include <cmath>
#include <numbers>

namespace lumino {

namespace tx {

Simple compose(const Simple& p, const Simple& t) {
    Simple r;
    r.mirror = p.mirror != t.mirror;
    // M * R(a) == R(-a) * M: a mirrored parent turns the child's rotation back.
    r.rot = ((p.mirror ? p.rot - t.rot : p.rot + t.rot) % 4 + 4) % 4;
    double x = t.dx, y = p.mirror ? -t.dy : t.dy;
    rotate(p.rot, x, y);
    r.dx = x + p.dx;
    r.dy = y + p.dy;
    return r;
}

double unit_of_dbu(double dbu) {
    return std::abs(dbu - 0.001) <= 1e-12 ? 0.0 : dbu;
}

Values values_of(const Simple& s) {
    Values v;
    v.mirror = s.mirror;
    v.quarter = s.rot;
    v.dx = s.dx;
    v.dy = s.dy;
    return v;
}

Values compose_complex(const Values& p, const Values& t) {
    auto degrees = [](const Values& v) { return v.complex ? v.angle : 90.0 * v.quarter; };
    Values r;
    r.unit = p.unit;
    r.complex = true;
    r.mirror = p.mirror != t.mirror;
    r.mag = p.mag * t.mag;
    double a = degrees(p) + (p.mirror ? -degrees(t) : degrees(t));
    a = std::fmod(a, 360.0);
    if (a < 0) a += 360.0;
    r.angle = a;
    // Displacement: the parent's linear part applied to the child's.
    double x = t.dx, y = p.mirror ? -t.dy : t.dy;
    if (p.complex) {
        const double rad = p.angle / 180.0 * std::numbers::pi;
        const double s = std::sin(rad), c = std::cos(rad);
        const double rx = c * x - s * y, ry = s * x + c * y;
        x = rx * p.mag, y = ry * p.mag;
    } else {
        rotate(p.quarter, x, y);
    }
    r.dx = x + p.dx;
    r.dy = y + p.dy;
    return r;
}

namespace {

// The sine and cosine of an angle in degrees, as the reference arithmetic
// computes them.
void sin_cos(double deg, double& s, double& c) {
    const double a = deg / 180.0 * std::numbers::pi;
    s = std::sin(a);
    c = std::cos(a);
}

}  // namespace

QuarterTurns::QuarterTurns() {
    for (int q = 0; q < 4; ++q) sin_cos(double(90 * q), s[q], c[q]);
}

const QuarterTurns kQuarterTurns;

std::array<double, 6> matrix_complex(const Values& v) {
    double s, c;
    sin_cos(v.angle, s, c);
    const double r = v.mirror ? -1.0 : 1.0;
    const double m = v.mag;
    return {c * m, ((-r) * s) * m, to_um(v.dx, v.unit), s * m, (r * c) * m, to_um(v.dy, v.unit)};
}

}  // namespace tx

}  // namespace lumino
