// Layer statistics of a layout read by the direct reader.
#include "lumino/core/read/summary.hpp"

#include <algorithm>
#include <utility>

namespace lumino::core {

std::vector<uint32_t> hierarchy_levels(const Layout& layout) {
    const size_t n = layout.cells.size();
    constexpr uint32_t kUnknown = UINT32_MAX;  // no level: levels stay below the cell count
    std::vector<uint32_t> levels(n, kUnknown);
    // Children first, without recursion: hierarchies may be thousands deep.
    std::vector<std::pair<uint32_t, size_t>> stack;
    for (uint32_t root = 0; root < n; ++root) {
        if (levels[root] != kUnknown) continue;
        stack.emplace_back(root, 0);
        while (!stack.empty()) {
            auto& [ci, k] = stack.back();
            const std::vector<Instance>& insts = layout.cells[ci].instances;
            if (k < insts.size()) {
                const uint32_t child = insts[k++].child;
                if (child < n && levels[child] == kUnknown) stack.emplace_back(child, 0);
                continue;
            }
            uint32_t deepest = 0;
            for (const Instance& inst : insts)
                if (inst.child < n && levels[inst.child] != kUnknown) deepest = std::max(deepest, levels[inst.child] + 1);
            levels[ci] = deepest;
            stack.pop_back();
        }
    }
    return levels;
}

LayoutSummary summarize(const Layout& layout) {
    LayoutSummary out;
    out.dbu = layout.dbu;
    for (const Cell& c : layout.cells) out.cells += c.exists ? 1 : 0;
    out.top_cells = layout.top_cells;
    out.layers.reserve(layout.layers.size());
    for (const LayerInfo& info : layout.layers) out.layers.push_back(LayerTally{info.layer, info.datatype, 0, 0});
    for (const Cell& c : layout.cells) {
        const size_t m = std::min(c.shapes.size(), out.layers.size());
        for (size_t li = 0; li < m; ++li) {
            const Shapes& s = c.shapes[li];
            const uint64_t drawn = uint64_t(std::count_if(s.polygon.begin(), s.polygon.end(), [](uint8_t p) { return p != 0; }));
            out.layers[li].shapes += drawn;
            out.layers[li].texts += s.size() - drawn;
        }
    }
    if (!layout.top_cells.empty()) {
        const std::vector<uint32_t> levels = hierarchy_levels(layout);
        for (uint32_t ci : layout.top_cells)
            if (ci < levels.size()) out.depth = std::max(out.depth, levels[ci]);
    }
    return out;
}

}  // namespace lumino::core
