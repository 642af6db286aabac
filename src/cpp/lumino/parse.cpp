// ParseGDS construction, layer lookups, polygon extraction and the
// depth-first parse of a layout into Cell/Reference trees.
//
// The parse reads each KLayout cell once per walk, taking polygons and
// transformations in KLayout's binary form (decoded here) instead of a call
// per point and per transformation component.  New polygons are simplified together through
// shapely's vectorised functions when the walk ends.
#include "lumino/parse.hpp"

#include <nanobind/ndarray.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <exception>
#include <memory>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "lumino/checks.hpp"
#include "lumino/core/gds2.hpp"
#include "lumino/ktrans.hpp"
#include "lumino/pool_py.hpp"
#include "lumino/records.hpp"
#include "lumino/tree.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

// "(layer, datatype)"
std::string pair_text(nb::handle pair) {
    std::string s = "(";
    s += corvane::str_of(pair[0]);
    s += ", ";
    s += corvane::str_of(pair[1]);
    s += ")";
    return s;
}

bool contains(nb::handle mapping, nb::handle key) {
    int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object multiply_num(double a, nb::handle b) {
    nb::object fa = nb::float_(a);
    PyObject* r = PyNumber_Multiply(fa.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// ---- KLayout objects ---------------------------------------------------

// Hull points of a KLayout polygon in micrometres (`unit`: see
// tx::Values::unit), read point by point: the plain reading, which the
// binary one below must reproduce.
void hull_points(nb::handle polygon, double unit, std::vector<double>& out) {
    nb::object dpoly = polygon.attr("to_dtype")();
    corvane::for_each(dpoly.attr("each_point_hull")(), [&](nb::object p) {
        out.push_back(tx::to_um(nb::cast<double>(p.attr("x")), unit));
        out.push_back(tx::to_um(nb::cast<double>(p.attr("y")), unit));
    });
}

// Hull points from KLayout's binary form of a polygon: a 16-bit version
// (1), a 64-bit contour count, then per contour a 64-bit point count and
// 64-bit x, y pairs; the hull is the first contour.  False (and nothing
// appended) unless the bytes have exactly that layout.
bool parse_polygon_bytes(nb::handle bytes, double unit, std::vector<double>& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    auto u64 = [&](Py_ssize_t at) {
        uint64_t v;
        std::memcpy(&v, data + at, 8);
        return v;
    };
    if (size < 10 || data[0] != 1 || data[1] != 0) return false;
    const uint64_t contours = u64(2);
    Py_ssize_t at = 10, hull_at = 0;
    uint64_t hull_n = 0;
    for (uint64_t k = 0; k < contours; ++k) {
        if (at + 8 > size) return false;
        const uint64_t n = u64(at);
        at += 8;
        if (n > uint64_t(size - at) / 16) return false;
        if (k == 0) hull_at = at, hull_n = n;
        at += Py_ssize_t(n * 16);
    }
    if (at != size || contours == 0) return false;
    out.reserve(out.size() + 2 * hull_n);
    for (uint64_t k = 0; k < hull_n; ++k) {
        int64_t x, y;
        std::memcpy(&x, data + hull_at + Py_ssize_t(16 * k), 8);
        std::memcpy(&y, data + hull_at + Py_ssize_t(16 * k) + 8, 8);
        out.push_back(tx::to_um(double(x), unit));
        out.push_back(tx::to_um(double(y), unit));
    }
    return true;
}

// Hull points of a KLayout polygon: its binary form, decoded here (one call
// whatever the number of points), else the point-by-point reading.
void polygon_points(nb::handle polygon, double unit, std::vector<double>& out) {
    if (!parse_polygon_bytes(polygon.attr("to_bytes")(), unit, out)) hull_points(polygon, unit, out);
}

// A simple transformation from KLayout's binary form of a Trans: a 16-bit
// version (1), a 16-bit rotation code (0-3 rotations, 4-7 mirrored), 64-bit
// x and y.  False unless the bytes have exactly that layout.
bool parse_trans_bytes(nb::handle bytes, tx::Simple& t) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    uint16_t version, code;
    int64_t x, y;
    if (size != 20) return false;
    std::memcpy(&version, data, 2);
    std::memcpy(&code, data + 2, 2);
    std::memcpy(&x, data + 4, 8);
    std::memcpy(&y, data + 12, 8);
    if (version != 1 || code > 7) return false;
    t = tx::Simple{double(x), double(y), code & 3, code >= 4};
    return true;
}

// Child and placements of one instance.  A simple instance costs a few
// calls into KLayout whatever its size: the index, two flags, the
// transformation's binary form, and for a regular array its two step
// vectors and counts, from which the elements are made here in KLayout's
// order (the a step runs fastest).  Complex instances keep KLayout's own
// transformation objects.
void read_instance(nb::handle inst, InstData& d) {
    d.child = nb::cast<Py_ssize_t>(inst.attr("cell_index"));
    d.simple.clear();
    d.complex.clear();
    if (nb::cast<bool>(inst.attr("is_complex")())) {
        nb::object cia = inst.attr("cell_inst");
        corvane::for_each(cia.attr("each_cplx_trans")(), [&](nb::object t) { d.complex.push_back(t); });
        return;
    }
    const bool array = nb::cast<bool>(inst.attr("is_regular_array")());
    nb::object trans = inst.attr("trans");
    tx::Simple t;
    if (!parse_trans_bytes(trans.attr("to_bytes")(), t)) {
        const tx::Values v = read_transformation(trans);
        t = tx::Simple{v.dx, v.dy, v.quarter, v.mirror};
    }
    if (!array) {
        d.simple.push_back(t);
        return;
    }
    nb::object a = inst.attr("a"), b = inst.attr("b");
    const long long ax = nb::cast<long long>(a.attr("x")), ay = nb::cast<long long>(a.attr("y"));
    const long long bx = nb::cast<long long>(b.attr("x")), by = nb::cast<long long>(b.attr("y"));
    const long long na = nb::cast<long long>(inst.attr("na")), nb_ = nb::cast<long long>(inst.attr("nb"));
    d.simple.reserve(size_t(std::max(0LL, na)) * size_t(std::max(0LL, nb_)));
    for (long long j = 0; j < nb_; ++j)
        for (long long i = 0; i < na; ++i) {
            tx::Simple e = t;
            e.dx = t.dx + double(i * ax + j * bx);
            e.dy = t.dy + double(i * ay + j * by);
            d.simple.push_back(e);
        }
}

using Outline = std::vector<double>;  // x0, y0, x1, y1, ...

// True for an axis-parallel rectangle that a topology-preserving
// Douglas-Peucker simplification at `tol` leaves exactly as it is: every
// corner lies w*h/diagonal away from the line through its neighbours (and the
// opposite corner a full diagonal away), so no vertex is dropped and no
// coordinate changes.  A factor of two keeps clear of the comparison edge.
bool box_survives(const Outline& o, double tol) {
    if (o.size() != 8) return false;
    const double x0 = o[0], y0 = o[1], x1 = o[2], y1 = o[3], x2 = o[4], y2 = o[5], x3 = o[6], y3 = o[7];
    const bool vertical_first = x0 == x1 && y1 == y2 && x2 == x3 && y3 == y0;
    const bool horizontal_first = y0 == y1 && x1 == x2 && y2 == y3 && x3 == x0;
    if (!vertical_first && !horizontal_first) return false;
    const double w = std::abs(x2 - x0), h = std::abs(y2 - y0);
    if (w == 0.0 || h == 0.0) return false;
    return w * h > 2.0 * tol * std::sqrt(w * w + h * h);
}

// The tolerance as a number when it is one, else -1 (shapely judges it).
double tolerance_value(nb::handle tolerance) {
    double tol = -1.0;
    if (PyFloat_Check(tolerance.ptr()) || PyLong_Check(tolerance.ptr())) {
        tol = PyFloat_AsDouble(tolerance.ptr());
        if (tol == -1.0 && PyErr_Occurred()) PyErr_Clear();
        if (!std::isfinite(tol)) tol = -1.0;
    }
    return tol;
}

// Whether shapely has to see an outline: one of three or more points that
// is not a rectangle simplification provably keeps.
bool needs_simplifying(const Outline& o, double tol) { return o.size() >= 6 && !(tol >= 0.0 && box_survives(o, tol)); }

// Simplify outlines with shapely in one batch, each as
// Polygon(points).simplify(tolerance, preserve_topology=True).exterior.coords
// without the closing point.  An outline that cannot be simplified into a
// non-empty polygon (fewer than three points, collapse, GEOS failure) keeps
// its points.
void simplify_batch(std::vector<Outline>& outlines, nb::handle tolerance) {
    const double tol = tolerance_value(tolerance);
    std::vector<size_t> batch;
    for (size_t k = 0; k < outlines.size(); ++k)
        if (needs_simplifying(outlines[k], tol)) batch.push_back(k);
    if (batch.empty()) return;

    auto coords = std::make_unique<std::vector<double>>();
    auto rings = std::make_unique<std::vector<int64_t>>(1, 0);
    auto geoms = std::make_unique<std::vector<int64_t>>(1, 0);
    for (size_t k : batch) {
        const Outline& o = outlines[k];
        coords->insert(coords->end(), o.begin(), o.end());
        const size_t n = o.size();
        if (o[0] != o[n - 2] || o[1] != o[n - 1]) coords->insert(coords->end(), {o[0], o[1]});
        rings->push_back(int64_t(coords->size() / 2));
        geoms->push_back(int64_t(geoms->size()));
    }
    // numpy arrays over the buffers; each capsule owns its buffer.
    auto owned = [](auto& v) {
        using V = typename std::remove_reference_t<decltype(v)>::element_type;
        nb::capsule c(v.get(), [](void* p) noexcept { delete static_cast<V*>(p); });
        v.release();
        return c;
    };
    const size_t npts = coords->size() / 2, nrings = rings->size(), ngeoms = geoms->size();
    double* c_data = coords->data();
    int64_t *r_data = rings->data(), *g_data = geoms->data();
    nb::object c_arr = nb::ndarray<nb::numpy, double, nb::ndim<2>>(c_data, {npts, 2}, owned(coords)).cast();
    nb::object r_arr = nb::ndarray<nb::numpy, int64_t, nb::ndim<1>>(r_data, {nrings}, owned(rings)).cast();
    nb::object g_arr = nb::ndarray<nb::numpy, int64_t, nb::ndim<1>>(g_data, {ngeoms}, owned(geoms)).cast();

    nb::module_ shapely = nb::module_::import_("shapely");
    nb::object np = module_attr("np");
    nb::object polys = shapely.attr("from_ragged_array")(shapely.attr("GeometryType").attr("POLYGON"), c_arr,
                                                          nb::make_tuple(r_arr, g_arr));
    nb::object simp = shapely.attr("simplify")(polys, tolerance, "preserve_topology"_a = true);
    if (PyObject_Length(simp.ptr()) != Py_ssize_t(batch.size()))
        corvane::raise(PyExc_RuntimeError, "shapely.simplify did not return one outline per outline");
    nb::object ok = np.attr("logical_and")(np.attr("equal")(shapely.attr("get_type_id")(simp), 3),
                                           np.attr("logical_not")(shapely.attr("is_empty")(simp)));
    nb::object ok_idx = np.attr("flatnonzero")(ok).attr("astype")("int64");
    auto idx = nb::cast<nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig>>(ok_idx);
    if (idx.shape(0) == 0) return;
    nb::object sub = simp[ok_idx];
    nb::tuple ragged = nb::cast<nb::tuple>(shapely.attr("to_ragged_array")(sub));
    nb::object out_c = np.attr("ascontiguousarray")(ragged[1], "dtype"_a = "float64");
    nb::tuple offs = nb::cast<nb::tuple>(ragged[2]);
    nb::object out_r = np.attr("ascontiguousarray")(offs[0], "dtype"_a = "int64");
    nb::object out_g = np.attr("ascontiguousarray")(offs[1], "dtype"_a = "int64");
    auto oc = nb::cast<nb::ndarray<const double, nb::ndim<2>, nb::c_contig>>(out_c);
    auto orr = nb::cast<nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig>>(out_r);
    auto og = nb::cast<nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig>>(out_g);
    for (size_t g = 0; g < idx.shape(0); ++g) {
        const int64_t ring = og(g);
        int64_t a = orr(ring), b = orr(ring + 1);
        if (b - a >= 2 && oc(a, 0) == oc(b - 1, 0) && oc(a, 1) == oc(b - 1, 1)) --b;
        Outline& o = outlines[batch[size_t(idx(g))]];
        o.assign(oc.data() + 2 * a, oc.data() + 2 * b);
    }
}

// Simplify outlines in one thread: one batch, or one by one when an outline
// breaks the batch (those that fail keep their points).
void simplify_serial(std::vector<Outline>& outlines, nb::handle tolerance) {
    nb::object geos;
    try {
        simplify_batch(outlines, tolerance);
        return;
    } catch (nb::python_error& e) {
        geos = nb::module_::import_("shapely.errors").attr("GEOSException");
        if (!e.matches(geos)) throw;
    }
    for (Outline& o : outlines) {
        std::vector<Outline> one{o};
        try {
            simplify_batch(one, tolerance);
            o = std::move(one[0]);
        } catch (nb::python_error& e) {
            if (!e.matches(geos)) throw;
        }
    }
}

// Below this many points one thread does it all: starting others costs more.
constexpr size_t kPointsPerThread = 20000;

void simplify(std::vector<Outline>& outlines, nb::handle tolerance) {
    check_curve_tolerance(tolerance);  // a scalar: one simplified outline per outline
    // Each outline is simplified on its own, so the outlines shapely has to
    // see split into consecutive chunks of about equal point counts, one per
    // thread: GEOS runs without the interpreter lock, and the results are
    // those of one thread.
    const double tol = tolerance_value(tolerance);
    std::vector<size_t> work;
    size_t points = 0;
    for (size_t k = 0; k < outlines.size(); ++k)
        if (needs_simplifying(outlines[k], tol)) {
            work.push_back(k);
            points += outlines[k].size() / 2;
        }
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t threads = std::min({cores, size_t(4), std::max<size_t>(1, points / kPointsPerThread), work.size()});
    if (threads <= 1) {
        simplify_serial(outlines, tolerance);
        return;
    }
    std::vector<std::vector<Outline>> chunks(threads);
    size_t k = 0, taken = 0;
    for (size_t c = 0; c < threads; ++c) {
        const size_t goal = points * (c + 1) / threads;
        while (k < work.size() && (taken < goal || c + 1 == threads)) {
            taken += outlines[work[k]].size() / 2;
            chunks[c].push_back(std::move(outlines[work[k++]]));
        }
    }
    std::vector<std::exception_ptr> errors(threads);
    std::vector<std::thread> workers;
    for (size_t c = 1; c < threads; ++c)
        workers.emplace_back([&, c] {
            nb::gil_scoped_acquire acquire;
            try {
                simplify_serial(chunks[c], tolerance);
            } catch (...) {
                errors[c] = std::current_exception();
            }
        });
    try {
        simplify_serial(chunks[0], tolerance);
    } catch (...) {
        errors[0] = std::current_exception();
    }
    {
        nb::gil_scoped_release release;
        for (std::thread& w : workers) w.join();
    }
    for (std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    k = 0;
    for (auto& chunk : chunks)
        for (Outline& o : chunk) outlines[work[k++]] = std::move(o);
}

// Micrometres per database unit of a layout (see tx::Values::unit); a layout
// without a numeric `dbu` is taken to use the usual 1 nm.
double layout_unit(nb::handle layout) {
    nb::object dbu = nb::getattr(layout, "dbu", nb::none());
    if (!PyFloat_Check(dbu.ptr()) && !PyLong_Check(dbu.ptr())) return 0.0;
    const double v = PyFloat_AsDouble(dbu.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!std::isfinite(v) || v <= 0.0) return 0.0;
    return tx::unit_of_dbu(v);
}

// One depth-first walk over cells of the layout.  Each KLayout cell is read
// once per walk; polygons new to the pool are collected and committed (and
// simplified) together at the end.  The walk keeps its own stack, so any
// depth of hierarchy is safe.
class Walk {
  public:
    // `stream`: the layout's GDS2 serialisation, read where it carries
    // KLayout's own answer; absent for the plain per-shape reading.
    Walk(ParseGDS& p, const gds::Library* stream) : self_(p), stream_(stream) {
        // Keys copied first: converting one may run Python code.
        nb::object keys = nb::steal(PySequence_List(self_.layer_map.ptr()));
        if (!keys.is_valid()) throw nb::python_error();
        for (nb::handle k : keys) {
            Layer& l = layers_.emplace_back(Layer{nb::str(k), nb::borrow(k)});
            // The stream knows a layer by its (layer, datatype) pair.
            nb::object pair = self_.layer_map[k];
            long long ln = -1, dt = -1;
            if (PyTuple_Check(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2 &&
                nb::try_cast<long long>(pair[0], ln) && nb::try_cast<long long>(pair[1], dt) && ln >= 0 &&
                ln <= 0xffff && dt >= 0 && dt <= 0xffff) {
                l.streamable = true;
                l.layer = uint16_t(ln);
                l.datatype = uint16_t(dt);
            }
        }
        unit_ = tree_.unit = layout_unit(self_.layout);
        base_ = self_.instance_index;
        pool_ = pool_of(self_.instances);
        index_ = shape_index_of(self_.instance_mapping);
        check_existing_ = index_ ? index_->size() != 0 : PyObject_Length(self_.instance_mapping.ptr()) != 0;
        if (PyErr_Occurred()) throw nb::python_error();
    }

    // The tree of a top cell: pre-order, own layers first, then the children
    // in instance order; a child on the current path (a cycle) is skipped.
    void parse_top(nb::handle cell) {
        struct Frame {
            uint32_t node;
            size_t next = 0;
        };
        std::vector<Frame> stack;
        auto open = [&](Py_ssize_t ci, nb::handle kcell, const InstData* placed) {
            auto it = tree_.cells.find(ci);
            const CellData& d = (it != tree_.cells.end() && it->second.ready) ? it->second : data(ci, kcell);
            if (size_t(ci) >= on_path_.size()) on_path_.resize(size_t(ci) + 1, 0);
            on_path_[size_t(ci)] = 1;
            if (tree_.nodes.size() >= UINT32_MAX) corvane::raise(PyExc_MemoryError, "layout tree too large");
            stack.push_back(Frame{uint32_t(tree_.nodes.size())});
            tree_.nodes.push_back(ParseTree::Node{&d, ci, placed, 1});
        };

        tree_.tops.push_back(uint32_t(tree_.nodes.size()));
        open(nb::cast<Py_ssize_t>(cell.attr("cell_index")()), cell, nullptr);
        while (!stack.empty()) {
            Frame& f = stack.back();
            ParseTree::Node& node = tree_.nodes[f.node];
            if (f.next == node.cell->insts.size()) {
                node.size = uint32_t(tree_.nodes.size()) - f.node;
                on_path_[size_t(node.ci)] = 0;
                stack.pop_back();
                continue;
            }
            const InstData& inst = node.cell->insts[f.next++];
            // The walk looks every child up by its index, as a consistent
            // layout guarantees; a child on the current path is a cycle.
            auto cit = tree_.cells.find(inst.child);
            nb::object child =
                (cit != tree_.cells.end() && cit->second.ready) ? nb::object() : child_cell(inst.child);
            if (size_t(inst.child) < on_path_.size() && on_path_[size_t(inst.child)]) continue;
            open(inst.child, child, &inst);
        }
    }

    // The parse, once committed.
    ParseTree& tree() { return tree_; }

    // Append the new polygons to the pool and record their keys.
    void commit() {
        if (pending_.empty()) return;
        if (!self_.curve_tolerance.is_none()) simplify(pending_, self_.curve_tolerance);
        // The parser's own pool and index take the data as it is; any other
        // containers a caller put in their place get Python objects.
        nb::object instances = self_.instances, mapping = self_.instance_mapping;
        const bool is_list = PyList_CheckExact(instances.ptr());
        if (pool_) {
            size_t values = 0;
            for (const Outline& o : pending_) values += o.size();
            pool_->reserve(pending_.size(), values);
        }
        if (index_) index_->reserve(pending_.size());
        for (size_t k = 0; k < pending_.size(); ++k) {
            if (pool_) {
                pool_->append(pending_[k]);
                Outline().swap(pending_[k]);  // copied: freed at once
            } else {
                nb::list poly = polygon_list(pending_[k]);
                if (is_list) {
                    if (PyList_Append(instances.ptr(), poly.ptr()) != 0) throw nb::python_error();
                } else {
                    instances.attr("append")(poly);
                }
            }
            auto& key = keys_[k];
            if (index_)
                index_->set(ShapeKey{key[0], key[1], key[2]}, base_ + Py_ssize_t(k));
            else
                mapping[nb::make_tuple(key[0], key[1], key[2])] = base_ + Py_ssize_t(k);
        }
        self_.instance_index = base_ + Py_ssize_t(pending_.size());
        pending_.clear();
        keys_.clear();
    }

  private:
    struct Layer {
        nb::str key;       // layer index as text: the key of Cell.polygons
        nb::object index;  // layer index
        bool streamable = false;
        uint16_t layer = 0, datatype = 0;
    };

    CellData& data(Py_ssize_t ci, nb::handle cell) {
        CellData& d = tree_.cells[ci];
        if (d.ready) return d;
        d.name = cell.attr("name");
        const gds::Structure* s =
            stream_ && nb::isinstance<nb::str>(d.name) ? stream_->find(nb::cast<std::string>(d.name)) : nullptr;
        for (Layer& layer : layers_) {
            std::vector<Py_ssize_t> idx;
            nb::object shapes = cell.attr("shapes")(layer.index);
            const Py_ssize_t li = nb::cast<Py_ssize_t>(layer.index);
            if (!(s && layer.streamable && shapes_from_stream(ci, li, *s, layer, shapes, idx))) {
                Py_ssize_t pos = 0;
                corvane::for_each(shapes.attr("each")(), [&](nb::object shape) {
                    const Py_ssize_t at = pos++;
                    // Texts, edges and points have no polygon form: skipped,
                    // but they keep their place in the numbering.
                    nb::object polygon = shape.attr("polygon");
                    if (!polygon.is_none())
                        idx.push_back(pool_index(ci, li, at, [&](Outline& o) { polygon_points(polygon, unit_, o); }));
                });
            }
            if (!idx.empty()) d.polygons.emplace_back(layer.key, std::move(idx));
        }
        if (!(s && insts_from_stream(*s, cell, d)))
            corvane::for_each(cell.attr("each_inst")(), [&](nb::object inst) {
                InstData id;
                read_instance(inst, id);
                d.insts.push_back(std::move(id));
            });
        d.ready = true;
        return d;
    }

    // The shapes of one cell and layer from the stream, when it lists them
    // as KLayout holds them: one element per shape (the count agrees), and
    // only texts and boundaries that do not touch themselves (paths, edges
    // and polygons with holes are written in other forms).
    bool shapes_from_stream(Py_ssize_t ci, Py_ssize_t li, const gds::Structure& s, const Layer& layer,
                            nb::handle shapes, std::vector<Py_ssize_t>& idx) {
        const std::vector<uint32_t>* elements = s.on_layer(layer.layer, layer.datatype);
        const size_t n = elements ? elements->size() : 0;
        if (nb::cast<size_t>(shapes.attr("size")()) != n) return false;
        for (size_t k = 0; k < n; ++k) {
            const gds::Element& e = s.elements[(*elements)[k]];
            if (e.kind != gds::Kind::Text && !(e.kind == gds::Kind::Boundary && !e.repeated_vertex && e.count >= 3))
                return false;
        }
        for (size_t k = 0; k < n; ++k) {
            const gds::Element& e = s.elements[(*elements)[k]];
            if (e.kind == gds::Kind::Text) continue;
            idx.push_back(pool_index(ci, li, Py_ssize_t(k), [&](Outline& o) {
                const int32_t* xy = stream_->xy.data() + 2 * size_t(e.first);
                o.reserve(2 * size_t(e.count));
                for (size_t j = 0; j < 2 * size_t(e.count); ++j) o.push_back(tx::to_um(double(xy[j]), unit_));
            }));
        }
        return true;
    }

    // The instances of one cell from the stream, when all are single
    // placements of a quarter-turn transformation and magnification 1 (the
    // stream writes arrays in a normalised form and complex placements
    // approximately, so those cells are read from KLayout).
    bool insts_from_stream(const gds::Structure& s, nb::handle cell, CellData& d) {
        std::vector<InstData> insts;
        insts.reserve(s.placements.size());
        for (const gds::Placement& pl : s.placements) {
            if (pl.array || pl.abs_mag || pl.abs_angle || pl.mag != 1.0) return false;
            int rot = -1;
            for (int q = 0; q < 4; ++q)
                if (pl.angle == 90.0 * q) rot = q;
            if (rot < 0) return false;
            const Py_ssize_t child = cell_index_of(pl.sname);
            if (child < 0) return false;
            InstData& id = insts.emplace_back();
            id.child = child;
            id.simple.push_back(tx::Simple{double(pl.xy[0]), double(pl.xy[1]), rot, pl.mirror});
        }
        if (nb::cast<size_t>(cell.attr("child_instances")()) != insts.size()) return false;
        d.insts = std::move(insts);
        return true;
    }

    // The index of a layout cell by name, -1 if there is none.
    Py_ssize_t cell_index_of(const std::string& name) {
        if (!names_ready_) {
            nb::object items = nb::steal(PySequence_List(self_.cell_index_map.attr("items")().ptr()));
            if (!items.is_valid()) throw nb::python_error();
            for (nb::handle item : items) {
                Py_ssize_t ci = 0;
                if (nb::try_cast<Py_ssize_t>(item[0], ci))
                    cell_names_.emplace(nb::cast<std::string>(nb::str(item[1].attr("name"))), ci);
            }
            names_ready_ = true;
        }
        auto it = cell_names_.find(name);
        return it == cell_names_.end() ? -1 : it->second;
    }

    // The pool index of a shape's polygon; its points are read (by
    // `read_points`) only when the pool does not hold it yet.
    template <class F>
    Py_ssize_t pool_index(Py_ssize_t ci, Py_ssize_t li, Py_ssize_t pos, F&& read_points) {
        if (check_existing_) {
            if (index_) {
                const int64_t at = index_->find(ShapeKey{ci, li, pos});
                if (at >= 0) return Py_ssize_t(at);
            } else {
                nb::object key = nb::make_tuple(ci, li, pos);
                if (contains(self_.instance_mapping, key)) return nb::cast<Py_ssize_t>(self_.instance_mapping[key]);
            }
        }
        read_points(pending_.emplace_back());
        keys_.push_back({ci, li, pos});
        return base_ + Py_ssize_t(pending_.size()) - 1;
    }

    // The KLayout cell of an index; a missing one is a KeyError.
    nb::object child_cell(Py_ssize_t ci) { return self_.cell_index_map[nb::int_(ci)]; }

    ParseGDS& self_;
    ParseTree tree_;
    const gds::Library* stream_;
    std::shared_ptr<PolygonPool> pool_;
    std::shared_ptr<ShapeIndex> index_;
    std::vector<Layer> layers_;
    std::unordered_map<std::string, Py_ssize_t> cell_names_;
    bool names_ready_ = false;
    std::vector<char> on_path_;
    std::vector<Outline> pending_;
    std::vector<std::array<Py_ssize_t, 3>> keys_;
    Py_ssize_t base_ = 0;
    double unit_ = 0.0;
    bool check_existing_ = false;
};

}  // namespace

ParseGDS::ParseGDS(nb::object layout_, nb::object layers_, double z_scale_, nb::object curve_tolerance_,
                   nb::object exclude_layers_)
    : layout(std::move(layout_)),
      layers(std::move(layers_)),
      z_scale(z_scale_),
      curve_tolerance(std::move(curve_tolerance_)),
      exclude_layers(std::move(exclude_layers_)),
      instances(new_pool()),
      instance_mapping(new_shape_index()),
      parsed_cells(nb::none()),
      parsed_layers(nb::none()),
      layer_map(nb::dict()),
      reverse_layer_map(nb::dict()),
      cell_index_map(nb::dict()) {
    check_parser_arguments(layout, layers, z_scale, curve_tolerance, exclude_layers);
    extract_layers();
    nb::dict cells;
    corvane::for_each(layout.attr("each_cell")(), [&](nb::object cell) { cells[cell.attr("cell_index")()] = cell; });
    cell_index_map = cells;
}

void ParseGDS::extract_layers() {
    nb::dict map;
    corvane::for_each(layout.attr("layer_indices")(), [&](nb::object index) {
        nb::object info = layout.attr("get_info")(index);
        nb::object pair = nb::make_tuple(info.attr("layer"), info.attr("datatype"));
        if (contains(layers, pair)) map[index] = pair;
    });
    layer_map = map;
    nb::dict reverse;
    for (auto [index, pair] : map) reverse[pair] = index;
    reverse_layer_map = reverse;
}

nb::object ParseGDS::get_name(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    std::string text = pair_text(layer_spec);
    if (!contains(layers, layer_spec)) return nb::str(text.c_str());
    std::string name = corvane::str_of(layers[layer_spec].attr("name"));
    name += ' ';
    name += text;
    return nb::str(name.c_str());
}

nb::object ParseGDS::get_color(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    if (!contains(layers, layer_spec)) return nb::str("#000000");
    return layers[layer_spec].attr("color");
}

nb::object ParseGDS::get_zmin(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    if (!contains(layers, layer_spec)) return nb::float_(-z_scale);
    return multiply_num(z_scale, layers[layer_spec].attr("zmin"));
}

nb::object ParseGDS::get_height(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    if (!contains(layers, layer_spec)) return nb::float_(z_scale * 0.05);
    return multiply_num(z_scale, layers[layer_spec].attr("thickness"));
}

nb::list ParseGDS::extract_dpolygon(nb::handle polygon) const {
    check_polygon(polygon);
    std::vector<Outline> one(1);
    hull_points(polygon, layout_unit(layout), one[0]);
    if (!curve_tolerance.is_none()) simplify(one, curve_tolerance);
    return polygon_list(one[0]);
}

nb::object ParseGDS::parse_cells(nb::handle cell) {
    check_own_cell(layout, cell);
    std::unique_ptr<ParseTree> tree = parse_tree(nb::make_tuple(cell), false);
    return tree_records(*tree)[0];
}

namespace {

// The layout's GDS2 serialisation (KLayout writes it in memory in about the
// time of its read), read into `lib`; false when the layout cannot be
// serialised or read back, and the plain reading is used.
bool read_stream(nb::handle layout, nb::handle layer_map, gds::Library& lib) {
    nb::object bytes;
    try {
        nb::object options = module_attr("kdb").attr("SaveLayoutOptions")();
        options.attr("format") = "GDS2";
        // One element per polygon, however many points it has.
        options.attr("gds2_multi_xy_records") = true;
        options.attr("gds2_write_timestamps") = false;
        // Only the layers the parse reads.
        options.attr("deselect_all_layers")();
        nb::object get_info = layout.attr("get_info");
        for (nb::handle index : nb::steal(PySequence_List(layer_map.ptr())))
            options.attr("add_layer")(index, get_info(index));
        bytes = layout.attr("write_bytes")(options);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    std::string error;
    return gds::read(reinterpret_cast<const uint8_t*>(data), size_t(size), lib, error);
}

// Below this many shapes (on the mapped layers) and instances, reading them
// one by one costs less than serialising the layout, whose cost grows with
// its points.
constexpr size_t kItemsForStream = 1000;

// Whether the layout holds at least kItemsForStream shapes and instances;
// counts cell by cell and stops as soon as it knows.
bool worth_streaming(nb::handle layout, nb::handle layer_map) {
    nb::object layers = nb::steal(PySequence_List(layer_map.ptr()));
    if (!layers.is_valid()) throw nb::python_error();
    if (PyList_GET_SIZE(layers.ptr()) == 0) return false;
    size_t shapes = 0;
    bool enough = false;
    try {
        corvane::for_each(layout.attr("each_cell")(), [&](nb::object cell) {
            if (enough) return;
            shapes += nb::cast<size_t>(cell.attr("child_instances")());
            for (nb::handle li : layers) {
                shapes += nb::cast<size_t>(cell.attr("shapes")(li).attr("size")());
                if (shapes >= kItemsForStream) {
                    enough = true;
                    return;
                }
            }
        });
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    return enough;
}

}  // namespace

std::unique_ptr<ParseTree> ParseGDS::parse_tree(nb::handle cells, bool use_stream) {
    corvane::GcPause pause;
    gds::Library lib;
    const bool streamed = use_stream && worth_streaming(layout, layer_map) && read_stream(layout, layer_map, lib);
    Walk walk(*this, streamed ? &lib : nullptr);
    corvane::for_each(cells, [&](nb::object cell) { walk.parse_top(cell); });
    lib = gds::Library();  // read: its memory goes before the pool grows
#ifdef __GLIBC__
    malloc_trim(0);  // and so does what serialising and reading left free
#endif
    walk.commit();
    return std::make_unique<ParseTree>(std::move(walk.tree()));
}

namespace {

// The parser holds Python objects that may refer back to it (a caller can
// store it anywhere): take part in cyclic garbage collection.
#define CORVANE_PARSE_GDS_MEMBERS(X)                                                                  \
    X(layout) X(layers) X(curve_tolerance) X(exclude_layers) X(instances) X(instance_mapping)     \
        X(parsed_cells) X(parsed_layers) X(layer_map) X(reverse_layer_map) X(cell_index_map)

int parse_gds_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    ParseGDS* p = nb::inst_ptr<ParseGDS>(self);
#define X(member) Py_VISIT(p->member.ptr());
    CORVANE_PARSE_GDS_MEMBERS(X)
#undef X
    return 0;
}

int parse_gds_clear(PyObject* self) {
    ParseGDS* p = nb::inst_ptr<ParseGDS>(self);
#define X(member) p->member = nb::none();
    CORVANE_PARSE_GDS_MEMBERS(X)
#undef X
    return 0;
}

PyType_Slot parse_gds_slots[] = {{Py_tp_traverse, (void*)parse_gds_traverse},
                                 {Py_tp_clear, (void*)parse_gds_clear},
                                 {0, nullptr}};

}  // namespace

void bind_parse_gds(nb::module_& m) {
    nb::class_<ParseGDS>(m, "ParseGDS", nb::type_slots(parse_gds_slots),
                         "One KLayout layout with its layer table; carries the conversion to viewer data.")
        .def(nb::init<nb::object, nb::object, double, nb::object, nb::object>(), "layout"_a, "layers"_a,
             "z_scale"_a = 1.0, "curve_tolerance"_a.none() = 0.01, "exclude_layers"_a.none() = nb::none(),
             nb::sig("def __init__(self, layout: kdb.Layout, layers: dict[tuple[int, int], PdkLayer], "
                     "z_scale: float = 1.0, curve_tolerance: float | None = 0.01, "
                     "exclude_layers: list[str] | None = None) -> None"))
        .def("get_name", &ParseGDS::get_name, "layer_spec"_a,
             nb::sig("def get_name(self, layer_spec: LayerSpec) -> str"),
             "Layer name and pair, e.g. 'WG (1, 0)'; the pair alone for an unknown layer.")
        .def("get_zmin", &ParseGDS::get_zmin, "layer_spec"_a,
             nb::sig("def get_zmin(self, layer_spec: LayerSpec) -> float"), "Bottom of the layer times z_scale.")
        .def("get_height", &ParseGDS::get_height, "layer_spec"_a,
             nb::sig("def get_height(self, layer_spec: LayerSpec) -> float"), "Thickness of the layer times z_scale.")
        .def("get_color", &ParseGDS::get_color, "layer_spec"_a,
             nb::sig("def get_color(self, layer_spec: LayerSpec) -> WebColor"), "Colour of the layer ('#000000' if unknown).")
        .def("export_cells", &ParseGDS::export_cells, nb::kw_only(), "combine"_a = true,
             nb::sig("def export_cells(self, *, combine: bool = True) -> ParsedCells"),
             "Parse every top cell; combine the references unless combine is False.")
        .def("export_layers", &ParseGDS::export_layers, nb::kw_only(), "combine"_a = true,
             nb::sig("def export_layers(self, *, combine: bool = True) -> ParsedLayers"),
             "Per top cell and layer, the tree reduced to that layer; combined unless combine is False.")
        .def("extract_layers", &ParseGDS::extract_layers,
             "Map the layout's layer indices whose (layer, datatype) is in the layer table.")
        .def("extract_dpolygon", &ParseGDS::extract_dpolygon, "polygon"_a,
             nb::sig("def extract_dpolygon(self, polygon: kdb.Polygon) -> Polygon"),
             "Hull of a KLayout polygon in micrometres, simplified when curve_tolerance is set.")
        .def("parse_cells", &ParseGDS::parse_cells, "cell"_a,
             nb::sig("def parse_cells(self, cell: kdb.Cell) -> Cell"),
             "Parse a cell and its whole reference tree, filling the polygon pool.")
        .def("combine_references", &ParseGDS::combine_references, "output"_a.none(),
             nb::sig("def combine_references(self, output: Output) -> ParsedCells | ParsedLayers | None"),
             "Merge references to the same cell, composing placements relative to the top cell.")
        .def_rw("z_scale", &ParseGDS::z_scale)
        .def_rw("instance_index", &ParseGDS::instance_index)
        .def_rw("cell_combined", &ParseGDS::cell_combined)
        .def_rw("layer_combined", &ParseGDS::layer_combined);

    // Python-object state, with its type for editors and stubs.
    const std::pair<const char*, nb::object ParseGDS::*> members[] = {
        {"layout", &ParseGDS::layout},
        {"layers", &ParseGDS::layers},
        {"curve_tolerance", &ParseGDS::curve_tolerance},
        {"exclude_layers", &ParseGDS::exclude_layers},
        {"instances", &ParseGDS::instances},
        {"instance_mapping", &ParseGDS::instance_mapping},
        {"parsed_cells", &ParseGDS::parsed_cells},
        {"parsed_layers", &ParseGDS::parsed_layers},
        {"layer_map", &ParseGDS::layer_map},
        {"reverse_layer_map", &ParseGDS::reverse_layer_map},
        {"cell_index_map", &ParseGDS::cell_index_map},
    };
    const char* types[] = {"kdb.Layout", "dict[tuple[int, int], PdkLayer]", "float | None", "list[str] | None",
                           "Instances", "dict[tuple[int, int, int], int]", "ParsedCells | None",
                           "ParsedLayers | None", "LayerMap", "ReverseLayerMap", "dict[int, kdb.Cell]"};
    nb::handle cls = m.attr("ParseGDS");
    for (size_t k = 0; k < std::size(members); ++k) {
        auto member = members[k].second;
        const std::string name = members[k].first, type = types[k];
        nb::object getter = nb::cpp_function([member](const ParseGDS& p) { return p.*member; }, nb::is_method(),
                                             nb::sig(("def " + name + "(self) -> " + type).c_str()));
        nb::object setter = nb::cpp_function([member](ParseGDS& p, nb::object v) { p.*member = std::move(v); },
                                             nb::is_method(), nb::arg("value").none(),
                                             nb::sig(("def " + name + "(self, value: " + type + ") -> None").c_str()));
        cls.attr(name.c_str()) = nb::module_::import_("builtins").attr("property")(getter, setter);
    }
}

}  // namespace lumino
