// A parse laid out for the part-tree builder.
#include "lumino/core/model/parsed_view.hpp"

#include <array>

#include "lumino/core/model/float_range.hpp"

namespace lumino::core {

uint32_t ParsedView::add(const ParseTree& t, const CombinedTree& c, int64_t slot) {
    struct Frame {
        uint32_t item, node;
        size_t next;
    };
    std::vector<Frame> stack;
    auto open = [&](uint32_t item) {
        const CombinedTree::Item& it = c.items[item];
        const CellData& cell = *t.nodes[it.node].cell;
        const bool placed = it.places != nullptr;
        const uint32_t node = tree.open(cell.name, placed, uint32_t(places.size()));
        places.push_back(it.places.get());
        cells.push_back(&cell);
        for (const auto& [s, idx] : cell.polygons) {
            if (slot >= 0 && s != uint32_t(slot)) continue;
            tree.add_list(s, uint32_t(lists.size()));
            lists.push_back(&idx);
        }
        stack.push_back(Frame{item, node, 0});
        return node;
    };
    const uint32_t root = open(0);
    while (!stack.empty()) {
        Frame& f = stack.back();
        const auto& children = c.items[f.item].children;
        if (f.next < children.size()) {
            open(children[f.next++]);
            continue;
        }
        tree.close(f.node);
        stack.pop_back();
    }
    return root;
}

void view_parse(const ParseTree& t, bool by_cell, uint32_t slots, ParsedView& out) {
    const ParseTreeNodes nodes{t};
    CombinedPlaces shared;
    for (uint32_t top : t.tops) {
        if (by_cell) {
            out.combined.push_back(combine_tree(nodes, top));
            out.tree.roots.push_back(out.add(t, out.combined.back(), -1));
            continue;
        }
        const SlotsBelow below(t, top, slots);
        for (uint32_t slot = 0; slot < slots; ++slot) {
            if (!below.any(slot)) continue;
            const std::vector<char> keep = below.kept(slot);
            out.combined.push_back(combine_tree(nodes, top, &keep, &shared));
            out.tree.layer_roots.emplace_back(slot, out.add(t, out.combined.back(), slot));
        }
    }
}

void float_matrices(const Places& places, Floats& out, std::string_view cell) {
    out.resize(6 * places.size());
    float* to = out.data();
    for (const Place& p : places) {
        const std::array<double, 6> m = tx::matrix(p.v);
        check_float_range(m.data(), m.size(), cell, "a placement matrix value");
        for (double e : m) *to++ = static_cast<float>(e);
    }
}

}  // namespace lumino::core
