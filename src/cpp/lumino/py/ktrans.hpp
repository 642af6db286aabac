// KTrans: one placement of a child cell.  Holds a simple (quarter-turn)
// transformation by value, or wraps a complex KLayout transformation
// (arbitrary angle, magnification).  The arithmetic is core/model/trans.hpp's.
#pragma once

#include <array>
#include <cstdint>

#include "common/py.hpp"
#include "lumino/core/model/trans.hpp"

namespace lumino {

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
