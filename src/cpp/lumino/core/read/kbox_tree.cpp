// The sort of KLayout's box tree, which decides the order in which KLayout
// iterates shapes and instances.
#include "lumino/core/read/kbox_tree.hpp"

namespace lumino::core::kbox {

namespace {

// Lists up to this size stay as they are; quadrants are made when at least
// this many objects fall into them; a box thinner than 1:4 is only halved
// along its long side.
constexpr size_t kMinBin = 100, kMinQuads = 100;
constexpr uint32_t kThinAspect = 4;

// Widths are unsigned and centres computed with wrapping 32-bit arithmetic,
// as KLayout's are.
uint32_t width(const Box& b) { return uint32_t(b.r) - uint32_t(b.l); }
uint32_t height(const Box& b) { return uint32_t(b.t) - uint32_t(b.b); }
int32_t plus(int32_t c, uint32_t d) { return int32_t(uint32_t(c) + d); }

Box make(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    return Box{x1 < x2 ? x1 : x2, y1 < y2 ? y1 : y2, x2 > x1 ? x2 : x1, y2 > y1 ? y2 : y1};
}

void sort_range(uint32_t* from, uint32_t* to, const Box* boxes, const Box& bbox) {
    const size_t ntot = size_t(to - from);
    if (ntot <= kMinBin || (width(bbox) < 2 && height(bbox) < 2)) return;

    // Bins: overlapping the centre lines, upper right, upper left, lower
    // left, lower right, empty.
    uint32_t* qloc[6] = {from, from, from, from, from, from};
    int32_t cx, cy;
    if (width(bbox) < height(bbox) / kThinAspect) {
        cx = bbox.l, cy = plus(bbox.b, height(bbox) / 2);
    } else if (height(bbox) < width(bbox) / kThinAspect) {
        cx = plus(bbox.l, width(bbox) / 2), cy = bbox.b;
    } else {
        cx = plus(bbox.l, width(bbox) / 2), cy = plus(bbox.b, height(bbox) / 2);
    }

    for (uint32_t* e = from; e != to; ++e) {
        const Box& b = boxes[*e];
        int q = 0;
        if (b.empty()) {
            q = 5;
        } else if (b.r <= cx) {
            if (b.t <= cy) {
                q = 3;
            } else if (b.b >= cy) {
                q = 2;
            }
        } else if (b.l >= cx) {
            if (b.t <= cy) {
                q = 4;
            } else if (b.b >= cy) {
                q = 1;
            }
        }
        // Room for the element at the end of its bin: the first element of
        // each later bin moves to that bin's end.
        if (q < 5) {
            const uint32_t el = *e;
            for (int i = 5; i > q; --i) {
                *qloc[i] = *qloc[i - 1];
                ++qloc[i];
            }
            *qloc[q] = el;
        }
        ++qloc[q];
    }

    size_t n[4], nn = 0;
    for (int i = 0; i < 4; ++i) {
        n[i] = size_t(qloc[i + 1] - qloc[i]);
        nn += n[i];
    }
    if (nn < kMinQuads) return;

    const Box quads[4] = {make(cx, cy, bbox.r, bbox.t), make(bbox.l, cy, cx, bbox.t), make(bbox.l, bbox.b, cx, cy),
                          make(cx, bbox.b, bbox.r, cy)};
    for (int q = 0; q < 4; ++q)
        if (n[q] > 0) sort_range(qloc[q], qloc[q + 1], boxes, quads[q]);
}

}  // namespace

void tree_sort(std::vector<uint32_t>& elements, const Box* boxes, const Box& bbox) {
    if (elements.empty()) return;
    sort_range(elements.data(), elements.data() + elements.size(), boxes, bbox);
}

}  // namespace lumino::core::kbox
