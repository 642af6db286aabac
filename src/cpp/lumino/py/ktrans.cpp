// KTrans: map form, 2x3 matrix and composition of placements.
#include "lumino/py/ktrans.hpp"

#include <cmath>
#include <deque>
#include <numbers>
#include <string>
#include <vector>

namespace lumino {

using corvane::module_attr;

namespace {

nb::object float_list2(double a, double b) {
    nb::list l;
    l.append(nb::float_(a));
    l.append(nb::float_(b));
    return l;
}

}  // namespace

tx::Values read_transformation(nb::handle o) {
    tx::Values v;
    if (nb::hasattr(o, "mag")) {  // complex transformations have a magnification
        // Read through a floating-point copy so that a displacement that
        // is not a whole database unit keeps its fraction.
        nb::object d = nb::borrow(o);
        nb::object dcplx = module_attr("kdb").attr("DCplxTrans");
        if (!nb::isinstance(o, dcplx)) d = dcplx(o);
        v.complex = true;
        v.mirror = nb::cast<bool>(d.attr("is_mirror")());
        v.angle = nb::cast<double>(d.attr("angle"));
        v.mag = nb::cast<double>(d.attr("mag"));
        nb::object disp = d.attr("disp");
        v.dx = nb::cast<double>(disp.attr("x"));
        v.dy = nb::cast<double>(disp.attr("y"));
        return v;
    }
    v.mirror = nb::cast<bool>(o.attr("is_mirror")());
    v.quarter = nb::cast<int>(o.attr("angle")) & 3;
    nb::object disp = o.attr("disp");
    v.dx = nb::cast<double>(disp.attr("x"));
    v.dy = nb::cast<double>(disp.attr("y"));
    return v;
}

nb::object KTrans::trans() {
    if (!obj_.is_valid()) {
        const tx::Values v = values();
        nb::object kdb = module_attr("kdb");
        if (v.complex) {
            obj_ = kdb.attr("DCplxTrans")(v.mag, v.angle, v.mirror, v.dx, v.dy);
        } else if (std::trunc(v.dx) == v.dx && std::trunc(v.dy) == v.dy) {
            obj_ = kdb.attr("Trans")(v.quarter, v.mirror, (long long)v.dx, (long long)v.dy);
        } else {
            obj_ = kdb.attr("DTrans")(v.quarter, v.mirror, v.dx, v.dy);
        }
    }
    return obj_;
}

void KTrans::set_trans(nb::object obj) {
    check_transformation(obj, "KTrans.trans");
    obj_ = std::move(obj);
    decoded_ = false;
}

tx::Values KTrans::values() const {
    if (decoded_) return v_;
    // The read calls into Python, which may rebind or drop the wrapped
    // object: hold it, and keep the result only if it is still the one.
    nb::object held = obj_;
    if (!held.is_valid()) corvane::raise(PyExc_TypeError, "KTrans wraps no transformation");
    tx::Values v = read_transformation(held);
    v.unit = unit_;
    if (obj_.is(held)) {
        v_ = v;
        decoded_ = true;
    }
    return v;
}

void check_transformation(nb::handle obj, const char* what) {
    for (const char* member : {"is_mirror", "angle", "disp"})
        if (!nb::hasattr(obj, member)) {
            std::string msg = what;
            msg += " must be a KLayout transformation (Trans, DTrans, ICplxTrans, DCplxTrans, ...), not ";
            msg += nb::cast<std::string>(nb::str(obj.type().attr("__name__")));
            corvane::raise(PyExc_TypeError, msg);
        }
}

nb::dict KTrans::to_dict() const {
    static constexpr int angles[4] = {0, 90, 180, 270};
    const tx::Values v = values();
    nb::dict d;
    d["mirror"] = nb::bool_(v.mirror);
    if (v.complex)
        d["angle"] = nb::float_(v.angle);
    else
        d["angle"] = nb::int_(angles[v.quarter & 3]);
    d["displacement"] = float_list2(tx::to_um(v.dx, v.unit), tx::to_um(v.dy, v.unit));
    return d;
}

nb::tuple KTrans::trans_matrix() const {
    const auto e = matrix();
    return nb::make_tuple(nb::make_tuple(e[0], e[1], e[2]), nb::make_tuple(e[3], e[4], e[5]));
}

namespace {

// Append the elements of a sequence argument, or the argument itself; each
// must be a KTrans.
void append_elements(nb::list& out, nb::handle x, const char* name) {
    auto check = [name](nb::handle e) {
        if (nb::isinstance<KTrans>(e)) return;
        std::string msg = name;
        msg += " must be a KTrans, a list or tuple of KTrans, or None; got ";
        msg += nb::cast<std::string>(nb::str(e.type().attr("__name__")));
        corvane::raise(PyExc_TypeError, msg);
    };
    if (PyList_Check(x.ptr()) || PyTuple_Check(x.ptr())) {
        nb::object seq = nb::borrow(x);  // held while elements are checked
        for (nb::handle e : seq) {
            check(e);
            out.append(e);
        }
    } else {
        check(x);
        out.append(x);
    }
}

// The KTrans behind one element; anything else is read through its `trans`.
KTrans& ktrans_of(nb::handle e, std::deque<KTrans>& keep) {
    KTrans* k = nullptr;
    if (nb::try_cast<KTrans*>(e, k) && k) return *k;
    return keep.emplace_back(e.attr("trans"));
}

}  // namespace

void multiply_into(nb::list& out, nb::handle parent_trans, nb::handle trans) {
    if (parent_trans.is_none() && trans.is_none())
        corvane::raise(PyExc_ValueError, "Either parent_trans or trans must be provided");
    if (parent_trans.is_none() || trans.is_none()) {
        if (parent_trans.is_none())
            append_elements(out, trans, "trans");
        else
            append_elements(out, parent_trans, "parent_trans");
        return;
    }
    auto seq = [](nb::handle x) {
        nb::list l;
        if (nb::isinstance<KTrans>(x))
            l.append(x);
        else
            for (nb::handle e : x) l.append(e);
        return l;
    };
    nb::list ts = seq(trans), ps = seq(parent_trans);
    std::deque<KTrans> keep;
    std::vector<KTrans*> pk;
    pk.reserve(ps.size());
    for (nb::handle p : ps) pk.push_back(&ktrans_of(p, keep));
    for (nb::handle t : ts) {
        KTrans& tk = ktrans_of(t, keep);
        for (KTrans* p : pk) out.append(nb::cast(KTrans::product(*p, tk)));
    }
}

nb::list multiply(nb::handle parent_trans, nb::handle trans) {
    nb::list out;
    multiply_into(out, parent_trans, trans);
    return out;
}

namespace {

std::string repr(KTrans& k) {
    const tx::Values v = k.values();
    if (v.complex) return std::string("KTrans(").append(corvane::str_of(k.trans())).append(")");
    auto num = [](double v) {
        if (std::trunc(v) == v) return std::to_string((long long)v);
        return corvane::str_of(nb::float_(v));
    };
    std::string out = "KTrans(";
    out += v.mirror ? 'm' : 'r';
    out += std::to_string(v.quarter * (v.mirror ? 45 : 90));
    out += ' ';
    out += num(v.dx);
    out += ',';
    out += num(v.dy);
    out += ')';
    return out;
}

}  // namespace

namespace {

// A KTrans may wrap an object that refers back to it: take part in cyclic
// garbage collection.
int ktrans_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<KTrans>(self)->wrapped().ptr());
    return 0;
}

int ktrans_clear(PyObject* self) {
    nb::inst_ptr<KTrans>(self)->clear();
    return 0;
}

PyType_Slot ktrans_slots[] = {{Py_tp_traverse, (void*)ktrans_traverse},
                              {Py_tp_clear, (void*)ktrans_clear},
                              {0, nullptr}};

}  // namespace

void bind_ktrans(nb::module_& m) {
    using namespace nb::literals;
    nb::class_<KTrans>(m, "KTrans", nb::type_slots(ktrans_slots),
                       "One placement of a child cell: a KLayout transformation with its map form, "
                       "its 2x3 matrix and composition.")
        .def(
            "__init__",
            [](KTrans* self, nb::object trans) {
                check_transformation(trans, "trans");
                new (self) KTrans(std::move(trans));
            },
            "trans"_a.none(), nb::sig("def __init__(self, trans: kdb.Trans) -> None"))
        .def_prop_rw("trans", &KTrans::trans, &KTrans::set_trans, nb::arg("value").none(),
                     "The wrapped KLayout transformation (kdb.Trans, or a complex one).")
        .def("to_dict", &KTrans::to_dict, nb::sig("def to_dict(self) -> dict[str, Any]"),
             "Map form: {'mirror': bool, 'angle': degrees, 'displacement': [x_um, y_um]}.")
        .def("trans_matrix", &KTrans::trans_matrix, nb::sig("def trans_matrix(self) -> TransMatrix"),
             "2x3 affine matrix ((a, b, tx), (c, d, ty)), displacement in micrometres.")
        .def_static("multiply", &multiply, "parent_trans"_a.none(), "trans"_a.none(),
                    nb::sig("def multiply(parent_trans: KTrans | list[KTrans] | None, "
                            "trans: KTrans | list[KTrans] | None) -> list[KTrans]"),
                    "Compose parent and child placements: all parents for the first child, "
                    "then all parents for the second, and so on.")
        .def("__repr__", &repr);
}

}  // namespace lumino
