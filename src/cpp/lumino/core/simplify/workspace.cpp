// Topology-preserving simplification of one polygon with GEOS's decisions
// (see simplify.hpp).  How GEOS works, and what is reproduced here:
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
#include "lumino/core/simplify/workspace.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define LUMINO_AVX2 1
#endif

namespace lumino::simplify {

namespace {

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

// The box of the points (no NaN among them: in_domain() saw to that, so
// the vector minimum and maximum are std::min's and std::max's, up to the
// sign of a zero, which no cell depends on).
Box bounds_of(const std::vector<Pt>& pts) {
    Box b{pts[0].x, pts[0].x, pts[0].y, pts[0].y};
#if defined(__SSE2__)
    __m128d lo = _mm_loadu_pd(&pts[0].x), hi = lo;
    for (const Pt& p : pts) {
        const __m128d v = _mm_loadu_pd(&p.x);
        lo = _mm_min_pd(lo, v), hi = _mm_max_pd(hi, v);
    }
    alignas(16) double l[2], h[2];
    _mm_store_pd(l, lo), _mm_store_pd(h, hi);
    b = {l[0], h[0], l[1], h[1]};
#else
    for (const Pt& p : pts) {
        b.minx = std::min(b.minx, p.x), b.maxx = std::max(b.maxx, p.x);
        b.miny = std::min(b.miny, p.y), b.maxy = std::max(b.maxy, p.y);
    }
#endif
    return b;
}

}  // namespace

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
    // The chains are built only while there are few enough to search.
    bool chains = true;
    for (size_t r = 0; r < ring_count_; ++r)
        chains &= input_.add_chain(rings_[r].start, rings_[r].start + rings_[r].n - 1, kChainsAtMost);
    if (chains) return;
    bounds_ = bounds_of(pts_);
    // Cells about kCellSpan mean segments wide, so that a cell on a dense
    // curve holds a few segments, within kCellsPerSegment of one per segment.
    size_t cells = 1;
    if (segments_ >= kScanBelow) {
        const double lo = double(segments_) * kCellsPerSegment[0], hi = double(segments_) * kCellsPerSegment[1];
        const double side = kCellSpan * input_.chains_length() / double(segments_);
        const double area = (bounds_.maxx - bounds_.minx) * (bounds_.maxy - bounds_.miny);
        const double want = side > 0.0 ? area / (side * side) : lo;
        cells = size_t(std::isfinite(want) ? std::clamp(want, lo, hi) : lo);
    }
    shape_.reset(bounds_, cells);
    columns_.resize(pts_.size());
    rows_.resize(pts_.size());
    shape_.cells_of(&pts_[0].x, pts_.size(), columns_.data(), rows_.data());
    input_.prepare(shape_, columns_.data(), rows_.data());
    output_.prepare(shape_, columns_.data(), rows_.data());
}

namespace {

// Whether the distance |cross| / len2 * sqrt(len2) of the largest cross
// product, and the quotient on the way, are far from the subnormal range:
// there a key 2^-40 smaller surely gives a smaller distance.
inline bool clear_of_underflow(double cross, double len2) {
    const double q = cross / len2;
    return q >= 0x1p-960 && q * std::sqrt(len2) >= 0x1p-960;
}

// Point kinds against a segment, as the furthest-point search sorts them.
enum : uint8_t { before_a = 0, after_b = 1, alongside = 2 };

// A section's chord a-b (not degenerate) and what its keys are made of.
struct Chord {
    Pt a, b;
    double ex, ey, len2, low, high, beyond;
    Chord(const Pt& a_, const Pt& b_, double ex_, double ey_, double len2_)
        : a(a_), b(b_), ex(ex_), ey(ey_), len2(len2_), low(len2_ * 0x1p-40), high(len2_ - low), beyond(len2_ + low) {}
};

// A key this far below the largest of its kind gives a strictly smaller
// distance.
constexpr double kKeep = 1.0 - 0x1p-40;

// Near underflow nothing is excluded.
inline double end_threshold(double top) { return top >= 0x1p-900 ? top * kKeep : -HUGE_VAL; }
inline double along_threshold(double top, double len2) {
    return clear_of_underflow(top, len2) ? top * kKeep : -HUGE_VAL;
}

// The kind and key of point q: beyond either end the squared distance to
// that end, alongside the cross product.
inline uint8_t kind_of(const Chord& c, const Pt& q, double& key) {
    const double dot = (q.x - c.a.x) * c.ex + (q.y - c.a.y) * c.ey;
    uint8_t kind;
    if (dot <= 0.0) {
        kind = before_a;
    } else if (dot >= c.low && dot <= c.high) {
        kind = alongside;
    } else if (dot >= c.beyond) {
        kind = after_b;
    } else {  // the ratio could round across 0 or 1: decide as GEOS does
        const double r = dot / c.len2;
        kind = r <= 0.0 ? before_a : (r >= 1.0 ? after_b : alongside);
    }
    if (kind == alongside) {
        key = std::fabs((c.a.y - q.y) * c.ex - (c.a.x - q.x) * c.ey);
    } else {
        const Pt& e = kind == before_a ? c.a : c.b;
        const double dx = q.x - e.x, dy = q.y - e.y;
        key = dx * dx + dy * dy;
    }
    return kind;
}

// The first of q[0, n) furthest from the chord, and its distance: every
// point's key and kind, then the exact distances of those whose keys come
// near the largest of their kind, in order.
size_t furthest_along(const Pt* q, size_t n, const Chord& c, double* key, uint8_t* kind, double& distance) {
    double top[3] = {-1.0, -1.0, -1.0};
    for (size_t k = 0; k < n; ++k) {
        kind[k] = kind_of(c, q[k], key[k]);
        if (key[k] > top[kind[k]]) top[kind[k]] = key[k];
    }
    const double threshold[3] = {end_threshold(top[before_a]), end_threshold(top[after_b]),
                                 along_threshold(top[alongside], c.len2)};
    size_t at = 0;
    for (size_t k = 0; k < n; ++k) {
        if (key[k] < threshold[kind[k]]) continue;
        const double d = segment_distance(q[k], c.a, c.b);
        if (d > distance) distance = d, at = k;
    }
    return at;
}

#if defined(LUMINO_AVX2)
// The four kinds of a block, one byte each, by its lanes' masks of
// before_a (bits 0-3) and after_b (bits 4-7); lanes hold points 0, 2, 1, 3.
struct KindWords {
    uint32_t word[256];
    constexpr KindWords() : word() {
        constexpr int lane_of[4] = {0, 2, 1, 3};
        for (uint32_t m = 0; m < 256; ++m) {
            uint32_t w = 0;
            for (int point = 0; point < 4; ++point) {
                const int l = lane_of[point];
                const uint32_t kind = (m >> l) & 1 ? before_a : ((m >> (4 + l)) & 1 ? after_b : alongside);
                w |= kind << (8 * point);
            }
            word[m] = w;
        }
    }
};
constexpr KindWords kKindWords;

// Calls exact(k + l), in order, for every lane l set in `near`, the keys
// k..k+3 not below their threshold, that is a point (k + l < n).
template <class Exact>
inline void near_block(unsigned near, size_t k, size_t n, Exact& exact) {
    if (k + 4 > n) near &= (1u << (n - k)) - 1;
    for (; near; near &= near - 1) exact(k + unsigned(__builtin_ctz(near)));
}

// Calls exact(k) for every k < n, in order, whose key is not below the
// threshold, four keys at a time (key holds n values rounded up to four).
template <class Exact>
__attribute__((target("avx2"))) inline void near_keys_avx2(const double* key, size_t n, __m256d threshold,
                                                          Exact&& exact) {
    for (size_t k = 0; k < n; k += 4)
        if (const auto near =
                unsigned(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(key + k), threshold, _CMP_NLT_UQ))))
            near_block(near, k, n, exact);
}

// The keys of q[0, n) around a closed section's point a (squared distances),
// four points at a time; returns the largest.  key takes n values rounded up
// to four.
__attribute__((target("avx2"))) double closed_keys_avx2(const Pt* q, size_t n, const Pt& a, double* key) {
    const __m256d vax = _mm256_set1_pd(a.x), vay = _mm256_set1_pd(a.y), none = _mm256_set1_pd(-1.0);
    __m256d top = none;
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d p01 = _mm256_loadu_pd(&q[k].x), p23 = _mm256_loadu_pd(&q[k + 2].x);
        const __m256d dx = _mm256_sub_pd(_mm256_unpacklo_pd(p01, p23), vax),
                      dy = _mm256_sub_pd(_mm256_unpackhi_pd(p01, p23), vay);
        const __m256d kk = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        top = _mm256_max_pd(top, kk);
        _mm256_storeu_pd(key + k, _mm256_permute4x64_pd(kk, 0xD8));  // points 0, 1, 2, 3
    }
    alignas(32) double t[4];
    _mm256_store_pd(t, top);
    double largest = std::max({t[0], t[1], t[2], t[3]});
    for (; k < n; ++k) {
        const double dx = q[k].x - a.x, dy = q[k].y - a.y;
        key[k] = dx * dx + dy * dy;
        largest = key[k] > largest ? key[k] : largest;
    }
    return largest;
}

// furthest_along(), four points at a time, each lane with the scalar
// loop's operations; the points after the last whole block go as there.
// key and kind take n values rounded up to four.
__attribute__((target("avx2"))) size_t furthest_along_avx2(const Pt* q, size_t n, const Chord& c, double* key,
                                                           uint8_t* kind, double& distance) {
    const __m256d vax = _mm256_set1_pd(c.a.x), vay = _mm256_set1_pd(c.a.y), vbx = _mm256_set1_pd(c.b.x),
                  vby = _mm256_set1_pd(c.b.y), vex = _mm256_set1_pd(c.ex), vey = _mm256_set1_pd(c.ey),
                  vlen2 = _mm256_set1_pd(c.len2), vlow = _mm256_set1_pd(c.low), vhigh = _mm256_set1_pd(c.high),
                  vbeyond = _mm256_set1_pd(c.beyond), zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0),
                  none = _mm256_set1_pd(-1.0), sign = _mm256_set1_pd(-0.0),
                  all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    __m256d t0 = none, t1 = none, t2 = none;
    int any_off = 0;
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d p01 = _mm256_loadu_pd(&q[k].x), p23 = _mm256_loadu_pd(&q[k + 2].x);
        // Lanes hold points 0, 2, 1, 3.
        const __m256d qx = _mm256_unpacklo_pd(p01, p23), qy = _mm256_unpackhi_pd(p01, p23);
        const __m256d dot =
            _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(qx, vax), vex), _mm256_mul_pd(_mm256_sub_pd(qy, vay), vey));
        const __m256d cross =
            _mm256_sub_pd(_mm256_mul_pd(_mm256_sub_pd(vay, qy), vex), _mm256_mul_pd(_mm256_sub_pd(vax, qx), vey));
        __m256d kk = _mm256_andnot_pd(sign, cross);
        const __m256d along =
            _mm256_and_pd(_mm256_cmp_pd(dot, vlow, _CMP_GE_OQ), _mm256_cmp_pd(dot, vhigh, _CMP_LE_OQ));
        uint32_t masks = 0;
        if (_mm256_movemask_pd(along) != 15) {
            __m256d before = _mm256_cmp_pd(dot, zero, _CMP_LE_OQ), after = _mm256_cmp_pd(dot, vbeyond, _CMP_GE_OQ);
            const __m256d rest = _mm256_andnot_pd(_mm256_or_pd(_mm256_or_pd(before, after), along), all);
            if (_mm256_movemask_pd(rest) != 0) {  // the ratio could round across 0 or 1: decide as GEOS does
                const __m256d r = _mm256_div_pd(dot, vlen2);
                before = _mm256_or_pd(before, _mm256_and_pd(rest, _mm256_cmp_pd(r, zero, _CMP_LE_OQ)));
                after = _mm256_or_pd(after, _mm256_and_pd(rest, _mm256_cmp_pd(r, one, _CMP_GE_OQ)));
            }
            const __m256d ends = _mm256_or_pd(before, after);
            const __m256d exx = _mm256_blendv_pd(vbx, vax, before), eyy = _mm256_blendv_pd(vby, vay, before);
            const __m256d dx = _mm256_sub_pd(qx, exx), dy = _mm256_sub_pd(qy, eyy);
            kk = _mm256_blendv_pd(kk, _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), ends);
            t0 = _mm256_max_pd(t0, _mm256_blendv_pd(none, kk, before));
            t1 = _mm256_max_pd(t1, _mm256_blendv_pd(none, kk, after));
            t2 = _mm256_max_pd(t2, _mm256_blendv_pd(kk, none, ends));
            masks = uint32_t(_mm256_movemask_pd(before)) | uint32_t(_mm256_movemask_pd(after)) << 4;
            any_off |= int(masks);
        } else {
            t2 = _mm256_max_pd(t2, kk);
        }
        _mm256_storeu_pd(key + k, _mm256_permute4x64_pd(kk, 0xD8));  // points 0, 1, 2, 3
        std::memcpy(kind + k, &kKindWords.word[masks], 4);
    }
    double top[3] = {-1.0, -1.0, -1.0};
    if (k) {
        alignas(32) double t[3][4];
        _mm256_store_pd(t[0], t0), _mm256_store_pd(t[1], t1), _mm256_store_pd(t[2], t2);
        for (int m = 0; m < 3; ++m) top[m] = std::max({t[m][0], t[m][1], t[m][2], t[m][3]});
    }
    bool mixed = any_off != 0;
    for (; k < n; ++k) {
        kind[k] = kind_of(c, q[k], key[k]);
        mixed |= kind[k] != alongside;
        if (key[k] > top[kind[k]]) top[kind[k]] = key[k];
    }
    size_t at = 0;
    auto exact = [&](size_t k) {
        const double d = segment_distance(q[k], c.a, c.b);
        if (d > distance) distance = d, at = k;
    };
    const __m256d along_threshold_v = _mm256_set1_pd(along_threshold(top[alongside], c.len2));
    if (!mixed) {  // one threshold
        near_keys_avx2(key, n, along_threshold_v, exact);
        return at;
    }
    // Each key against its kind's threshold.
    const __m256d before_threshold = _mm256_set1_pd(end_threshold(top[before_a])),
                  after_threshold = _mm256_set1_pd(end_threshold(top[after_b]));
    const __m256i before_kind = _mm256_set1_epi64x(before_a), after_kind = _mm256_set1_epi64x(after_b);
    for (size_t k = 0; k < n; k += 4) {
        int32_t word;
        std::memcpy(&word, kind + k, 4);
        const __m256i kinds = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(word));
        __m256d threshold = _mm256_blendv_pd(
            along_threshold_v, before_threshold, _mm256_castsi256_pd(_mm256_cmpeq_epi64(kinds, before_kind)));
        threshold =
            _mm256_blendv_pd(threshold, after_threshold, _mm256_castsi256_pd(_mm256_cmpeq_epi64(kinds, after_kind)));
        if (const auto near =
                unsigned(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(key + k), threshold, _CMP_NLT_UQ))))
            near_block(near, k, n, exact);
    }
    return at;
}

// A closed section's search: the keys, then the exact distances near the
// largest.
template <class Exact>
__attribute__((target("avx2"))) void closed_ring_avx2(const Pt* q, size_t n, const Pt& a, double* key, Exact&& exact) {
    near_keys_avx2(key, n, _mm256_set1_pd(end_threshold(closed_keys_avx2(q, n, a, key))), exact);
}

const bool kAvx2 = __builtin_cpu_supports("avx2");
#endif

// Sections of at most this many inner points are scanned point by point.
constexpr size_t kDirectBelow = 2;

}  // namespace

// The first point of p[i+1 .. j-1] furthest from the segment p[i]-p[j], and
// its distance (-1 when there is none): what a scan with
// segment_distance() finds, computed with less work.  Each point's distance
// is a non-decreasing function of a cheaper key within its kind (beyond
// either end: the squared distance to that end; alongside: the cross
// product); only the points whose key comes near the largest of their kind
// can be furthest, and only their exact distances are computed, in order.
size_t Workspace::furthest_point(const Pt* p, size_t i, size_t j, double& distance) {
    distance = -1.0;
    const Pt a = p[i], b = p[j];
    const double ex = b.x - a.x, ey = b.y - a.y;
    const double len2 = ex * ex + ey * ey;
    const size_t n = j - i - 1;
    if (key_.size() < n + 3) key_.resize(n + 3), kind_.resize(n + 3);  // blocks of four
    if (a == b && n > kDirectBelow) {  // a closed ring: the distance is sqrt(key), keys to a
        size_t at = i;
        auto exact = [&](size_t k) {
            const double d = segment_distance(p[i + 1 + k], a, b);
            if (d > distance) distance = d, at = i + 1 + k;
        };
#if defined(LUMINO_AVX2)
        if (kAvx2) {
            closed_ring_avx2(p + i + 1, n, a, key_.data(), exact);
            return at;
        }
#endif
        double top = -1.0;
        for (size_t k = 0; k < n; ++k) {
            const double dx = p[i + 1 + k].x - a.x, dy = p[i + 1 + k].y - a.y;
            const double key = dx * dx + dy * dy;
            top = key > top ? key : top;
            key_[k] = key;
        }
        const double threshold = end_threshold(top);
        for (size_t k = 0; k < n; ++k)
            if (!(key_[k] < threshold)) exact(k);
        return at;
    }
    // Degenerate, tiny, or a few points: every distance, as GEOS does.
    if (a == b || !(len2 >= 0x1p-900) || n <= kDirectBelow) {
        size_t at = i;
        for (size_t k = i + 1; k < j; ++k) {
            const double d = segment_distance(p[k], a, b);
            if (d > distance) distance = d, at = k;
        }
        return at;
    }
    const Chord c(a, b, ex, ey, len2);
    // Fewer than a block go point by point (which also keeps that road in
    // every run).
    size_t k;
#if defined(LUMINO_AVX2)
    if (kAvx2 && n >= 4) k = furthest_along_avx2(p + i + 1, n, c, key_.data(), kind_.data(), distance);
    else
#endif
        k = furthest_along(p + i + 1, n, c, key_.data(), kind_.data(), distance);
    return distance < 0.0 ? i : i + 1 + k;  // none: not reached on finite input
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

}  // namespace lumino::simplify
