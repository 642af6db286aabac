// Transformation arithmetic of placements (no Python): composition, the
// decoded form of any transformation and its 2x3 matrix.
#pragma once

#include <array>

namespace lumino {

namespace tx {

// x' = R(rot) * M(mirror) * x + d, with M the mirror at the x axis and R a
// counter-clockwise rotation by `rot` quarter turns; d in database units.
struct Simple {
    double dx = 0.0, dy = 0.0;
    int rot = 0;  // 0..3
    bool mirror = false;
};

// The composition p * t (t applied first), exact for integral displacements.
Simple compose(const Simple& p, const Simple& t);

// Rotates an integral vector by `rot` quarter turns, counter-clockwise.
inline void rotate(int rot, double& x, double& y) {
    const double ox = x, oy = y;
    switch (rot & 3) {
        case 1: x = -oy, y = ox; break;
        case 2: x = -ox, y = -oy; break;
        case 3: x = oy, y = -ox; break;
        default: break;
    }
}

// The decoded form of any transformation: what the map form and the matrix
// are computed from.
struct Values {
    bool mirror = false;
    bool complex = false;  // angle is a double in degrees and mag applies
    int quarter = 0;       // angle code of a simple transformation
    double angle = 0.0;    // degrees of a complex transformation
    double mag = 1.0;
    double dx = 0.0, dy = 0.0;  // database units
    // Micrometres per database unit; 0 for the usual 1 nm unit, which is
    // converted as x / 1000 (bit for bit what every earlier result holds).
    double unit = 0.0;
};

// A length in database units as micrometres.
inline double to_um(double d, double unit) { return unit == 0.0 ? d / 1000.0 : d * unit; }

// The unit of a layout whose database unit is `dbu` micrometres: 0 (the
// usual one) when it is 0.001 up to rounding of the stored value.
double unit_of_dbu(double dbu);

Values values_of(const Simple& s);

// What compose() and matrix() do when a transformation is complex.
Values compose_complex(const Values& p, const Values& t);
std::array<double, 6> matrix_complex(const Values& v);

// The sine and cosine of the four quarter turns, as the reference arithmetic
// computes them (through radians: sin(180 degrees) is 1.2e-16, not 0).
struct QuarterTurns {
    double s[4], c[4];
    QuarterTurns();
};
extern const QuarterTurns kQuarterTurns;

// The composition p * t of any two transformations: exact for two simple
// ones, in double precision when either is complex.  Inline for the simple
// case, which arrays of arrays compose millions of times.
inline Values compose(const Values& p, const Values& t) {
    if (p.complex || t.complex) return compose_complex(p, t);
    Values r;
    r.unit = p.unit;
    r.mirror = p.mirror != t.mirror;
    // M * R(a) == R(-a) * M: a mirrored parent turns the child's rotation back.
    r.quarter = (p.mirror ? p.quarter - t.quarter : p.quarter + t.quarter) & 3;
    // The child's displacement turned by the parent's rotation (mirror first).
    double x = t.dx, y = p.mirror ? -t.dy : t.dy;
    rotate(p.quarter, x, y);
    r.dx = x + p.dx;
    r.dy = y + p.dy;
    return r;
}

// The 2x3 matrix (a, b, tx, c, d, ty) of a placement, displacement in um.
// Same operand order as the reference arithmetic, so that every product
// (negative zeros included) comes out bit for bit.
inline std::array<double, 6> matrix(const Values& v) {
    if (v.complex) return matrix_complex(v);
    const double s = kQuarterTurns.s[v.quarter & 3], c = kQuarterTurns.c[v.quarter & 3];
    const double r = v.mirror ? -1.0 : 1.0;
    return {c, (-r) * s, to_um(v.dx, v.unit), s, r * c, to_um(v.dy, v.unit)};
}

}  // namespace tx

}  // namespace lumino
