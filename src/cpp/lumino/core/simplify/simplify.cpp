// Topology-preserving simplification with GEOS's decisions (see
// simplify.hpp).  How GEOS works, and what is reproduced here:
//
// - Every ring of the polygon (shell, then holes) is simplified in turn by a
//   Douglas-Peucker recursion over its closed point list.  A section i..j
//   is replaced by the segment p[i]-p[j] when its furthest point (the first
//   of equal ones) lies within the tolerance, the ring keeps enough points
//   (a ring needs 4: while it has fewer results, a section at recursion
//   depth d may only be flattened if d + 1 >= 4), and the flat segment
//   changes no topology.  Otherwise both halves are simplified, left first.
// - Topology: the flat segment must not meet a segment of the output index
//   (the flat segments made so far) or of the input index (the original
//   segments not yet flattened, of every ring, the section's own excepted)
//   at a point that is not an endpoint of both, nor be equal to one; and no
//   other ring's "component point" may change sides (ray-crossing parity).
// - Last, the ring's start point goes when the segment from the last result
//   point to the second one passes within the tolerance of it, under the
//   same checks (skipped when the three points are collinear).
// - GEOS 3.11 has neither the start point rule nor the other rings' points
//   check, and lets a flat segment equal a kept one (Rules).
// - GEOS's indexes are quadtrees.  Here a grid finds candidates and each is
//   tested exactly, which returns the same segments GEOS's query returns,
//   with one exception: a quadtree pads a horizontal or vertical segment's
//   flat box by half its smallest extent seen so far, to one side only, so
//   that the padded box may end a rounding error short of the segment.  The
//   node holding it still reaches the next multiple of its size; where even
//   that cannot be shown to reach a query (or a removal) that the decision
//   depends on, the polygon is reported as not handled.
#include "lumino/core/simplify/simplify.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <system_error>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define LUMINO_AVX2 1
#endif

#include "lumino/core/simplify/robust.hpp"
#include "lumino/core/simplify/segment_grid.hpp"
#include "lumino/core/simplify/tracked_index.hpp"

namespace lumino::simplify {

namespace {

constexpr VerifiedGeos kVerified[] = {
    {{3, 11, 4}, {Filter::sum_of_magnitudes, false, false, false}},  // shapely 2.0.7
    {{3, 13, 1}, {Filter::sum_of_magnitudes, true, true, true}},     // shapely 2.1.0 to 2.1.2
    {{3, 14, 1}, {Filter::magnitude_of_sum, true, true, true}},      // shapely 2.2.0
};

// Whether every value is zero or of a magnitude in [2^-500, 2^500] (NaN is
// not): one pass without early exit.
bool in_domain(std::span<const double> values) {
    bool ok = true;
    size_t k = 0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), zero = _mm_setzero_pd(), low = _mm_set1_pd(0x1p-500),
                  high = _mm_set1_pd(0x1p500);
    __m128d all = _mm_castsi128_pd(_mm_set1_epi32(-1));
    for (; k + 2 <= values.size(); k += 2) {
        const __m128d a = _mm_andnot_pd(sign, _mm_loadu_pd(values.data() + k));
        all = _mm_and_pd(all, _mm_or_pd(_mm_cmpeq_pd(a, zero), _mm_and_pd(_mm_cmpge_pd(a, low), _mm_cmple_pd(a, high))));
    }
    ok = _mm_movemask_pd(all) == 3;
#endif
    for (; k < values.size(); ++k) {
        const double a = std::fabs(values[k]);
        ok &= (a == 0.0) | ((a >= 0x1p-500) & (a <= 0x1p500));
    }
    return ok;
}

struct ResultSeg {
    uint32_t a, b;  // points, by number
    int64_t out;    // its entry in the output index, or -1
};

struct Ring {
    uint32_t start = 0, n = 0;  // closed points in Workspace::pts_
    std::vector<ResultSeg> result;
};

constexpr size_t kMinRingSize = 4;
// Outlines of at most this many monotone chains are searched by their chains;
// others on a grid.  Below this many segments one cell (a scan) beats
// building a grid; above, a cell for every few segments (measured on the
// shared layouts).
constexpr size_t kChainsAtMost = 24;
constexpr size_t kScanBelow = 128;
constexpr size_t kSegmentsPerCell = 4;

// The state of one polygon's simplification; reused between polygons.
class Workspace {
  public:
    Status run(PolygonIn polygon, double tolerance, const Rules& rules, std::vector<std::vector<double>>* rings_out,
               std::vector<double>* shell_out);

  private:
    struct Frame {
        uint32_t i, j, depth;
    };

    size_t furthest_point(const Pt* p, size_t i, size_t j, double& distance);
    void simplify_ring(size_t r);
    void simplify_ring_end(size_t r);
    bool section_valid(size_t r, uint32_t i, uint32_t j);
    bool ends_valid(size_t r, const ResultSeg& first, const ResultSeg& last);
    void prepare();
    Pt component_point(size_t r) const {
        const Ring& g = rings_[r];
        return g.result.empty() ? pts_[g.start + 1] : pts_[g.result.front().a];
    }
    // Whether another ring's component point changes sides.
    template <class SectionParity>
    bool jumps(size_t r, const Box& env, const Pt& a, const Pt& b, SectionParity&& parity) const {
        for (size_t c = 0; c < ring_count_; ++c) {
            if (c == r) continue;
            const Pt cp = component_point(c);
            if (!(cp.x <= env.maxx && cp.x >= env.minx && cp.y <= env.maxy && cp.y >= env.miny)) continue;
            if (parity(cp) != ray_crossing(cp, a, b, filter_)) return true;
        }
        return false;
    }
    // Input segments skip_from <= id < skip_to (the section being
    // flattened) are passed over, and in both indexes the chains in `pass`.
    Found bad_in(uint32_t qa, uint32_t qb, const PointSpan& pass, uint32_t skip_from, uint32_t skip_to) {
        const Pt &q1 = pts_[qa], &q2 = pts_[qb];
        return input_.find(
            qa, qb,
            [&](TrackedIndex::Seg, const Pt& a, const Pt& b) {
                return invalid_intersection(a, b, q1, q2, filter_, rules_.equal_segments_cross);
            },
            skip_from < skip_to ? skip_from : UINT32_MAX, pass, skip_from, skip_to);
    }
    Found bad_out(uint32_t qa, uint32_t qb, const PointSpan& pass) {
        const Pt &q1 = pts_[qa], &q2 = pts_[qb];
        // The last flat segment made is mostly the one before.
        return output_.find(
            qa, qb,
            [&](TrackedIndex::Seg, const Pt& a, const Pt& b) {
                return invalid_intersection(a, b, q1, q2, filter_, rules_.equal_segments_cross);
            },
            output_.size() - 1, pass);
    }

    std::vector<Pt> pts_;
    std::vector<uint32_t> columns_, rows_;
    std::vector<Ring> rings_;
    size_t ring_count_ = 0;
    TrackedIndex input_, output_;
    GridShape shape_;
    Box bounds_{0, 0, 0, 0};
    size_t segments_ = 0;
    bool prepared_ = false;
    std::vector<Frame> stack_;
    std::vector<double> key_;
    std::vector<uint8_t> kind_;
    double tol_ = 0.0;
    Rules rules_;
    Filter filter_ = Filter::magnitude_of_sum;
};

Status Workspace::run(PolygonIn polygon, double tolerance, const Rules& rules, std::vector<std::vector<double>>* rings_out,
                      std::vector<double>* shell_out) {
    // shapely gives None for a NaN tolerance, GEOS raises for a negative one.
    if (std::isnan(tolerance) || tolerance < 0.0) return Status::keep;
    if (polygon.rings.empty()) return Status::keep;
    tol_ = tolerance;
    rules_ = rules;
    filter_ = rules.filter;
    pts_.clear();
    ring_count_ = polygon.rings.size();
    if (rings_.size() < ring_count_) rings_.resize(ring_count_);
    size_t segments = 0;
    for (size_t r = 0; r < ring_count_; ++r) {
        const std::span<const double> xy = polygon.rings[r];
        if (xy.size() % 2 != 0 || xy.size() / 2 + pts_.size() >= UINT32_MAX / 2) return Status::not_handled;
        if (!in_domain(xy)) return Status::not_handled;
        const size_t n = xy.size() / 2;
        Ring& g = rings_[r];
        g.result.clear();
        g.start = uint32_t(pts_.size());
        static_assert(sizeof(Pt) == 2 * sizeof(double) && std::is_trivially_copyable_v<Pt>);
        pts_.resize(g.start + n);  // Pt is two doubles, as the values lie
        if (n) std::memcpy(static_cast<void*>(pts_.data() + g.start), xy.data(), n * sizeof(Pt));
        // shapely closes a ring of exactly three points in any case.
        if (n == 3 || (n > 0 && !(pts_[g.start] == pts_.back()))) pts_.push_back(pts_[g.start]);
        g.n = uint32_t(pts_.size() - g.start);
        if (g.n == 0) return r == 0 ? Status::keep : Status::not_handled;  // an empty polygon; an empty hole
        if (g.n < kMinRingSize) return Status::keep;                        // no linear ring: shapely raises
        segments += g.n - 1;
    }
    segments_ = segments;
    prepared_ = false;
    input_.reset(pts_.data(), false);
    output_.reset(pts_.data(), true);
    try {
        for (size_t r = 0; r < ring_count_; ++r) {
            simplify_ring(r);
            if (rules_.ring_start) simplify_ring_end(r);
        }
    } catch (const Unsure&) {
        return Status::not_handled;
    }

    // GEOS's polygon: a ring of fewer than 4 points would make a line, and
    // the result a collection (kept for completeness: the minimum size rule
    // prevents it).
    for (size_t r = 0; r < ring_count_; ++r)
        if (rings_[r].result.size() + 1 < kMinRingSize) return Status::keep;
    auto emit = [&](const Ring& g, std::vector<double>& out) {
        out.clear();
        out.reserve(2 * g.result.size());
        for (const ResultSeg& s : g.result) out.insert(out.end(), {pts_[s.a].x, pts_[s.a].y});
    };
    if (shell_out) emit(rings_[0], *shell_out);
    if (rings_out) {
        rings_out->resize(ring_count_);
        for (size_t r = 0; r < ring_count_; ++r) emit(rings_[r], (*rings_out)[r]);
    }
    return Status::simplified;
}

// The input index, and for outlines of many chains the grid and every
// point's cell, on the first topology check: most small outlines need none.
// Neither index changes before it.
void Workspace::prepare() {
    if (prepared_) return;
    prepared_ = true;
    for (size_t r = 0; r < ring_count_; ++r) input_.add_chain(rings_[r].start, rings_[r].start + rings_[r].n - 1);
    if (input_.chain_count() <= kChainsAtMost) return;
    bounds_ = {pts_[0].x, pts_[0].x, pts_[0].y, pts_[0].y};
    for (const Pt& p : pts_) {
        bounds_.minx = std::min(bounds_.minx, p.x), bounds_.maxx = std::max(bounds_.maxx, p.x);
        bounds_.miny = std::min(bounds_.miny, p.y), bounds_.maxy = std::max(bounds_.maxy, p.y);
    }
    shape_.reset(bounds_, segments_ < kScanBelow ? 1 : segments_ / kSegmentsPerCell);
    columns_.resize(pts_.size());
    rows_.resize(pts_.size());
    for (size_t k = 0; k < pts_.size(); ++k) columns_[k] = shape_.column(pts_[k].x), rows_[k] = shape_.row(pts_[k].y);
    input_.prepare(shape_, columns_.data(), rows_.data());
    output_.prepare(shape_, columns_.data(), rows_.data());
}

// Whether the distance |cross| / len2 * sqrt(len2) of the largest cross
// product, and the quotient on the way, are far from the subnormal range:
// there a key 2^-40 smaller surely gives a smaller distance.
static bool clear_of_underflow(double cross, double len2) {
    const double q = cross / len2;
    return q >= 0x1p-960 && q * std::sqrt(len2) >= 0x1p-960;
}

#if defined(LUMINO_AVX2)
// The keys |cross| of q[0, n) against the segment from a (direction ex, ey),
// four points at a time, each lane with the scalar loop's operations; `inside`
// and `top` take in whether every dot product lay in [low, high] and the
// largest key.  Returns how many points were done.
__attribute__((target("avx2"))) size_t alongside_keys_avx2(const Pt* q, size_t n, Pt a, double ex, double ey,
                                                            double low, double high, double* key, bool& inside,
                                                            double& top) {
    const __m256d vax = _mm256_set1_pd(a.x), vay = _mm256_set1_pd(a.y), vex = _mm256_set1_pd(ex),
                  vey = _mm256_set1_pd(ey), vlow = _mm256_set1_pd(low), vhigh = _mm256_set1_pd(high),
                  sign = _mm256_set1_pd(-0.0);
    __m256d vtop = _mm256_set1_pd(-1.0), vin = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d p01 = _mm256_loadu_pd(&q[k].x), p23 = _mm256_loadu_pd(&q[k + 2].x);
        // Lanes hold points 0, 2, 1, 3.
        const __m256d qx = _mm256_unpacklo_pd(p01, p23), qy = _mm256_unpackhi_pd(p01, p23);
        const __m256d dot =
            _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(qx, vax), vex), _mm256_mul_pd(_mm256_sub_pd(qy, vay), vey));
        const __m256d cross =
            _mm256_sub_pd(_mm256_mul_pd(_mm256_sub_pd(vay, qy), vex), _mm256_mul_pd(_mm256_sub_pd(vax, qx), vey));
        const __m256d kk = _mm256_andnot_pd(sign, cross);
        const __m256d along =
            _mm256_and_pd(_mm256_cmp_pd(dot, vlow, _CMP_GE_OQ), _mm256_cmp_pd(dot, vhigh, _CMP_LE_OQ));
        vin = _mm256_and_pd(vin, along);
        vtop = _mm256_max_pd(vtop, kk);
        _mm256_storeu_pd(key + k, _mm256_permute4x64_pd(kk, 0xD8));  // points 0, 1, 2, 3
    }
    inside = inside && _mm256_movemask_pd(vin) == 15;
    alignas(32) double t[4];
    _mm256_store_pd(t, vtop);
    top = std::max({top, t[0], t[1], t[2], t[3]});
    return k;
}

const bool kAvx2 = __builtin_cpu_supports("avx2");
#endif

// Sections of at most this many inner points are scanned point by point.
constexpr size_t kDirectBelow = 2;

// The first point of p[i+1 .. j-1] furthest from the segment p[i]-p[j], and
// its distance (-1 when there is none): what a scan with
// segment_distance() finds, computed with less work.  Each point's distance
// is a non-decreasing function of a cheaper key within its kind (beyond
// either end: the squared distance to that end; alongside: the cross
// product); only the points whose key comes near the largest of their kind
// can be furthest, and only their exact distances are computed, in order.
size_t Workspace::furthest_point(const Pt* p, size_t i, size_t j, double& distance) {
    distance = -1.0;
    size_t at = i;
    const Pt a = p[i], b = p[j];
    const double ex = b.x - a.x, ey = b.y - a.y;
    const double len2 = ex * ex + ey * ey;
    const size_t n = j - i - 1;
    const double keep = 1.0 - 0x1p-40;
    if (key_.size() < n) key_.resize(n), kind_.resize(n);
    if (a == b && n > kDirectBelow) {  // a closed ring: the distance is sqrt(key), keys to a
        double top = -1.0;
        for (size_t k = 0; k < n; ++k) {
            const double dx = p[i + 1 + k].x - a.x, dy = p[i + 1 + k].y - a.y;
            const double key = dx * dx + dy * dy;
            top = key > top ? key : top;
            key_[k] = key;
        }
        const double threshold = top >= 0x1p-900 ? top * keep : -HUGE_VAL;
        for (size_t k = 0; k < n; ++k) {
            if (key_[k] < threshold) continue;
            const double d = segment_distance(p[i + 1 + k], a, b);
            if (d > distance) distance = d, at = i + 1 + k;
        }
        return at;
    }
    // Degenerate, tiny, or a few points: every distance, as GEOS does.
    if (a == b || !(len2 >= 0x1p-900) || n <= kDirectBelow) {
        for (size_t k = i + 1; k < j; ++k) {
            const double d = segment_distance(p[k], a, b);
            if (d > distance) distance = d, at = k;
        }
        return at;
    }
    enum : uint8_t { before_a = 0, after_b = 1, alongside = 2 };
    const double low = len2 * 0x1p-40, high = len2 - low, beyond = len2 + low;
    // Mostly every point lies alongside: one pass without branches.
    {
        bool inside = true;
        double top = -1.0;
        size_t k = 0;
#if defined(LUMINO_AVX2)
        if (kAvx2) k = alongside_keys_avx2(p + i + 1, n, a, ex, ey, low, high, key_.data(), inside, top);
#endif
#if defined(__SSE2__)
        // Two points at a time, each lane with the scalar loop's operations.
        const __m128d vax = _mm_set1_pd(a.x), vay = _mm_set1_pd(a.y), vex = _mm_set1_pd(ex),
                      vey = _mm_set1_pd(ey), vlow = _mm_set1_pd(low), vhigh = _mm_set1_pd(high),
                      sign = _mm_set1_pd(-0.0);
        __m128d vtop = _mm_set1_pd(-1.0), vin = _mm_castsi128_pd(_mm_set1_epi32(-1));
        for (; k + 2 <= n; k += 2) {
            const __m128d p0 = _mm_loadu_pd(&p[i + 1 + k].x), p1 = _mm_loadu_pd(&p[i + 2 + k].x);
            const __m128d qx = _mm_unpacklo_pd(p0, p1), qy = _mm_unpackhi_pd(p0, p1);
            const __m128d dot = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(qx, vax), vex), _mm_mul_pd(_mm_sub_pd(qy, vay), vey));
            const __m128d cross =
                _mm_sub_pd(_mm_mul_pd(_mm_sub_pd(vay, qy), vex), _mm_mul_pd(_mm_sub_pd(vax, qx), vey));
            const __m128d key = _mm_andnot_pd(sign, cross);
            vin = _mm_and_pd(vin, _mm_and_pd(_mm_cmpge_pd(dot, vlow), _mm_cmple_pd(dot, vhigh)));
            vtop = _mm_max_pd(vtop, key);
            _mm_storeu_pd(&key_[k], key);
        }
        inside = inside && _mm_movemask_pd(vin) == 3;
        top = std::max({top, _mm_cvtsd_f64(vtop), _mm_cvtsd_f64(_mm_unpackhi_pd(vtop, vtop))});
#endif
        for (; k < n; ++k) {
            const Pt& q = p[i + 1 + k];
            const double dot = (q.x - a.x) * ex + (q.y - a.y) * ey;
            const double key = std::fabs((a.y - q.y) * ex - (a.x - q.x) * ey);
            inside &= dot >= low && dot <= high;
            top = key > top ? key : top;
            key_[k] = key;
        }
        if (inside) {
            const double threshold = clear_of_underflow(top, len2) ? top * keep : -HUGE_VAL;
            auto exact = [&](size_t k) {
                const double d = segment_distance(p[i + 1 + k], a, b);
                if (d > distance) distance = d, at = i + 1 + k;
            };
            size_t k = 0;
#if defined(__SSE2__)
            // Pairs of keys both below the threshold are passed over at once.
            const __m128d vthreshold = _mm_set1_pd(threshold);
            for (; k + 2 <= n; k += 2) {
                const int near = _mm_movemask_pd(_mm_cmpnlt_pd(_mm_loadu_pd(&key_[k]), vthreshold));
                if (near == 0) continue;
                if (near & 1) exact(k);
                if (near & 2) exact(k + 1);
            }
#endif
            for (; k < n; ++k)
                if (!(key_[k] < threshold)) exact(k);
            return at;
        }
    }
    double top[3] = {-1.0, -1.0, -1.0};
    for (size_t k = 0; k < n; ++k) {
        const Pt& q = p[i + 1 + k];
        const double dot = (q.x - a.x) * ex + (q.y - a.y) * ey;
        uint8_t kind;
        if (dot <= 0.0) {
            kind = before_a;
        } else if (dot >= low && dot <= high) {
            kind = alongside;
        } else if (dot >= beyond) {
            kind = after_b;
        } else {  // the ratio could round across 0 or 1: decide as GEOS does
            const double r = dot / len2;
            kind = r <= 0.0 ? before_a : (r >= 1.0 ? after_b : alongside);
        }
        double key;
        if (kind == alongside) {
            key = std::fabs((a.y - q.y) * ex - (a.x - q.x) * ey);
        } else {
            const Pt& e = kind == before_a ? a : b;
            const double dx = q.x - e.x, dy = q.y - e.y;
            key = dx * dx + dy * dy;
        }
        key_[k] = key;
        kind_[k] = kind;
        if (key > top[kind]) top[kind] = key;
    }
    // A key this far below the largest of its kind gives a strictly smaller
    // distance; near underflow nothing is excluded.
    double threshold[3];
    for (int c = 0; c < 2; ++c) threshold[c] = top[c] >= 0x1p-900 ? top[c] * keep : -HUGE_VAL;
    threshold[alongside] = clear_of_underflow(top[alongside], len2) ? top[alongside] * keep : -HUGE_VAL;
    for (size_t k = 0; k < n; ++k) {
        if (key_[k] < threshold[kind_[k]]) continue;
        const double d = segment_distance(p[i + 1 + k], a, b);
        if (d > distance) distance = d, at = i + 1 + k;
    }
    return at;
}

// The Douglas-Peucker recursion over one ring, depth first, left first.
void Workspace::simplify_ring(size_t r) {
    Ring& g = rings_[r];
    const Pt* p = pts_.data() + g.start;
    const uint32_t s = g.start;
    stack_.clear();
    stack_.push_back({0, g.n - 1, 0});
    while (!stack_.empty()) {
        const Frame f = stack_.back();
        stack_.pop_back();
        const uint32_t i = f.i, j = f.j, depth = f.depth + 1;
        if (i + 1 == j) {  // a single segment stays (and stays in the input index)
            g.result.push_back({s + i, s + j, -1});
            continue;
        }
        bool valid = true;
        const size_t result_size = g.result.empty() ? 0 : g.result.size() + 1;
        if (result_size < kMinRingSize && depth + 1 < kMinRingSize) valid = false;

        double furthest;
        const auto at = uint32_t(furthest_point(p, i, j, furthest));
        if (furthest < 0.0) {  // no distance could be computed (not reached on finite input)
            for (uint32_t k = i; k < j; ++k) g.result.push_back({s + k, s + k + 1, -1});
            continue;
        }
        if (furthest > tol_) valid = false;
        if (valid) valid = section_valid(r, i, j);
        if (valid) {
            const uint32_t out = output_.add(s + i, s + j);
            // Original segment k of ring r is input entry s - r + k.
            input_.remove(uint32_t(s - r + i), uint32_t(s - r + j));
            g.result.push_back({s + i, s + j, out});
            continue;
        }
        stack_.push_back({at, j, depth});
        stack_.push_back({i, at, depth});
    }
}

bool Workspace::section_valid(size_t r, uint32_t i, uint32_t j) {
    prepare();
    const uint32_t s = rings_[r].start;
    // Original segment k of ring r is input entry s - r + k.
    const uint32_t from = s - uint32_t(r) + i, to = s - uint32_t(r) + j;
    // A section of one monotone chain cannot be crossed by the rest of it.
    const PointSpan own = pts_[s + i] == pts_[s + j] ? PointSpan{} : input_.chain_span(from, to);
    const Found out = bad_out(s + i, s + j, own);
    if (out == Found::surely) return false;
    const Found in = bad_in(s + i, s + j, own, from, to);
    if (in == Found::surely) return false;
    if (ring_count_ > 1 && rules_.component_jumps) {
        const Pt* p = pts_.data() + s;
        Box env{p[i].x, p[i].x, p[i].y, p[i].y};
        for (size_t k = i + 1; k <= j; ++k) {
            env.minx = std::min(env.minx, p[k].x), env.maxx = std::max(env.maxx, p[k].x);
            env.miny = std::min(env.miny, p[k].y), env.maxy = std::max(env.maxy, p[k].y);
        }
        auto parity = [&](const Pt& c) {
            int n = 0;
            for (size_t k = i; k < j; ++k) n += ray_crossing(c, p[k], p[k + 1], filter_);
            return n & 1;
        };
        if (jumps(r, env, p[i], p[j], parity)) return false;
    }
    if (out == Found::maybe || in == Found::maybe) throw Unsure{};
    return true;
}

bool Workspace::ends_valid(size_t r, const ResultSeg& first, const ResultSeg& last) {
    const Pt &a = pts_[last.a], &b = pts_[first.b];
    // Already flat: nothing changes.
    if (orientation(a, b, pts_[first.a], filter_) == 0) return true;
    prepare();
    const Found out = bad_out(last.a, first.b, {});
    if (out == Found::surely) return false;
    const Found in = bad_in(last.a, first.b, {}, 0, 0);
    if (in == Found::surely) return false;
    if (ring_count_ > 1) {
        const Pt f0 = pts_[first.a], f1 = pts_[first.b], l0 = pts_[last.a], l1 = pts_[last.b];
        Box env{f0.x, f0.x, f0.y, f0.y};
        for (const Pt& q : {f1, l0, l1}) {
            env.minx = std::min(env.minx, q.x), env.maxx = std::max(env.maxx, q.x);
            env.miny = std::min(env.miny, q.y), env.maxy = std::max(env.maxy, q.y);
        }
        auto parity = [&](const Pt& c) {
            return (ray_crossing(c, f0, f1, filter_) + ray_crossing(c, l0, l1, filter_)) & 1;
        };
        if (jumps(r, env, a, b, parity)) return false;
    }
    if (out == Found::maybe || in == Found::maybe) throw Unsure{};
    return true;
}

// Drops the ring's start point when the segment that bypasses it is within
// the tolerance and valid.
void Workspace::simplify_ring_end(size_t r) {
    Ring& g = rings_[r];
    if (g.result.size() + 1 <= kMinRingSize) return;
    ResultSeg& first = g.result.front();
    const ResultSeg last = g.result.back();
    if (!(segment_distance(pts_[first.a], pts_[last.a], pts_[first.b]) <= tol_ && ends_valid(r, first, last))) return;
    // Neither is an original segment, so only the output index may hold them.
    if (first.out >= 0) output_.remove(uint32_t(first.out), uint32_t(first.out) + 1);
    if (last.out >= 0) output_.remove(uint32_t(last.out), uint32_t(last.out) + 1);
    first.a = last.a;
    g.result.pop_back();
    first.out = output_.add(first.a, first.b);
}

}  // namespace

std::span<const VerifiedGeos> verified_geos() {
#if defined(__x86_64__) && defined(__linux__)
    return kVerified;
#else
    return {};
#endif
}

std::optional<Rules> rules_for(const GeosVersion& version) {
    for (const VerifiedGeos& v : verified_geos())
        if (v.version == version) return v.rules;
    return std::nullopt;
}

std::optional<GeosVersion> geos_version_of_library(std::string_view name) {
    // "libgeos" then "-<hash>.so.X.Y.Z" (Linux) or ".X.Y.Z.dylib" (macOS).
    constexpr std::string_view stem = "libgeos";
    if (name.substr(0, stem.size()) != stem) return std::nullopt;
    std::string_view rest = name.substr(stem.size());
    std::string_view digits;
    if (!rest.empty() && rest[0] == '-') {
        const size_t so = rest.find(".so.");
        if (so == std::string_view::npos) return std::nullopt;
        digits = rest.substr(so + 4);
    } else if (!rest.empty() && rest[0] == '.' && rest.size() > 6 && rest.substr(rest.size() - 6) == ".dylib") {
        digits = rest.substr(1, rest.size() - 7);
    } else {
        return std::nullopt;
    }
    int parts[3];
    for (int k = 0; k < 3; ++k) {
        if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
        int v = 0;
        size_t n = 0;
        while (n < digits.size() && digits[n] >= '0' && digits[n] <= '9' && n < 6) v = v * 10 + (digits[n++] - '0');
        parts[k] = v;
        digits.remove_prefix(n);
        if (k < 2) {
            if (digits.empty() || digits[0] != '.') return std::nullopt;
            digits.remove_prefix(1);
        }
    }
    if (!digits.empty()) return std::nullopt;
    return GeosVersion{parts[0], parts[1], parts[2]};
}

Status simplify_polygon(PolygonIn polygon, double tolerance, const Rules& rules, std::vector<std::vector<double>>& out) {
    out.clear();
    Workspace w;
    const Status s = w.run(polygon, tolerance, rules, &out, nullptr);
    if (s != Status::simplified) out.clear();
    return s;
}

std::vector<std::vector<uint32_t>> chain_search(std::span<const double> xy, std::span<const uint32_t> gone,
                                                std::span<const double> queries, std::span<const uint32_t> nears) {
    const size_t points = xy.size() / 2;
    std::vector<Pt> pts(points);
    for (size_t k = 0; k < points; ++k) pts[k] = {xy[2 * k], xy[2 * k + 1]};
    std::vector<Box> boxes(points > 0 ? points - 1 : 0);
    for (size_t k = 0; k < boxes.size(); ++k) boxes[k] = box_of(pts[k], pts[k + 1]);
    MonotoneChains chains;
    chains.reset(pts.data());
    chains.append_run(0, 0, uint32_t(boxes.size()));
    for (size_t k = 0; k + 1 < gone.size(); k += 2) chains.remove_range(gone[k], gone[k + 1]);
    std::vector<std::vector<uint32_t>> out(nears.size());
    for (size_t k = 0; k < nears.size(); ++k) {
        const Box q{queries[4 * k], queries[4 * k + 1], queries[4 * k + 2], queries[4 * k + 3]};
        chains.visit(boxes.data(), q, 0, 0, nears[k], PointSpan{}, [&](uint32_t id) {
            out[k].push_back(id);
            return false;
        });
    }
    return out;
}

std::thread start_std_thread(std::function<void()> work) { return std::thread(std::move(work)); }

namespace {

// Simplifies outlines [begin, end) into `out`.
void simplify_run(Workspace& w, const OutlinesIn& in, size_t begin, size_t end, double tolerance, const Rules& rules,
                  OutlinesOut& out) {
    std::vector<double> shell;
    out.xy.clear();
    out.offsets.assign(1, 0);
    out.status.clear();
    out.status.reserve(end - begin);
    for (size_t k = begin; k < end; ++k) {
        const std::span<const double> xy = in.xy.subspan(2 * in.offsets[k], 2 * (in.offsets[k + 1] - in.offsets[k]));
        const std::span<const double> rings[1] = {xy};
        const Status s = w.run(PolygonIn{rings}, tolerance, rules, nullptr, &shell);
        out.status.push_back(s);
        if (s == Status::simplified) out.xy.insert(out.xy.end(), shell.begin(), shell.end());
        out.offsets.push_back(out.xy.size() / 2);
    }
}

// Work is handed out in blocks of consecutive outlines of at least this many
// points; a thread is started for every so many points.
constexpr size_t kBlockPoints = 1024;
constexpr size_t kPointsPerThread = 2048;

// The bounds of consecutive blocks of outlines (outline k has size_of(k)
// points): block b is [cut[b], cut[b + 1]).
template <class SizeOf>
std::vector<size_t> blocks_of(size_t count, SizeOf&& size_of) {
    std::vector<size_t> cut{0};
    for (size_t k = 0; k < count;) {
        size_t block = 0;
        while (k < count && (block == 0 || block + size_of(k) <= kBlockPoints)) block += size_of(k++);
        cut.push_back(k);
    }
    return cut;
}

// Runs work(w, b, begin, end) for every block of `cut` once, on up to
// `threads` threads (0: one per core; no more than the points ask for), the
// calling one included: every thread takes the next block until none is
// left, with a workspace of its own.  A thread that cannot start leaves its
// share to the others.  Rethrows the first failure once every thread has
// stopped.
template <class Work>
void run_blocks(const std::vector<size_t>& cut, size_t points, unsigned threads, const ThreadStarter& starter,
                Work&& work) {
    const size_t blocks = cut.size() - 1;
    size_t want = threads ? threads : std::max(1u, std::thread::hardware_concurrency());
    want = std::min({want, std::max<size_t>(1, points / kPointsPerThread), std::max<size_t>(1, blocks)});

    std::vector<std::exception_ptr> errors(want);
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto drain = [&](size_t slot) {
        try {
            Workspace w;
            for (size_t b; !failed.load(std::memory_order_relaxed) && (b = next.fetch_add(1)) < blocks;)
                work(w, b, cut[b], cut[b + 1]);
        } catch (...) {  // std::bad_alloc
            errors[slot] = std::current_exception();
            failed = true;
        }
    };
    // Joins every started thread however this function is left.
    struct Joiner {
        std::vector<std::thread> threads;
        ~Joiner() {
            for (std::thread& t : threads)
                if (t.joinable()) t.join();
        }
    } started;
    started.threads.reserve(want);
    for (size_t slot = 1; slot < want; ++slot) {
        try {
            started.threads.push_back(starter([&drain, slot] { drain(slot); }));
        } catch (...) {  // std::system_error: no thread to be had; the others do its share
            break;
        }
    }
    drain(0);
    for (std::thread& t : started.threads)
        if (t.joinable()) t.join();
    for (std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace

OutlinesOut simplify_outlines(const OutlinesIn& in, double tolerance, const Rules& rules, unsigned threads,
                              const ThreadStarter& starter) {
    const size_t count = in.offsets.empty() ? 0 : in.offsets.size() - 1;
    const std::vector<size_t> cut = blocks_of(count, [&](size_t k) { return in.offsets[k + 1] - in.offsets[k]; });
    const size_t blocks = cut.size() - 1;
    // Each block's result has its own place, so the order of the work does
    // not matter.
    std::vector<OutlinesOut> parts(blocks);
    run_blocks(cut, count ? in.offsets[count] - in.offsets[0] : 0, threads, starter,
               [&](Workspace& w, size_t b, size_t begin, size_t end) {
                   simplify_run(w, in, begin, end, tolerance, rules, parts[b]);
               });
    if (blocks == 1) return std::move(parts[0]);
    OutlinesOut out;
    out.offsets.assign(1, 0);
    out.status.reserve(count);
    out.offsets.reserve(count + 1);
    size_t values = 0;
    for (size_t b = 0; b < blocks; ++b) values += parts[b].xy.size();
    out.xy.reserve(values);
    for (size_t b = 0; b < blocks; ++b) {
        OutlinesOut& part = parts[b];
        const size_t base = out.xy.size() / 2;
        out.xy.insert(out.xy.end(), part.xy.begin(), part.xy.end());
        out.status.insert(out.status.end(), part.status.begin(), part.status.end());
        for (size_t k = 1; k < part.offsets.size(); ++k) out.offsets.push_back(base + part.offsets[k]);
    }
    return out;
}

namespace {

// One outline of simplify_each, simplified in place (`shell`: scratch).
Status simplify_one(Workspace& w, std::vector<double>& outline, std::vector<double>& shell, double tolerance,
                    const Rules& rules) {
    const std::span<const double> rings[1] = {outline};
    const Status s = w.run(PolygonIn{rings}, tolerance, rules, nullptr, &shell);
    if (s == Status::simplified) outline.swap(shell);
    return s;
}

}  // namespace

struct EachSimplifier::Scratch {
    Workspace w;
    std::vector<double> shell;
};

EachSimplifier::EachSimplifier() : s_(std::make_unique<Scratch>()) {}
EachSimplifier::~EachSimplifier() = default;

Status EachSimplifier::run(std::vector<double>& outline, double tolerance, const Rules& rules) {
    return simplify_one(s_->w, outline, s_->shell, tolerance, rules);
}

std::vector<size_t> simplify_each(std::vector<std::vector<double>>& outlines, double tolerance, const Rules& rules,
                                  unsigned threads, const ThreadStarter& starter) {
    auto size_of = [&](size_t k) { return outlines[k].size() / 2; };
    const std::vector<size_t> cut = blocks_of(outlines.size(), size_of);
    size_t points = 0;
    for (size_t k = 0; k < outlines.size(); ++k) points += size_of(k);
    std::vector<std::vector<size_t>> not_handled(cut.size() - 1);  // per block
    run_blocks(cut, points, threads, starter, [&](Workspace& w, size_t b, size_t begin, size_t end) {
        std::vector<double> shell;
        for (size_t k = begin; k < end; ++k)
            if (simplify_one(w, outlines[k], shell, tolerance, rules) == Status::not_handled)
                not_handled[b].push_back(k);
    });
    std::vector<size_t> out;
    for (size_t b = 0; b + 1 < cut.size(); ++b) out.insert(out.end(), not_handled[b].begin(), not_handled[b].end());
    return out;
}

}  // namespace lumino::simplify
