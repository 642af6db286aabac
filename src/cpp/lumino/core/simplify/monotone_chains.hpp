// A spatial index of connected segments by monotone chains: runs of
// consecutive segments whose x and y never turn back.  A chain's box is the
// box of its two ends, and along a chain the segments meeting a box form one
// run, found by bisection; so a query tests each chain's box once and then
// only the segments around the query.  Curved outlines (arcs, bends, rings)
// have a handful of chains however many points they have; the simplifier
// uses this index for them and a grid for outlines of many short chains.
// It only narrows the search: callers test every candidate exactly, except
// for what a section of one chain lets them pass over (PointSpan).
// No Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lumino/core/simplify/robust.hpp"
#include "lumino/core/simplify/segment_grid.hpp"

namespace lumino::simplify {

// Points first..last of one chain (empty: first > last).  When the section
// p..q of a chain is flattened, every point of the chain before p lies in
// the quadrant behind p and every point after q in the quadrant ahead of q,
// while the flat segment p-q lies in the box between them.  So a segment
// with both ends among the chain's points outside the section meets the flat
// one at most at p (or q), and then only where it has an end point equal to
// p: the boxes touch only at that corner, where every orientation is exactly
// zero and the collinear overlap is that one common end point.  That is no
// intersection the simplifier refuses (nor, p and q being apart, an equal
// segment), so chains inside the span are passed over.
struct PointSpan {
    uint32_t first = 1, last = 0;
};

class MonotoneChains {
  public:
    void reset(const Pt* pts) {
        pts_ = pts;
        chains_.clear();
        chain_of_.clear();
    }

    size_t size() const { return chains_.size(); }

    // Files segment `id` (the next one) from point a to point b.
    void append(uint32_t id, uint32_t a, uint32_t b) {
        const Step step(pts_[a], pts_[b]);
        // A chain runs forwards through the points (a segment back to the
        // ring's start stands alone).
        const bool joins = a < b && !chains_.empty() && chains_.back().end_point == a &&
                           chains_.back().last + 1 == id && !chains_.back().turns(step);
        if (!joins) chains_.push_back(Chain::starting(id, a));
        Chain& c = chains_.back();
        c.take(step);
        close(c, id, b);
        chain_of_.push_back(uint32_t(chains_.size() - 1));
    }

    // Files the segments between consecutive points first..last as ids
    // from `id` on (the next ones).  Gives up, returning false with the
    // index left unusable, as soon as there would be more than `most`
    // chains in all.
    bool append_run(uint32_t id, uint32_t first, uint32_t last, size_t most = SIZE_MAX) {
        if (first >= last) return true;
        chain_of_.resize(size_t(id) + (last - first));
        uint32_t* chain_of = chain_of_.data();
        auto number = uint32_t(chains_.size());
        if (number >= most) return false;
        // The chain being built stays local (in registers) until it ends.
        Chain c = Chain::starting(id, first);
        for (uint32_t a = first; a < last; ++a, ++id) {
            const Step step(pts_[a], pts_[a + 1]);
            if (c.turns(step)) {
                if (number + 1 >= most) return false;
                close(c, id - 1, a);
                chains_.push_back(c);
                c = Chain::starting(id, a);
                ++number;
            }
            c.take(step);
            chain_of[id] = number;
        }
        close(c, id - 1, last);
        chains_.push_back(c);
        return true;
    }

    // Segments from..to-1 are gone.
    void remove_range(uint32_t from, uint32_t to) {
        while (from < to) {
            Chain& c = chains_[chain_of_[from]];
            const uint32_t end = std::min(to, c.last + 1);
            c.dead += end - from;
            from = end;
        }
    }

    // The points of the chain holding segments from..to-1, if one does.
    PointSpan span_of(uint32_t from, uint32_t to) const {
        if (from >= to || to > chain_of_.size() || chain_of_[from] != chain_of_[to - 1]) return {};
        const Chain& c = chains_[chain_of_[from]];
        return {c.start_point, c.end_point};
    }

    // Calls f(id) for the segments of every chain that may meet `q` (a
    // superset of those whose box, boxes[id], meets it), except ids in
    // [skip_from, skip_to), until f returns true; returns whether it did.
    // In the chain of segment `near` (if any), the search starts there, in
    // the others where the last search in them ended: queries move along the
    // outline.  Chains whose points lie in `pass` are passed over.
    template <class F>
    bool visit(const Box* boxes, const Box& q, uint32_t skip_from, uint32_t skip_to, uint32_t near,
               const PointSpan& pass, F&& f) {
        const size_t near_chain = near < chain_of_.size() ? chain_of_[near] : chains_.size();
        for (size_t n = 0; n < chains_.size(); ++n) {
            Chain& c = chains_[n];
            if (c.dead > c.last - c.first || !c.box.meets(q)) continue;
            if (pass.first <= c.start_point && c.start_point <= c.end_point && c.end_point <= pass.last) continue;
            uint32_t lo = c.first, end = c.last + 1;
            if (end - lo > kScanAtMost) {
                // Along a chain the boxes' sides move one way on the axis it
                // spans more of, so those meeting q's range there are one run.
                const bool along_x = c.box.maxx - c.box.minx >= c.box.maxy - c.box.miny;
                const int s = along_x ? c.sx : c.sy;
                const double qmin = along_x ? q.minx : q.miny, qmax = along_x ? q.maxx : q.maxy;
                double Box::*low = along_x ? &Box::minx : &Box::miny;
                double Box::*high = along_x ? &Box::maxx : &Box::maxy;
                const uint32_t h = n == near_chain ? near : c.finger;
                if (s > 0) {
                    lo = first_of(lo, end, h, [&](uint32_t k) { return boxes[k].*high >= qmin; });
                    end = first_of(lo, end, h, [&](uint32_t k) { return boxes[k].*low > qmax; });
                } else if (s < 0) {
                    lo = first_of(lo, end, h, [&](uint32_t k) { return boxes[k].*low <= qmax; });
                    end = first_of(lo, end, h, [&](uint32_t k) { return boxes[k].*high < qmin; });
                }
                c.finger = lo;
            }
            // [lo, end) without [skip_from, skip_to).
            for (uint32_t id = lo; id < end; ++id) {
                if (id >= skip_from && id < skip_to) {
                    id = skip_to - 1;
                    continue;
                }
                if (f(id)) return true;
            }
        }
        return false;
    }

  private:
    // A segment's x and y steps; their signs are its directions (the
    // difference of two finite doubles is zero only when they are equal).
    struct Step {
        double x, y;
        Step(const Pt& a, const Pt& b) : x(b.x - a.x), y(b.y - a.y) {}
    };
    struct Chain;
    // Ends chain c (so far) with segment `last`, which ends at point `end`:
    // its box is that of its two ends.
    void close(Chain& c, uint32_t last, uint32_t end) {
        c.last = last;
        c.end_point = end;
        const Pt &p = pts_[c.start_point], &q = pts_[end];
        c.box = {std::min(p.x, q.x), std::max(p.x, q.x), std::min(p.y, q.y), std::max(p.y, q.y)};
    }

    // Chains of at most this many segments are scanned whole.
    static constexpr uint32_t kScanAtMost = 8;

    // The first k in [from, to) where pred(k) holds (pred false, then true),
    // or `to`; without branches on pred.
    template <class Pred>
    static uint32_t first_of(uint32_t from, uint32_t to, Pred&& pred) {
        if (from >= to) return to;
        uint32_t base = from, len = to - from;
        while (len > 1) {
            const uint32_t half = len / 2;
            base += pred(base + half - 1) ? 0 : half;
            len -= half;
        }
        return pred(base) ? base : base + 1;
    }

    // The same, searching outwards from h (if in [from, to)) by doubling steps.
    template <class Pred>
    static uint32_t first_of(uint32_t from, uint32_t to, uint32_t h, Pred&& pred) {
        if (h < from || h >= to) return first_of(from, to, pred);
        uint32_t step = 1;
        if (pred(h)) {  // the first lies at or below h
            for (uint32_t top = h;; step *= 2) {
                if (top - from <= step) return first_of(from, top, pred);
                if (!pred(top - step)) return first_of(top - step + 1, top, pred);
                top -= step;
            }
        }
        for (uint32_t bottom = h + 1;; step *= 2) {  // the first lies above h
            if (to - bottom <= step) return first_of(bottom, to, pred);
            if (pred(bottom + step - 1)) return first_of(bottom, bottom + step - 1, pred);
            bottom += step;
        }
    }

    struct Chain {
        uint32_t first, last;  // segment ids
        uint32_t start_point;  // the first segment's start point
        uint32_t end_point;    // the last segment's end point
        int sx, sy;            // the direction along x and y: 1, -1, or 0 while not yet known
        uint32_t dead;         // segments gone
        uint32_t finger;       // where the last search in it ended
        Box box;

        // A chain of segment `id` alone so far, from point `point`, its
        // directions not yet known.
        static Chain starting(uint32_t id, uint32_t point) { return {id, id, point, point, 0, 0, 0, id, {}}; }
        // Whether the step goes back along x or y.
        bool turns(const Step& s) const { return (s.x * sx < 0.0) | (s.y * sy < 0.0); }
        // Learns the directions the step shows.
        void take(const Step& s) {
            sx = sx ? sx : (s.x > 0.0) - (s.x < 0.0);
            sy = sy ? sy : (s.y > 0.0) - (s.y < 0.0);
        }
    };
    const Pt* pts_ = nullptr;
    std::vector<Chain> chains_;
    std::vector<uint32_t> chain_of_;  // per segment: its chain
};

}  // namespace lumino::simplify
