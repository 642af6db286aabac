// Topology-preserving simplification of polygon outlines that makes exactly
// the decisions of GEOS's TopologyPreservingSimplifier, as shapely calls it:
// shapely.simplify(Polygon(shell, holes), tolerance, preserve_topology=True).
// The same Douglas-Peucker recursion, the same distance, orientation and
// intersection arithmetic, the same ring rules (at least four points, the
// ring's start point removed last when it can go), the same bookkeeping of
// which segments the intersection checks see.  The output coordinates are
// bit for bit GEOS's, for the GEOS releases listed in verified_geos().
//
// What it cannot promise identity for it reports as not handled, for the
// caller to send to shapely: non-finite coordinates, magnitudes beyond
// 2^500 or below 2^-500 (other than zero), and the rare layout in which
// GEOS's quadtree might miss or keep a flat segment that an exact index
// finds (see simplify.cpp).  No Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

namespace lumino::simplify {

// The two variants of the orientation filter GEOS has shipped: up to 3.13 an
// error bound of 1e-15 times |detleft| + |detright|, decided on the signs of
// the two products; from 3.14 a bound of 3.33e-16 times |detleft + detright|.
enum class Filter { sum_of_magnitudes, magnitude_of_sum };

struct GeosVersion {
    int major = 0, minor = 0, patch = 0;
    friend bool operator==(const GeosVersion&, const GeosVersion&) = default;
};

// What differs between the GEOS releases this simplifier reproduces.
struct Rules {
    Filter filter = Filter::magnitude_of_sum;
    // From 3.12: the ring's start point may go last; a flat segment may not
    // pass on the wrong side of another ring's point; a flat segment equal
    // to a kept one counts as crossing it.
    bool ring_start = true;
    bool component_jumps = true;
    bool equal_segments_cross = true;
};

// A GEOS release this simplifier was compared with, bit for bit.
struct VerifiedGeos {
    GeosVersion version;
    Rules rules;
};

// The verified releases, as shapely's Linux x86-64 wheels bundle them.
// Elsewhere the list is empty: GEOS built for other processors or by other
// compilers may fuse multiplications and additions, which this code never
// does, and nothing else was compared.
std::span<const VerifiedGeos> verified_geos();

// The rules of a verified release, or nothing.
std::optional<Rules> rules_for(const GeosVersion& version);

// The version in the file name of a GEOS library as shapely's wheels bundle
// it ("libgeos-d1e818bb.so.3.14.1", "libgeos.3.14.1.dylib"); nothing for any
// other name (the C API library "libgeos_c..." included).
std::optional<GeosVersion> geos_version_of_library(std::string_view file_name);

enum class Status : uint8_t {
    simplified = 0,   // the result is GEOS's polygon; its rings are returned
    keep = 1,         // GEOS gives no polygon (or raises): keep the input
    not_handled = 2,  // identity not promised: ask shapely
};

// One polygon: rings[0] is the shell, the rest are holes; each ring is
// x0, y0, x1, y1, ... and closed here as shapely closes it: the first point
// appended when it is not also the last, or when there are just three.
struct PolygonIn {
    std::span<const std::span<const double>> rings;
};

// Simplifies one polygon.  On `simplified`, `out` receives one entry per
// ring of GEOS's result, each without its closing point.  `out` is
// cleared first.
Status simplify_polygon(PolygonIn polygon, double tolerance, const Rules& rules, std::vector<std::vector<double>>& out);

// A batch of shells (no holes): outline k is xy[2 * offsets[k] ..
// 2 * offsets[k + 1]).
struct OutlinesIn {
    std::span<const double> xy;
    std::span<const size_t> offsets;  // outlines + 1 entries, in points
};

// The simplified outlines, in input order: outline k has status[k]; its
// points (without closing point) are xy[2 * offsets[k] .. 2 * offsets[k + 1])
// when simplified, and none otherwise.
struct OutlinesOut {
    std::vector<double> xy;
    std::vector<size_t> offsets;
    std::vector<Status> status;
};

// Starts `work` on a new thread, or throws std::system_error when it cannot
// (as std::thread's constructor does).  Tests substitute their own to see
// the fallback.
using ThreadStarter = std::function<std::thread(std::function<void()> work)>;

std::thread start_std_thread(std::function<void()> work);

// Simplifies a batch of shells on up to `threads` threads (0: one per
// core), the calling thread included.  The threads take blocks of
// consecutive outlines in turn; a thread that cannot start leaves its share
// to the others.  The result is the one-thread result.  Throws only
// std::bad_alloc.
OutlinesOut simplify_outlines(const OutlinesIn& in, double tolerance, const Rules& rules, unsigned threads = 0,
                              const ThreadStarter& starter = start_std_thread);

// Simplifies every outline in place (x0, y0, x1, y1, ... without closing
// point, shells only), threaded as simplify_outlines: a simplified outline
// is replaced by GEOS's ring without its closing point, one GEOS gives no
// polygon for keeps its points, and the positions of those not handled (to
// go to shapely) are returned in increasing order.  Throws only
// std::bad_alloc (the outlines are then partly simplified).
std::vector<size_t> simplify_each(std::vector<std::vector<double>>& outlines, double tolerance, const Rules& rules,
                                  unsigned threads = 0, const ThreadStarter& starter = start_std_thread);

// simplify_each for one outline at a time on the calling thread, keeping
// the working memory from one outline to the next.
class EachSimplifier {
  public:
    EachSimplifier();
    ~EachSimplifier();
    EachSimplifier(const EachSimplifier&) = delete;
    EachSimplifier& operator=(const EachSimplifier&) = delete;

    // The outline as simplify_each leaves it, and its status (not_handled:
    // unchanged, for shapely).  Throws only std::bad_alloc.
    Status run(std::vector<double>& outline, double tolerance, const Rules& rules);

  private:
    struct Scratch;
    std::unique_ptr<Scratch> s_;
};

// For tests of the spatial search: over the polyline of points xy (x0, y0,
// x1, y1, ...), once the segments [gone[2i], gone[2i + 1]) are gone, the
// segments the monotone chains hand each query box k (queries[4k .. 4k + 3]:
// minx, maxx, miny, maxy), searched in turn and starting near segment
// nears[k].  Every segment whose box meets the query must be among them.
std::vector<std::vector<uint32_t>> chain_search(std::span<const double> xy, std::span<const uint32_t> gone,
                                                std::span<const double> queries, std::span<const uint32_t> nears);

}  // namespace lumino::simplify
