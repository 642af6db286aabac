// The Python edge of the exact simplifier: the installed GEOS version, and
// private hooks that run the core on numpy data (tests and benchmarks
// compare them with shapely).  Inputs are copied into C++ buffers before the
// interpreter lock is released, so nothing below reads Python-owned memory.
#include "lumino/py/simplify/simplify_py.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/layout_file.hpp"
#include "lumino/core/simplify/presimplify.hpp"
#include "lumino/py/read/direct_py.hpp"
#include "lumino/py/edge.hpp"

namespace lumino {

using namespace nb::literals;
namespace sp = simplify;

namespace {

// A tuple (major, minor, patch) of ints, or nothing.
std::optional<sp::GeosVersion> version_of_tuple(nb::handle t) {
    if (!PyTuple_Check(t.ptr()) || PyTuple_GET_SIZE(t.ptr()) != 3) return std::nullopt;
    int v[3];
    for (Py_ssize_t k = 0; k < 3; ++k) {
        PyObject* item = PyTuple_GET_ITEM(t.ptr(), k);
        if (!PyLong_Check(item)) return std::nullopt;
        const long x = PyLong_AsLong(item);
        if (x == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        if (x < 0 || x > 1000000) return std::nullopt;
        v[k] = int(x);
    }
    return sp::GeosVersion{v[0], v[1], v[2]};
}

// A folder's identity and last change (a file added, removed or renamed in
// it changes its modification time), or "-" where it cannot be read.
std::string folder_state(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "-";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) +
           "." + std::to_string(st.st_mtim.tv_nsec);
}

// What decides where the import system finds a package: the finders of
// sys.meta_path and sys.path_hooks, and each entry of sys.path with its
// folder's state.  Nothing where an entry is not a text (a finder of its
// own may then decide anything) or the current folder cannot be told.
std::optional<std::string> import_state() {
    try {
        nb::module_ sys = nb::module_::import_("sys");
        std::string out;
        for (const char* list : {"meta_path", "path_hooks"}) {
            for (nb::handle finder : snapshot(sys.attr(list)))
                out += std::to_string(reinterpret_cast<uintptr_t>(finder.ptr())) + ',';
            out += '\n';
        }
        std::string cwd;
        for (nb::handle entry : snapshot(sys.attr("path"))) {
            if (!PyUnicode_CheckExact(entry.ptr())) return std::nullopt;
            std::string path = nb::cast<std::string>(entry);
            if (path.empty()) {
                if (cwd.empty()) {
                    std::error_code ec;
                    cwd = std::filesystem::current_path(ec).string();
                    if (ec || cwd.empty()) return std::nullopt;
                }
                path = cwd;
            }
            out += path + '\0' + folder_state(path) + '\n';
        }
        return out;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (nb::cast_error&) {
    }
    return std::nullopt;
}

// The folder holding shapely's package, as the import system finds it.
std::optional<std::string> search_shapely_folder() {
    try {
        nb::object spec = nb::module_::import_("importlib.util").attr("find_spec")("shapely");
        if (spec.is_none()) return std::nullopt;
        nb::object where = spec.attr("submodule_search_locations");
        if (where.is_none()) return std::nullopt;
        for (nb::handle w : where)
            if (PyUnicode_Check(w.ptr())) return nb::cast<std::string>(w);
    } catch (nb::python_error& e) {
        // A broken or odd installation: shapely itself will have the say.
        // KeyboardInterrupt and the like go on.
        if (!e.matches(PyExc_Exception)) throw;
    } catch (nb::cast_error&) {
    }
    return std::nullopt;
}

// search_shapely_folder(), kept while what decides it stays as it was
// (import_state()): the search costs more than a small layout's message.
std::optional<std::string> shapely_folder() {
    static std::optional<std::string> kept_state, kept_answer;
    std::optional<std::string> state = import_state();
    if (state && kept_state == state) return kept_answer;
    kept_state.reset();
    std::optional<std::string> answer = search_shapely_folder();
    if (state) kept_state = std::move(state), kept_answer = answer;
    return answer;
}

sp::Rules rules_of_call(nb::handle geos) {
    std::optional<sp::GeosVersion> v;
    if (geos.is_none()) {
        v = installed_geos_version();
        if (!v) corvane::raise(PyExc_RuntimeError, "the installed GEOS version cannot be told");
    } else {
        v = version_of_tuple(geos);
        if (!v) corvane::wrong_type("geos", "a tuple of three ints", geos);
    }
    const std::optional<sp::Rules> f = sp::rules_for(*v);
    if (!f)
        corvane::raise(PyExc_ValueError, "GEOS " + std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
                                             std::to_string(v->patch) + " is not a verified version");
    return *f;
}

template <class T>
nb::object numpy_of(std::vector<T>&& values, std::initializer_list<size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(owned->data(), shape.size(), shape.begin(), owner).cast();
}

using Doubles = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Offsets = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A copy of an array of points: (n, 2) or flat x0, y0, x1, y1, ...
std::vector<double> points_of(const Doubles& a, const char* what) {
    const bool flat = a.ndim() == 1 && a.shape(0) % 2 == 0;
    const bool pairs = a.ndim() == 2 && a.shape(1) == 2;
    if (!flat && !pairs) corvane::raise(PyExc_ValueError, std::string(what) + " must hold (x, y) pairs");
    return std::vector<double>(a.data(), a.data() + a.size());
}

// Starts threads, but fails from the given start on (never when negative).
sp::ThreadStarter starter_failing_after(int fail_thread_starts_after) {
    if (fail_thread_starts_after < 0) return sp::start_std_thread;
    auto started = std::make_shared<int>(0);
    return [started, fail_thread_starts_after](std::function<void()> work) {
        if ((*started)++ >= fail_thread_starts_after)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(work));
    };
}

// The outlines a presimplifier makes while the core's reader reads `path`:
// {(cell, layer position, shape): (n, 2) float64 array}.
nb::dict presimplified_py(const std::string& path, double tolerance, unsigned workers, nb::handle geos,
                          int fail_thread_starts_after, size_t worker_points) {
    const sp::Rules rules = rules_of_call(geos);
    core::GdsReadOptions options;
    options.klayout_version = installed_klayout_version();
    options.libraries = registered_libraries();
    core::Layout layout;
    core::Presimplifier made(tolerance, rules, workers, starter_failing_after(fail_thread_starts_after), worker_points);
    options.cells = &made;
    std::string reason;
    {
        nb::gil_scoped_release unlocked;
        if (core::read_layout_file(path, options, layout, reason)) made.finish();
    }
    if (!reason.empty()) corvane::raise(PyExc_ValueError, "the reader declines: " + reason);
    nb::dict out;
    for (uint32_t ci = 0; ci < layout.cells.size(); ++ci) {
        const core::Cell& cell = layout.cells[ci];
        for (size_t at = 0; at < cell.shapes.size(); ++at) {
            core::Presimplifier::Cursor c = made.cursor(ci, at);
            for (size_t k = 0; k < cell.shapes[at].size(); ++k) {
                if (!cell.shapes[at].polygon[k]) continue;
                if (core::Outline* o = c.take(k)) {
                    const size_t points = o->size() / 2;
                    out[nb::make_tuple(ci, at, k)] = numpy_of(std::move(*o), {points, 2});
                }
            }
        }
    }
    return out;
}

nb::tuple simplify_outlines_py(const Doubles& coords, const Offsets& offsets, double tolerance, unsigned threads,
                               nb::handle geos, int fail_thread_starts_after, bool in_place) {
    const sp::Rules rules = rules_of_call(geos);
    const std::vector<double> xy = points_of(coords, "coords");
    const size_t points = xy.size() / 2;
    if (offsets.shape(0) < 1) corvane::raise(PyExc_ValueError, "offsets must have at least one entry");
    std::vector<size_t> offs(offsets.shape(0));
    for (size_t k = 0; k < offs.size(); ++k) {
        const int64_t v = offsets(k);
        if (v < 0 || size_t(v) > points || (k > 0 && size_t(v) < offs[k - 1]))
            corvane::raise(PyExc_ValueError, "offsets must rise from 0 to at most the number of points");
        offs[k] = size_t(v);
    }

    const sp::ThreadStarter starter = starter_failing_after(fail_thread_starts_after);
    sp::OutlinesOut out;
    {
        nb::gil_scoped_release unlocked;
        if (!in_place) {
            out = sp::simplify_outlines({xy, offs}, tolerance, rules, threads, starter);
        } else {  // the road of a parse: outlines as vectors, simplified where they are
            std::vector<std::vector<double>> each(offs.size() - 1);
            for (size_t k = 0; k + 1 < offs.size(); ++k)
                each[k].assign(xy.begin() + 2 * offs[k], xy.begin() + 2 * offs[k + 1]);
            const std::vector<size_t> not_handled = sp::simplify_each(each, tolerance, rules, threads, starter);
            out.offsets.assign(1, 0);
            out.status.assign(each.size(), sp::Status::simplified);
            for (size_t k : not_handled) out.status[k] = sp::Status::not_handled;
            for (size_t k = 0; k < each.size(); ++k) {
                out.xy.insert(out.xy.end(), each[k].begin(), each[k].end());
                out.offsets.push_back(out.xy.size() / 2);
            }
        }
    }
    std::vector<int64_t> out_offsets(out.offsets.begin(), out.offsets.end());
    std::vector<uint8_t> status(out.status.size());
    for (size_t k = 0; k < status.size(); ++k) status[k] = uint8_t(out.status[k]);
    const size_t n = out.xy.size() / 2, m = out_offsets.size(), s = status.size();
    return nb::make_tuple(numpy_of(std::move(out.xy), {n, 2}), numpy_of(std::move(out_offsets), {m}),
                          numpy_of(std::move(status), {s}));
}

// The monotone chains' search over one polyline, for tests (see
// simplify::chain_search).
std::vector<std::vector<uint32_t>> chain_search_py(const Doubles& coords, const std::vector<uint32_t>& gone,
                                                   const Doubles& queries, const std::vector<uint32_t>& nears) {
    const std::vector<double> xy = points_of(coords, "coords");
    const std::vector<double> q(queries.data(), queries.data() + queries.size());
    const size_t segments = xy.size() / 2 > 0 ? xy.size() / 2 - 1 : 0;
    if (q.size() != 4 * nears.size())
        corvane::raise(PyExc_ValueError, "queries must be boxes (minx, maxx, miny, maxy), one near segment each");
    if (segments == 0 || segments >= UINT32_MAX / 2)
        corvane::raise(PyExc_ValueError, "coords must hold 2 or more points");
    if (gone.size() % 2 != 0) corvane::raise(PyExc_ValueError, "gone must hold (from, to) pairs");
    for (size_t k = 0; k < gone.size(); k += 2)
        if (gone[k] > gone[k + 1] || gone[k + 1] > segments || (k > 0 && gone[k] < gone[k - 1]))
            corvane::raise(PyExc_ValueError, "gone must hold ascending, disjoint ranges of segments");
    return sp::chain_search(xy, gone, q, nears);
}

nb::tuple simplify_polygon_py(nb::handle rings, double tolerance, nb::handle geos) {
    const sp::Rules rules = rules_of_call(geos);
    std::vector<std::vector<double>> copies;
    for (nb::handle ring : rings) copies.push_back(points_of(nb::cast<Doubles>(ring), "each ring"));
    std::vector<std::span<const double>> views(copies.begin(), copies.end());
    std::vector<std::vector<double>> out;
    sp::Status status;
    {
        nb::gil_scoped_release unlocked;
        status = sp::simplify_polygon(sp::PolygonIn{views}, tolerance, rules, out);
    }
    nb::list result;
    for (std::vector<double>& r : out) {
        const size_t n = r.size() / 2;
        result.append(numpy_of(std::move(r), {n, 2}));
    }
    return nb::make_tuple(int(status), result);
}

}  // namespace

std::optional<sp::GeosVersion> installed_geos_version() {
    // shapely imported already: its own word.
    if (PyObject* found = PyDict_GetItemString(PyImport_GetModuleDict(), "shapely")) {
        const nb::object shapely = nb::borrow(found);  // held while its attribute is read
        if (PyObject* v = PyObject_GetAttrString(shapely.ptr(), "geos_version")) {
            const nb::object owned = nb::steal(v);
            if (std::optional<sp::GeosVersion> version = version_of_tuple(owned)) return version;
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            throw nb::python_error();  // KeyboardInterrupt and the like go on
        }
    }
    // Otherwise the bundled library beside the package: exactly one.
    const std::optional<std::string> folder = shapely_folder();
    if (!folder) return std::nullopt;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path package(*folder);
    std::optional<sp::GeosVersion> found;
    int count = 0;
    for (const fs::path& libs : {package.parent_path() / "shapely.libs", package / ".dylibs"}) {
        for (fs::directory_iterator it(libs, ec), end; !ec && it != end; it.increment(ec)) {
            if (const auto v = sp::geos_version_of_library(it->path().filename().string())) {
                found = v;
                ++count;
            }
        }
        ec.clear();
    }
    return count == 1 ? found : std::nullopt;
}

std::optional<sp::Rules> installed_geos_rules() {
    const std::optional<sp::GeosVersion> v = installed_geos_version();
    return v ? sp::rules_for(*v) : std::nullopt;
}

void bind_simplify(nb::module_& m) {
    m.def(
        "_geos_version",
        []() -> std::optional<std::tuple<int, int, int>> {
            const auto v = installed_geos_version();
            if (!v) return std::nullopt;
            return std::make_tuple(v->major, v->minor, v->patch);
        },
        nb::sig("def _geos_version() -> tuple[int, int, int] | None"),
        "The GEOS version shapely would use, found without importing shapely; None when unknown.");

    m.def(
        "_verified_geos",
        []() {
            std::vector<std::tuple<int, int, int>> out;
            for (const sp::VerifiedGeos& v : sp::verified_geos())
                out.emplace_back(v.version.major, v.version.minor, v.version.patch);
            return out;
        },
        nb::sig("def _verified_geos() -> list[tuple[int, int, int]]"),
        "The GEOS versions the C++ simplifier reproduces bit for bit on this platform.");

    m.def("_simplify_outlines", &simplify_outlines_py, "coords"_a, "offsets"_a, "tolerance"_a, "threads"_a = 0u,
          "geos"_a.none() = nb::none(), "fail_thread_starts_after"_a = -1, "in_place"_a = false,
          nb::sig("def _simplify_outlines(coords: numpy.ndarray, offsets: numpy.ndarray, tolerance: float, "
                  "threads: int = 0, geos: tuple[int, int, int] | None = None, "
                  "fail_thread_starts_after: int = -1, in_place: bool = False) "
                  "-> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
          "Simplify shells as shapely.simplify(Polygon(shell), tolerance, preserve_topology=True) does with the "
          "given (default: the installed) GEOS.  coords: float64 (n, 2); offsets: int64 point offsets, one more "
          "than outlines.  Returns (coords, offsets, status): status 0 simplified (points without the closing "
          "one), 1 keep the input (no polygon), 2 not handled (ask shapely).  threads=0: one per core; "
          "fail_thread_starts_after=k makes thread starts after the k-th fail, as when none can be had; "
          "in_place=True takes the road of a parse: every outline's points afterwards (simplified, or kept as "
          "they were), status 0, or 2 where not handled.");

    m.def("_presimplified", &presimplified_py, "path"_a, "tolerance"_a, "workers"_a, nb::kw_only(),
          "geos"_a.none() = nb::none(), "fail_thread_starts_after"_a = -1,
          "worker_points"_a = core::Presimplifier::kWorkerPoints,
          nb::sig("def _presimplified(path: str, tolerance: float, workers: int, *, "
                  "geos: tuple[int, int, int] | None = None, fail_thread_starts_after: int = -1, "
                  "worker_points: int = 2048) -> dict[tuple[int, int, int], numpy.ndarray]"),
          "The outlines simplified while the core's reader reads `path` with up to `workers` threads besides "
          "the reading one, each started once `worker_points` points wait: {(cell, layer position, shape): "
          "(n, 2) array} (a test hook).  ValueError where the reader declines.");

    m.def("_chain_search", &chain_search_py, "coords"_a, "gone"_a, "queries"_a, "nears"_a,
          nb::sig("def _chain_search(coords: numpy.ndarray, gone: list[int], queries: numpy.ndarray, "
                  "nears: list[int]) -> list[list[int]]"),
          "For tests: the segments of the polyline coords that the simplifier's monotone-chain search hands "
          "each query box (minx, maxx, miny, maxy), in turn, starting near segment nears[k], once the segments "
          "[gone[2i], gone[2i + 1]) are gone.");

    m.def("_simplify_polygon", &simplify_polygon_py, "rings"_a, "tolerance"_a, "geos"_a.none() = nb::none(),
          nb::sig("def _simplify_polygon(rings: list[numpy.ndarray], tolerance: float, "
                  "geos: tuple[int, int, int] | None = None) -> tuple[int, list[numpy.ndarray]]"),
          "Simplify one polygon (shell, then holes) as _simplify_outlines does a shell; returns (status, rings).");
}

}  // namespace lumino
