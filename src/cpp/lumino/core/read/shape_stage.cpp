// Shapes staged per layer and kind, flushed in KLayout's order.
#include "lumino/core/read/shape_stage.hpp"

namespace lumino::core {

void ShapeStage::add_layer(bool kept) {
    kept_.push_back(kept ? 1 : 0);
    groups_.emplace_back();
    dirty_flag_.push_back(0);
}

Shapes* ShapeStage::stage(uint32_t li, ShapeKind kind, bool props, const kbox::Box& box) {
    cell_box_.add(box);
    if (!kept_[li]) return nullptr;
    if (!dirty_flag_[li]) {
        dirty_flag_[li] = 1;
        dirty_.push_back(li);
    }
    Group& g = groups_[li][2 * size_t(kind) + (props ? 1 : 0)];
    g.boxes.push_back(box);
    return &g.shapes;
}

void ShapeStage::push_hull(Shapes& s, const kpoly::Point* points, size_t n) {
    static_assert(sizeof(kpoly::Point) == 2 * sizeof(int32_t));
    const int32_t* xy = reinterpret_cast<const int32_t*>(points);
    s.xy.insert(s.xy.end(), xy, xy + 2 * n);
    s.polygon.push_back(1);
    s.start.push_back(s.xy.size() / 2);
}

void ShapeStage::push_none(Shapes& s) {
    s.polygon.push_back(0);
    s.start.push_back(s.xy.size() / 2);
}

void ShapeStage::flush(Cell& cell, bool order) {
    cell.shapes.resize(kept_.size());
    for (uint32_t li : dirty_) {
        dirty_flag_[li] = 0;
        Shapes& dst = cell.shapes[li];
        size_t shapes = 0, coords = 0, groups = 0;
        Group* only = nullptr;
        for (Group& g : groups_[li]) {
            shapes += g.shapes.size(), coords += g.shapes.xy.size();
            if (g.shapes.size()) ++groups, only = &g;
        }
        // A large layer of one group, kept in the order it was read, is
        // handed over as it is: copying it would take as much fresh memory
        // again.  Smaller ones are copied, so that the stage keeps its room.
        if (groups == 1 && dst.size() == 0 && coords >= kHandOverAt && (only->shapes.size() <= 100 || !order)) {
            std::swap(dst, only->shapes);
            only->shapes = Shapes{};
            only->boxes.clear();
            continue;
        }
        dst.xy.reserve(dst.xy.size() + coords);
        dst.polygon.reserve(dst.polygon.size() + shapes);
        dst.start.reserve(dst.start.size() + shapes);
        for (Group& g : groups_[li]) {
            Shapes& src = g.shapes;
            if (src.size() <= 100 || !order) {
                const uint64_t base = dst.xy.size() / 2;
                dst.xy.insert(dst.xy.end(), src.xy.begin(), src.xy.end());
                dst.polygon.insert(dst.polygon.end(), src.polygon.begin(), src.polygon.end());
                for (size_t k = 1; k < src.start.size(); ++k) dst.start.push_back(base + src.start[k]);
            } else {
                order_.resize(g.boxes.size());
                for (size_t k = 0; k < order_.size(); ++k) order_[k] = uint32_t(k);
                kbox::Box all;
                for (const kbox::Box& b : g.boxes) all.add(b);
                kbox::tree_sort(order_, g.boxes.data(), all);
                for (uint32_t k : order_) {
                    dst.xy.insert(dst.xy.end(), src.xy.begin() + ptrdiff_t(2 * src.start[k]),
                                  src.xy.begin() + ptrdiff_t(2 * src.start[k + 1]));
                    dst.polygon.push_back(src.polygon[k]);
                    dst.start.push_back(dst.xy.size() / 2);
                }
            }
            src.xy.clear();
            src.polygon.clear();
            src.start.resize(1);
            g.boxes.clear();
        }
    }
    dirty_.clear();
    cell_box_ = kbox::Box();
}

}  // namespace lumino::core
