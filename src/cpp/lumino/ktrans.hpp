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
};

Values values_of(const Simple& s);

// The 2x3 matrix (a, b, tx, c, d, ty) of a placement, displacement in um.
std::array<double, 6> matrix(const Values& v);

}  // namespace tx

class KTrans {
  public:
    // A simple transformation by value; no KLayout object exists until the
    // `trans` attribute is read.
    explicit KTrans(const tx::Simple& s) : simple_(s) {}
    // Wrap a KLayout transformation object as given (no copy).
    explicit KTrans(nb::object obj);

    // The KLayout object: the one given, or a kdb.Trans made on first read.
    nb::object trans();
    void set_trans(nb::object obj);

    bool is_complex() const { return complex_; }
    // Simple value; valid when !is_complex().
    tx::Simple simple() const;
    tx::Values values() const;

    nb::dict to_dict() const;
    nb::tuple trans_matrix() const;
    std::array<double, 6> matrix() const { return tx::matrix(values()); }

    // p * t as a new KTrans (t applied first).
    static KTrans product(KTrans& p, KTrans& t);

  private:
    tx::Simple simple_;
    bool complex_ = false;
    nb::object obj_;  // when set, it is the truth and is read on every use
};

// KTrans.multiply(parent_trans, trans)
nb::list multiply(nb::handle parent_trans, nb::handle trans);

void bind_ktrans(nb::module_& m);

}  // namespace lumino
