// Outlines simplified with shapely's vectorised functions, in one batch per
// thread.
#include "lumino/py/simplify/shapely_simplify.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace lumino {

using namespace nb::literals;
using core::Outline;

namespace {

// The Python objects one simplification uses, looked up once.
struct Shapely {
    nb::module_ shapely = nb::module_::import_("shapely");
    nb::object np = corvane::module_attr("np");
    nb::object geos_error;  // shapely.errors.GEOSException, on first need
};

// Simplify outlines with shapely in one batch.  An outline that cannot be
// simplified into a non-empty polygon (collapse, GEOS failure) keeps its
// points.
void simplify_batch(Shapely& s, std::vector<Outline>& outlines, double tolerance) {
    if (outlines.empty()) return;
    auto coords = std::make_unique<std::vector<double>>();
    auto rings = std::make_unique<std::vector<int64_t>>(1, 0);
    auto geoms = std::make_unique<std::vector<int64_t>>(1, 0);
    for (const Outline& o : outlines) {
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

    nb::object& np = s.np;
    nb::object polys = s.shapely.attr("from_ragged_array")(s.shapely.attr("GeometryType").attr("POLYGON"), c_arr,
                                                            nb::make_tuple(r_arr, g_arr));
    nb::object simp = s.shapely.attr("simplify")(polys, nb::float_(tolerance), "preserve_topology"_a = true);
    if (PyObject_Length(simp.ptr()) != Py_ssize_t(outlines.size()))
        corvane::raise(PyExc_RuntimeError, "shapely.simplify did not return one outline per outline");
    nb::object ok = np.attr("logical_and")(np.attr("equal")(s.shapely.attr("get_type_id")(simp), 3),
                                           np.attr("logical_not")(s.shapely.attr("is_empty")(simp)));
    nb::object ok_idx = np.attr("flatnonzero")(ok).attr("astype")("int64");
    auto idx = nb::cast<nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig>>(ok_idx);
    if (idx.shape(0) == 0) return;
    nb::object sub = simp[ok_idx];
    nb::tuple ragged = nb::cast<nb::tuple>(s.shapely.attr("to_ragged_array")(sub));
    nb::object out_c = np.attr("ascontiguousarray")(ragged[1], "dtype"_a = "float64");
    nb::tuple offs = nb::cast<nb::tuple>(ragged[2]);
    nb::object out_r = np.attr("ascontiguousarray")(offs[0], "dtype"_a = "int64");
    nb::object out_g = np.attr("ascontiguousarray")(offs[1], "dtype"_a = "int64");
    auto oc = nb::cast<nb::ndarray<const double, nb::ndim<2>, nb::c_contig>>(out_c);
    auto orr = nb::cast<nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig>>(out_r);
    auto og = nb::cast<nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig>>(out_g);
    const size_t n_ok = idx.shape(0), n_rings = orr.shape(0), n_points = oc.shape(0);
    if (og.shape(0) < n_ok + 1 || oc.shape(1) != 2)
        corvane::raise(PyExc_RuntimeError, "shapely.to_ragged_array gave offsets that do not fit");
    for (size_t g = 0; g < n_ok; ++g) {
        const int64_t ring = og(g), which = idx(g);
        if (ring < 0 || size_t(ring) + 1 >= n_rings || which < 0 || size_t(which) >= outlines.size())
            corvane::raise(PyExc_RuntimeError, "shapely.to_ragged_array gave offsets that do not fit");
        int64_t a = orr(size_t(ring)), b = orr(size_t(ring) + 1);
        if (a < 0 || b < a || size_t(b) > n_points)
            corvane::raise(PyExc_RuntimeError, "shapely.to_ragged_array gave offsets that do not fit");
        if (b - a >= 2 && oc(a, 0) == oc(b - 1, 0) && oc(a, 1) == oc(b - 1, 1)) --b;
        outlines[size_t(which)].assign(oc.data() + 2 * a, oc.data() + 2 * b);
    }
}

// Simplify outlines in one thread: one batch, or one by one when an outline
// breaks the batch (those that fail keep their points).
void simplify_serial(Shapely& s, std::vector<Outline>& outlines, double tolerance) {
    try {
        simplify_batch(s, outlines, tolerance);
        return;
    } catch (nb::python_error& e) {
        if (!s.geos_error.is_valid()) s.geos_error = nb::module_::import_("shapely.errors").attr("GEOSException");
        if (!e.matches(s.geos_error)) throw;
    }
    for (Outline& o : outlines) {
        std::vector<Outline> one{o};
        try {
            simplify_batch(s, one, tolerance);
            o = std::move(one[0]);
        } catch (nb::python_error& e) {
            if (!e.matches(s.geos_error)) throw;
        }
    }
}

// Below this many points one thread does it all: starting others costs more.
constexpr size_t kPointsPerThread = 20000;

void simplify(Shapely& s, std::vector<Outline>& outlines, double tolerance) {
    // Each outline is simplified on its own, so the outlines split into
    // consecutive chunks of about equal point counts, one per thread.
    size_t points = 0;
    for (const Outline& o : outlines) points += o.size() / 2;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t threads =
        std::min({cores, size_t(4), std::max<size_t>(1, points / kPointsPerThread), outlines.size()});
    if (threads <= 1) {
        simplify_serial(s, outlines, tolerance);
        return;
    }
    std::vector<std::vector<Outline>> chunks(threads);
    size_t k = 0, taken = 0;
    for (size_t c = 0; c < threads; ++c) {
        const size_t goal = points * (c + 1) / threads;
        while (k < outlines.size() && (taken < goal || c + 1 == threads)) {
            taken += outlines[k].size() / 2;
            chunks[c].push_back(std::move(outlines[k++]));
        }
    }
    std::vector<std::exception_ptr> errors(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    for (size_t c = 1; c < threads; ++c) {
        try {
            workers.emplace_back([&, c] {
                nb::gil_scoped_acquire acquire;
                try {
                    simplify_serial(s, chunks[c], tolerance);
                } catch (...) {
                    errors[c] = std::current_exception();
                }
            });
        } catch (...) {
            // No thread (std::system_error: limits of a container or CI):
            // the rest is done here; the threads started are joined below.
            break;
        }
    }
    const size_t started = workers.size();
    for (size_t c = 0; c < threads; ++c) {
        if (c != 0 && c <= started) continue;
        try {
            simplify_serial(s, chunks[c], tolerance);
        } catch (...) {
            errors[c] = std::current_exception();
            break;
        }
    }
    {
        nb::gil_scoped_release release;
        for (std::thread& w : workers) w.join();
    }
    for (std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    k = 0;
    for (auto& chunk : chunks)
        for (Outline& o : chunk) outlines[k++] = std::move(o);
}

}  // namespace

core::Simplifier shapely_simplifier() {
    auto s = std::make_shared<Shapely>();
    return [s](std::vector<Outline>& outlines, double tolerance) { simplify(*s, outlines, tolerance); };
}

}  // namespace lumino
