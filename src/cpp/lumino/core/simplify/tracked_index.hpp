// GEOS's two segment indexes as the simplifier tracks them: which segments
// each holds, and whether GEOS's quadtree surely finds a segment that a query
// meets (the padded boxes of horizontal and vertical segments make that
// uncertain within rounding).  Only simplify.cpp uses it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lumino/core/simplify/monotone_chains.hpp"
#include "lumino/core/simplify/robust.hpp"
#include "lumino/core/simplify/segment_grid.hpp"

namespace lumino::simplify {

// Raised inside one polygon's simplification when GEOS's result cannot be
// promised; caught per polygon.
struct Unsure {};

inline Box box_of(const Pt& a, const Pt& b) {
    return {std::min(a.x, b.x), std::max(a.x, b.x), std::min(a.y, b.y), std::max(a.y, b.y)};
}

// GEOS's quadtree box of a segment: a flat side is padded by half the
// smallest extent seen, from below, the upper bound recomputed from the
// padded lower one.
inline Box padded(const Box& t, double min_extent) {
    if (t.minx != t.maxx && t.miny != t.maxy) return t;
    Box e = t;
    if (t.minx == t.maxx) {
        e.minx = t.minx - min_extent / 2.0;
        e.maxx = e.minx + min_extent / 2.0;
    }
    if (t.miny == t.maxy) {
        e.miny = t.miny - min_extent / 2.0;
        e.maxy = e.miny + min_extent / 2.0;
    }
    return e;
}

// Whether a quadtree that filed a segment under the padded box `e` surely
// visits it for the box `q` (a query, or the padded box of a removal), given
// that the segment's own box meets `q`.  The node holding the segment
// contains `e`, is a square whose side is a power of two at least e's larger
// extent, and lies on that power's grid; so it reaches up to the next
// multiple of that side above e's upper bounds.
inline bool surely_reached(const Box& e, const Box& q) {
    if (e.meets(q)) return true;
    const double extent = std::max(e.maxx - e.minx, e.maxy - e.miny);
    if (!(extent > 0.0)) return false;
    int exp = 0;
    std::frexp(extent, &exp);
    const double side = std::ldexp(1.0, exp - 1);  // a power of two <= any such node's side
    auto reaches = [side](double emin, double emax, double qmin, double qmax) {
        if (qmax < emin) return false;
        if (qmin <= emax) return true;
        const double r = emax / side;
        if (!(std::fabs(r) < 0x1p52)) return false;
        return qmin <= std::ceil(r) * side;
    };
    return reaches(e.minx, e.maxx, q.minx, q.maxx) && reaches(e.miny, e.maxy, q.miny, q.maxy);
}

enum class Found { none, surely, maybe };

// One of GEOS's two segment indexes, tracked exactly: which segments it
// holds (each between two of the polygon's points, by number), and the
// smallest extent it had seen when each was filed, which decides the padded
// box GEOS filed it under.  The input index takes all original segments at
// once, the output index takes segments one by one.  Both are searched by
// their monotone chains, or, once prepared, on a grid.
class TrackedIndex {
  public:
    struct Seg {
        uint32_t a, b;
    };

    void reset(const Pt* pts, bool growing) {
        pts_ = pts;
        segs_.clear();
        boxes_.clear();
        alive_.clear();
        filed_extent_.clear();
        min_extent_ = 1.0;
        length_ = 0.0;
        growing_ = growing;
        ready_ = false;
        chains_given_up_ = false;
        chains_.reset(pts);
    }

    // The summed width and height of the segments added by chains.
    double chains_length() const { return length_; }
    // The points of the monotone chain holding segments from..to-1, if one
    // does and the chains are searched.
    PointSpan chain_span(uint32_t from, uint32_t to) const { return ready_ ? PointSpan{} : chains_.span_of(from, to); }
    uint32_t size() const { return uint32_t(segs_.size()); }

    // Adds the segments between consecutive points first..last, in order,
    // and their monotone chains while there are at most `most` of them in
    // all: beyond, no chains are kept (the index is to be searched on a
    // grid) and false is returned.
    bool add_chain(uint32_t first, uint32_t last, size_t most = SIZE_MAX) {
        const auto base = uint32_t(segs_.size());
        const size_t n = last - first;
        segs_.resize(base + n), boxes_.resize(base + n), alive_.resize(base + n), filed_extent_.resize(base + n);
        // Plain pointers and a local smallest extent: a byte store could
        // alias the vectors' members and force their reloads.
        Seg* seg = segs_.data() + base;
        Box* box = boxes_.data() + base;
        uint8_t* alive = alive_.data() + base;
        double* filed = filed_extent_.data() + base;
        double least = min_extent_, length = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const auto a = uint32_t(first + k);
            length += file(a, a + 1, least, seg[k], box[k], alive[k], filed[k]);
        }
        min_extent_ = least;
        length_ += length;
        if (chains_given_up_) return false;
        if (chains_.append_run(base, first, last, most)) return true;
        chains_.reset(pts_);
        chains_given_up_ = true;
        return false;
    }

    uint32_t add(uint32_t a, uint32_t b) {
        const auto id = uint32_t(segs_.size());
        segs_.emplace_back(), boxes_.emplace_back(), alive_.emplace_back(), filed_extent_.emplace_back();
        file(a, b, min_extent_, segs_.back(), boxes_.back(), alive_.back(), filed_extent_.back());
        // Once on the grid, the chains are never searched again.
        if (!ready_) chains_.append(id, a, b);
        else if (growing_) grow_.insert(*shape_, id, range(a, b));
        return id;
    }

    // Makes the index searchable on the grid `shape` with the points' cells.
    void prepare(const GridShape& shape, const uint32_t* columns, const uint32_t* rows) {
        if (ready_) return;
        ready_ = true;
        shape_ = &shape;
        columns_ = columns, rows_ = rows;
        if (growing_) {
            grow_.reset(shape);
            for (uint32_t id = 0; id < segs_.size(); ++id) grow_.insert(shape, id, range(segs_[id].a, segs_[id].b));
        } else {
            fixed_.build(shape, segs_.size(), [&](size_t id) { return range(segs_[id].a, segs_[id].b); });
        }
    }

    // Removes segments from..to-1.
    void remove(uint32_t from, uint32_t to) {
        for (uint32_t id = from; id < to; ++id) {
            if (alive_[id] & kFlat) {  // a flat box: GEOS may have filed it a little off
                const Box& t = boxes_[id];
                if (!surely_reached(padded(t, filed_extent_[id]), padded(t, min_extent_))) throw Unsure{};
            }
            alive_[id] = 0;
        }
        if (!ready_) chains_.remove_range(from, to);
    }

    // Whether a live segment meeting the box of points qa-qb passes `bad`,
    // and whether GEOS's query surely sees it.
    // Segments skip_from <= id < skip_to are passed over.
    // The search starts near segment `near` (UINT32_MAX: anywhere); chains
    // within `pass` are passed over.
    template <class F>
    Found find(uint32_t qa, uint32_t qb, F&& bad, uint32_t near, const PointSpan& pass, uint32_t skip_from = 0,
               uint32_t skip_to = 0) {
        const Pt &q1 = pts_[qa], &q2 = pts_[qb];
        const Box q = box_of(q1, q2);
        bool maybe = false;
        auto live = [this](uint32_t id) { return (alive_[id] & kAlive) != 0; };
        auto test = [&](uint32_t id) {
            if (id - skip_from < skip_to - skip_from) return false;
            const Box& box = boxes_[id];
            if (!box.meets(q)) return false;
            const Seg s = segs_[id];
            const Pt &a = pts_[s.a], &b = pts_[s.b];
            if (!bad(s, a, b)) return false;
            if (box.minx != box.maxx && box.miny != box.maxy) return true;
            if (surely_reached(padded(box, filed_extent_[id]), q)) return true;
            maybe = true;
            return false;
        };
        bool hit;
        if (!ready_) {
            auto live_test = [&](uint32_t id) { return live(id) && test(id); };
            hit = chains_.visit(boxes_.data(), q, skip_from, skip_to, near, pass, live_test);
        } else {
            const CellRange cells = range(qa, qb);
            hit = growing_ ? grow_.visit(*shape_, cells, live, test) : fixed_.visit(*shape_, cells, live, test);
        }
        return hit ? Found::surely : (maybe ? Found::maybe : Found::none);
    }

  private:
    // alive_: whether a segment is still held, and whether its box is flat.
    static constexpr uint8_t kAlive = 1, kFlat = 2;

    // Files the segment a-b into the given places; `least` is the smallest
    // extent seen so far, updated.  Returns the box's width plus height.
    double file(uint32_t a, uint32_t b, double& least, Seg& seg, Box& box, uint8_t& alive, double& filed) const {
        const Pt &pa = pts_[a], &pb = pts_[b];
#if defined(__SSE2__)
        // The box and extents two values at a time (std::min(x, y) is
        // y < x ? y : x and std::max(x, y) is y > x ? y : x, as _mm_min_pd(y, x)
        // and _mm_max_pd(y, x) take them).
        static_assert(sizeof(Box) == 4 * sizeof(double) && sizeof(Pt) == 2 * sizeof(double));
        const __m128d va = _mm_loadu_pd(&pa.x), vb = _mm_loadu_pd(&pb.x);
        const __m128d lo = _mm_min_pd(vb, va), hi = _mm_max_pd(vb, va);
        const __m128d extent = _mm_andnot_pd(_mm_set1_pd(-0.0), _mm_sub_pd(vb, va));
        double* corners = reinterpret_cast<double*>(&box);  // minx, maxx, miny, maxy
        _mm_storeu_pd(corners, _mm_unpacklo_pd(lo, hi));
        _mm_storeu_pd(corners + 2, _mm_unpackhi_pd(lo, hi));
        const double w = _mm_cvtsd_f64(extent), h = _mm_cvtsd_f64(_mm_unpackhi_pd(extent, extent));
#else
        const double w = std::fabs(pb.x - pa.x), h = std::fabs(pb.y - pa.y);
        box = box_of(pa, pb);
#endif
        if (w < least && w > 0.0) least = w;
        if (h < least && h > 0.0) least = h;
        seg = {a, b};
        alive = ((w == 0.0) | (h == 0.0)) ? kAlive | kFlat : kAlive;
        filed = least;
        return w + h;
    }

    CellRange range(uint32_t a, uint32_t b) const { return CellRange::of(columns_[a], rows_[a], columns_[b], rows_[b]); }

    const Pt* pts_ = nullptr;
    std::vector<Seg> segs_;
    std::vector<Box> boxes_;
    std::vector<uint8_t> alive_;
    std::vector<double> filed_extent_;
    double min_extent_ = 1.0, length_ = 0.0;
    bool growing_ = false, ready_ = false, chains_given_up_ = false;
    const GridShape* shape_ = nullptr;
    const uint32_t *columns_ = nullptr, *rows_ = nullptr;
    StaticGrid fixed_;
    GrowingGrid grow_;
    MonotoneChains chains_;
};

}  // namespace lumino::simplify
