// Uniform grids over a polygon's bounding box that find the segments whose
// boxes meet a query box: the spatial indexes of the simplifier.  They only
// narrow the search; callers test every candidate exactly, so what a grid
// returns never changes a decision.  Segments and queries run between the
// polygon's points, so cells are worked out once per point.  No Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumino::simplify {

struct Box {
    double minx, maxx, miny, maxy;
    bool meets(const Box& o) const { return !(o.minx > maxx || o.maxx < minx || o.miny > maxy || o.maxy < miny); }
};

// The cells a segment or query covers: columns x0..x1, rows y0..y1.
struct CellRange {
    uint32_t x0, x1, y0, y1;
    size_t count() const { return size_t(x1 - x0 + 1) * (y1 - y0 + 1); }
    static CellRange of(uint32_t xa, uint32_t ya, uint32_t xb, uint32_t yb) {
        return {std::min(xa, xb), std::max(xa, xb), std::min(ya, yb), std::max(ya, yb)};
    }
};

// The cell arithmetic: a grid of about `cells` cells shaped like the box.
class GridShape {
  public:
    void reset(const Box& bounds, size_t cells) {
        bounds_ = bounds;
        nx_ = ny_ = 1;
        const double w = bounds.maxx - bounds.minx, h = bounds.maxy - bounds.miny;
        const double c = double(std::min<size_t>(std::max<size_t>(cells, 1), kMaxCells));
        const bool wide = w > 0.0 && std::isfinite(w), high = h > 0.0 && std::isfinite(h);
        if (wide && high) {
            nx_ = uint32_t(std::clamp(std::sqrt(c * w / h), 1.0, double(kMaxSide)));
            ny_ = uint32_t(std::clamp(c / double(nx_), 1.0, double(kMaxSide)));
        } else if (wide) {
            nx_ = uint32_t(std::min(c, double(kMaxSide)));
        } else if (high) {
            ny_ = uint32_t(std::min(c, double(kMaxSide)));
        }
        sx_ = nx_ > 1 ? double(nx_) / w : 0.0;
        sy_ = ny_ > 1 ? double(ny_) / h : 0.0;
    }
    size_t cells() const { return size_t(nx_) * ny_; }
    size_t at(uint32_t x, uint32_t y) const { return size_t(y) * nx_ + x; }
    // Monotone in the coordinate, so boxes that meet share a cell.
    uint32_t column(double x) const { return cell(x - bounds_.minx, sx_, nx_); }
    uint32_t row(double y) const { return cell(y - bounds_.miny, sy_, ny_); }
    // The column and row of each of n points (x0, y0, x1, y1, ...), as
    // column() and row() give them: two lanes at a time, where the clamps
    // are the vector minimum and maximum (NaN goes to 0 as there).
    void cells_of(const double* xy, size_t n, uint32_t* columns, uint32_t* rows) const {
        size_t k = 0;
#if defined(__SSE2__)
        const __m128d low = _mm_set_pd(bounds_.miny, bounds_.minx), scale = _mm_set_pd(sy_, sx_),
                      zero = _mm_setzero_pd(), top = _mm_set_pd(double(ny_ - 1), double(nx_ - 1));
        for (; k < n; ++k) {
            __m128d v = _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(xy + 2 * k), low), scale);
            v = _mm_min_pd(_mm_max_pd(v, zero), top);
            const __m128i c = _mm_cvttpd_epi32(v);
            columns[k] = uint32_t(_mm_cvtsi128_si32(c));
            rows[k] = uint32_t(_mm_cvtsi128_si32(_mm_shuffle_epi32(c, 1)));
        }
#endif
        for (; k < n; ++k) columns[k] = column(xy[2 * k]), rows[k] = row(xy[2 * k + 1]);
    }
    // Cells beyond which a segment is checked on every query instead: one
    // along a full row or column is still filed.
    size_t wide() const { return 2 * size_t(std::max(nx_, ny_)) + 32; }

  private:
    static constexpr size_t kMaxCells = 1 << 18;
    static constexpr uint32_t kMaxSide = 1 << 12;

    static uint32_t cell(double offset, double scale, uint32_t n) {
        const double v = offset * scale;
        if (!(v > 0.0)) return 0;
        if (v >= double(n - 1)) return n - 1;
        return uint32_t(v);
    }

    Box bounds_{0, 0, 0, 0};
    uint32_t nx_ = 1, ny_ = 1;
    double sx_ = 0.0, sy_ = 0.0;
};

// Marks of the segments a query has seen, for those filed under several
// cells.
class SeenMarks {
  public:
    void reset(size_t n) {
        seen_.assign(n, 0);
        stamp_ = 0;
    }
    // Room for ids below n (at least: the marks grow by half at a time).
    void grow(size_t n) {
        if (n > seen_.size()) seen_.resize(std::max(n, seen_.size() + seen_.size() / 2), 0);
    }
    void next() {
        if (++stamp_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            stamp_ = 1;
        }
    }
    // True the first time `id` is met in this query.
    bool first(uint32_t id) {
        if (seen_[id] == stamp_) return false;
        seen_[id] = stamp_;
        return true;
    }

  private:
    std::vector<uint32_t> seen_;
    uint32_t stamp_ = 0;
};

// Visits the segments of a list checked on every query, dropping dead ones.
template <class Live, class F>
bool visit_list(std::vector<uint32_t>& list, Live& live, F& f) {
    for (size_t k = 0; k < list.size();) {
        const uint32_t id = list[k];
        if (!live(id)) {
            list[k] = list.back();
            list.pop_back();
            continue;
        }
        if (f(id)) return true;
        ++k;
    }
    return false;
}

// A grid built once over a fixed set of segments (ids 0..n-1).
class StaticGrid {
  public:
    template <class RangeOf>
    void build(const GridShape& shape, size_t n, RangeOf&& range_of) {
        const size_t cells = shape.cells(), wide = shape.wide();
        single_ = cells == 1;
        wide_.clear();
        if (single_) {  // one cell: every segment in order
            start_.assign({0, uint32_t(n)});
            end_.assign(1, uint32_t(n));
            ids_.resize(n);
            for (size_t id = 0; id < n; ++id) ids_[id] = uint32_t(id);
            return;
        }
        // Each segment's cell (most lie in one) is worked out once, for the
        // count and again for the filing.
        start_.assign(cells + 1, 0);
        cell_of_.resize(n);
        for (size_t id = 0; id < n; ++id) {
            const CellRange r = range_of(id);
            if (r.x0 == r.x1 && r.y0 == r.y1) {
                const auto c = uint32_t(shape.at(r.x0, r.y0));
                cell_of_[id] = c;
                ++start_[c + 1];
            } else {
                cell_of_[id] = kSeveral;
                if (r.count() <= wide)
                    for (uint32_t y = r.y0; y <= r.y1; ++y)
                        for (uint32_t x = r.x0; x <= r.x1; ++x) ++start_[shape.at(x, y) + 1];
            }
        }
        for (size_t c = 0; c < cells; ++c) start_[c + 1] += start_[c];
        ids_.resize(start_[cells]);
        end_.assign(start_.begin(), start_.end() - 1);
        for (size_t id = 0; id < n; ++id) {
            if (const uint32_t c = cell_of_[id]; c != kSeveral) {
                ids_[end_[c]++] = uint32_t(id);
                continue;
            }
            const CellRange r = range_of(id);
            if (r.count() <= wide) {
                for (uint32_t y = r.y0; y <= r.y1; ++y)
                    for (uint32_t x = r.x0; x <= r.x1; ++x) ids_[end_[shape.at(x, y)]++] = uint32_t(id);
            } else {
                wide_.push_back(uint32_t(id));
            }
        }
        seen_.reset(n);
    }

    // Calls f(id) once for every live segment filed under a cell of `q`,
    // until f returns true; returns whether it did.  Segments no longer live
    // are dropped from the cells they are met in: they never come back.
    template <class Live, class F>
    bool visit(const GridShape& shape, const CellRange& q, Live&& live, F&& f) {
        if (visit_list(wide_, live, f)) return true;
        if (!single_) seen_.next();
        for (uint32_t y = q.y0; y <= q.y1; ++y)
            for (uint32_t x = q.x0; x <= q.x1; ++x) {
                const size_t c = shape.at(x, y);
                for (uint32_t k = start_[c]; k < end_[c];) {
                    const uint32_t id = ids_[k];
                    if (!live(id)) {
                        ids_[k] = ids_[--end_[c]];
                        continue;
                    }
                    ++k;
                    if (!single_ && !seen_.first(id)) continue;
                    if (f(id)) return true;
                }
            }
        return false;
    }

  private:
    static constexpr uint32_t kSeveral = UINT32_MAX;  // no cell number: cells() is below 2^18
    std::vector<uint32_t> start_, end_, ids_, wide_, cell_of_;
    SeenMarks seen_;
    bool single_ = true;
};

// A grid that segments join one by one.
class GrowingGrid {
  public:
    void reset(const GridShape& shape) {
        head_.assign(shape.cells(), kNone);
        nodes_.clear();
        wide_.clear();
        seen_.reset(0);
    }

    void insert(const GridShape& shape, uint32_t id, const CellRange& r) {
        seen_.grow(size_t(id) + 1);
        if (r.count() > shape.wide()) {
            wide_.push_back(id);
            return;
        }
        for (uint32_t y = r.y0; y <= r.y1; ++y)
            for (uint32_t x = r.x0; x <= r.x1; ++x) {
                const size_t c = shape.at(x, y);
                nodes_.push_back({id, head_[c]});
                head_[c] = uint32_t(nodes_.size() - 1);
            }
    }

    template <class Live, class F>
    bool visit(const GridShape& shape, const CellRange& q, Live&& live, F&& f) {
        if (visit_list(wide_, live, f)) return true;
        seen_.next();
        for (uint32_t y = q.y0; y <= q.y1; ++y)
            for (uint32_t x = q.x0; x <= q.x1; ++x)
                for (uint32_t* link = &head_[shape.at(x, y)]; *link != kNone;) {
                    Node& node = nodes_[*link];
                    if (!live(node.id)) {
                        *link = node.next;
                        continue;
                    }
                    link = &node.next;
                    if (!seen_.first(node.id)) continue;
                    if (f(node.id)) return true;
                }
        return false;
    }

  private:
    static constexpr uint32_t kNone = UINT32_MAX;
    struct Node {
        uint32_t id, next;
    };
    std::vector<uint32_t> head_;
    std::vector<Node> nodes_;
    std::vector<uint32_t> wide_;
    SeenMarks seen_;
};

}  // namespace lumino::simplify
