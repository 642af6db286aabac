// KTrans: one placement of a child cell.  Holds a simple (quarter-turn)
// transformation by value, or wraps a complex KLayout transformation
// (arbitrary angle, magnification).  Pure transformation arithmetic lives in
// the `lumino::tx` namespace and knows nothing of Python.
#pragma once

#include <array>
#include <cstdint>

#include "common/py.hpp"

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

class KTrans {
  public:
    explicit KTrans(const tx::Values& v) : decoded_(true), v_(v), unit_(v.unit) {}
    explicit KTrans(const tx::Simple& s, double unit = 0.0) : KTrans(with_unit(tx::values_of(s), unit)) {}
    // Wrap a KLayout transformation object as given (no copy); it is read
    // on first use.  A KTrans never changes, so later changes to a wrapped
    // KLayout object are not seen once it has been read.  `unit`: see
    // tx::Values::unit (placements read from a layout carry its unit).
    explicit KTrans(nb::object obj, double unit = 0.0) : obj_(std::move(obj)), unit_(unit) {}

    // The KLayout object: the one given, or one made on first read.
    nb::object trans();
    void set_trans(nb::object obj);

    tx::Values values() const;

    nb::dict to_dict() const;
    nb::tuple trans_matrix() const;
    std::array<double, 6> matrix() const { return tx::matrix(values()); }

    // p * t (t applied first).
    static KTrans product(const KTrans& p, const KTrans& t) { return KTrans(tx::compose(p.values(), t.values())); }

    // Garbage-collector support: the wrapped object may refer back.
    nb::handle wrapped() const { return obj_; }
    void clear() { obj_ = nb::object(); }

  private:
    static tx::Values with_unit(tx::Values v, double unit) {
        v.unit = unit;
        return v;
    }

    mutable bool decoded_ = false;
    mutable tx::Values v_;
    nb::object obj_;
    double unit_ = 0.0;
};

// A TypeError unless `obj` looks like a KLayout transformation (simple or
// complex): what KTrans wraps.
void check_transformation(nb::handle obj, const char* what);

// Any KLayout transformation object (simple or complex) read into a value.
tx::Values read_transformation(nb::handle obj);

// KTrans.multiply(parent_trans, trans), and the same appending to `out`.
nb::list multiply(nb::handle parent_trans, nb::handle trans);
void multiply_into(nb::list& out, nb::handle parent_trans, nb::handle trans);

void bind_ktrans(nb::module_& m);

}  // namespace lumino
