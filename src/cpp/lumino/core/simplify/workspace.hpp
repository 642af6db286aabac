// One polygon's topology-preserving simplification with GEOS's decisions:
// the workspace that walks its rings (private to simplify/; see
// workspace.cpp for the algorithm and simplify.hpp for the interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumino/core/simplify/robust.hpp"
#include "lumino/core/simplify/segment_grid.hpp"
#include "lumino/core/simplify/simplify.hpp"
#include "lumino/core/simplify/tracked_index.hpp"

namespace lumino::simplify {

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
// building a grid; above, cells about two mean segments (width plus height)
// wide, between a quarter and two cells per segment: on curves, whose
// segments crowd a few cells of their box, a cell per four segments held
// tens of them (measured on the shared layouts).
constexpr size_t kChainsAtMost = 24;
constexpr size_t kScanBelow = 128;
constexpr double kCellSpan = 2.0;
constexpr double kCellsPerSegment[2] = {0.25, 2.0};

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

}  // namespace lumino::simplify
