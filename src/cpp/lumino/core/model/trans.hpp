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

// The composition p * t of any two transformations: exact for two simple
// ones, in double precision when either is complex.
Values compose(const Values& p, const Values& t);

// The 2x3 matrix (a, b, tx, c, d, ty) of a placement, displacement in um.
std::array<double, 6> matrix(const Values& v);

}  // namespace tx

}  // namespace lumino
