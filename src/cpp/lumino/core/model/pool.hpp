// The polygon pool of a parse and the index of the shapes its polygons came
// from, held in C++ (no Python).  ParseGDS shows them to Python through
// sequence and mapping views (py/views.cpp) that make Python objects only
// for what is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <span>
#include <unordered_map>
#include <vector>

namespace lumino {

// Every distinct polygon, in order of first extraction: x0, y0, x1, y1, ...
// in micrometres.  The parse only appends; a caller may replace an entry.
class PolygonPool {
  public:
    size_t size() const { return start_.size() - 1; }
    // The coordinates of polygon k (2 per point).
    std::span<const double> operator[](size_t k) const {
        return {xy_.data() + start_[k], start_[k + 1] - start_[k]};
    }
    // Room for `polygons` more polygons of `values` coordinates in all.
    void reserve(size_t polygons, size_t values) {
        start_.reserve(start_.size() + polygons);
        xy_.reserve(xy_.size() + values);
    }
    void append(std::span<const double> xy) {
        xy_.insert(xy_.end(), xy.begin(), xy.end());
        start_.push_back(xy_.size());
    }
    // Replaces polygon k (later entries keep their places).
    void replace(size_t k, std::span<const double> xy) {
        const auto at = xy_.begin() + std::ptrdiff_t(start_[k]);
        const std::ptrdiff_t delta = std::ptrdiff_t(xy.size()) - std::ptrdiff_t(start_[k + 1] - start_[k]);
        xy_.erase(at, xy_.begin() + std::ptrdiff_t(start_[k + 1]));
        xy_.insert(xy_.begin() + std::ptrdiff_t(start_[k]), xy.begin(), xy.end());
        for (size_t j = k + 1; j < start_.size(); ++j) start_[j] = size_t(std::ptrdiff_t(start_[j]) + delta);
    }
    size_t points() const { return xy_.size() / 2; }
    void clear() {
        xy_.clear();
        start_.assign(1, 0);
    }
    bool operator==(const PolygonPool& o) const { return start_ == o.start_ && xy_ == o.xy_; }

  private:
    std::vector<double> xy_;
    std::vector<size_t> start_{0};
};

// (cell index, layer index, shape position): one shape of a cell.
struct ShapeKey {
    int64_t cell = 0, layer = 0, pos = 0;
    bool operator==(const ShapeKey&) const = default;
};

struct ShapeKeyHash {
    size_t operator()(const ShapeKey& k) const noexcept {
        uint64_t h = uint64_t(k.cell) * 0x9E3779B97F4A7C15ull;
        h ^= uint64_t(k.layer) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
        h ^= uint64_t(k.pos) + 0x94D049BB133111EBull + (h << 6) + (h >> 2);
        return size_t(h);
    }
};

// Shape -> pool index, in insertion order.
class ShapeIndex {
  public:
    size_t size() const { return order_.size(); }
    // The pool index of a shape, -1 when it has none.
    int64_t find(const ShapeKey& k) const {
        auto it = index_.find(k);
        return it == index_.end() ? -1 : it->second;
    }
    // Maps a shape (a new one goes last; a known one keeps its place).
    void set(const ShapeKey& k, int64_t value) {
        auto [it, added] = index_.try_emplace(k, value);
        if (added)
            order_.push_back(k);
        else
            it->second = value;
    }
    void reserve(size_t n) {
        order_.reserve(order_.size() + n);
        index_.reserve(index_.size() + n);
    }
    // Unmaps a shape; false when it had no entry.
    bool erase(const ShapeKey& k) {
        if (index_.erase(k) == 0) return false;
        for (size_t n = order_.size(); n-- > 0;)
            if (order_[n] == k) {
                order_.erase(order_.begin() + std::ptrdiff_t(n));
                break;
            }
        return true;
    }
    void clear() {
        order_.clear();
        index_.clear();
    }
    const ShapeKey& key(size_t n) const { return order_[n]; }
    int64_t value(size_t n) const { return index_.at(order_[n]); }
    bool operator==(const ShapeIndex& o) const { return order_.size() == o.order_.size() && index_ == o.index_; }

  private:
    std::vector<ShapeKey> order_;
    std::unordered_map<ShapeKey, int64_t, ShapeKeyHash> index_;
};

}  // namespace lumino
