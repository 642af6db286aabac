// The shapes of the cell a reader is reading, staged per layer and kind
// until the cell ends, then appended to the cell in KLayout's Shapes.each()
// order: by kind (simple polygons, paths, boxes, texts), within a kind those
// without properties before those with, and each such group in the order of
// KLayout's box tree (insertion order up to 100 shapes, a spatial order
// beyond).  It also sums up the box of every shape of the cell, which
// KLayout's instance order needs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/kbox_tree.hpp"
#include "lumino/core/read/kpolygon.hpp"

namespace lumino::core {

enum class ShapeKind : uint8_t { polygon = 0, path = 1, box = 2, text = 3 };

class ShapeStage {
  public:
    // A layer gets the next index; its shapes are kept or only counted.
    void add_layer(bool kept);
    size_t layers() const { return kept_.size(); }
    bool kept(uint32_t li) const { return kept_[li] != 0; }

    // A shape of the cell being read: its box counts for the cell's box; on
    // a kept layer the list its entry goes to is returned (null otherwise),
    // where the caller appends it with push_hull or push_none.
    Shapes* stage(uint32_t li, ShapeKind kind, bool props, const kbox::Box& box);
    static void push_hull(Shapes& s, const kpoly::Point* points, size_t n);
    static void push_none(Shapes& s);

    // The box of every shape staged since the last flush.
    const kbox::Box& cell_box() const { return cell_box_; }

    // Appends the staged shapes to `cell` (its shape lists made one per
    // layer first), each group in box-tree order when `order` is set, in
    // staging order otherwise; the stage is then empty.
    void flush(Cell& cell, bool order);

  private:
    static constexpr size_t kHandOverAt = size_t(1) << 16;  // coordinates (256 KB)
    struct Group {
        Shapes shapes;
        std::vector<kbox::Box> boxes;
    };
    std::vector<char> kept_;
    std::vector<std::array<Group, 8>> groups_;
    std::vector<uint32_t> dirty_;  // layers with shapes staged
    std::vector<char> dirty_flag_;
    std::vector<uint32_t> order_;
    kbox::Box cell_box_;
};

}  // namespace lumino::core
