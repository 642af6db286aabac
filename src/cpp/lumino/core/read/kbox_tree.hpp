// KLayout's boxes and the order its box trees give their objects.  KLayout
// keeps every list of shapes (per kind) and of instances in a box tree;
// iterating it yields the objects in the order the tree's sort leaves them:
// insertion order for up to 100 objects, beyond that a recursive split into
// quadrants around the centre of their bounding box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumino::core::kbox {

// An integer box; empty when left > right or bottom > top.
struct Box {
    int32_t l = 1, b = 1, r = -1, t = -1;

    static Box point(int32_t x, int32_t y) { return Box{x, y, x, y}; }
    bool empty() const { return l > r || b > t; }
    void add(int32_t x, int32_t y) {
        if (empty()) {
            l = r = x, b = t = y;
        } else {
            l = x < l ? x : l, r = x > r ? x : r, b = y < b ? y : b, t = y > t ? y : t;
        }
    }
    void add(const Box& o) {
        if (o.empty()) return;
        if (empty()) {
            *this = o;
        } else {
            l = o.l < l ? o.l : l, b = o.b < b ? o.b : b, r = o.r > r ? o.r : r, t = o.t > t ? o.t : t;
        }
    }
    bool operator==(const Box& o) const { return l == o.l && b == o.b && r == o.r && t == o.t; }
};

// Reorders `elements` (indices into `boxes`, in insertion order) into the
// order of KLayout's box tree after sorting; `bbox` is the union of their
// boxes.
void tree_sort(std::vector<uint32_t>& elements, const Box* boxes, const Box& bbox);

}  // namespace lumino::core::kbox
