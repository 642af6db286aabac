// Reference combining (no Python): per level of a top cell's tree, the
// references to one child cell merge into one that stands for the first of
// them and carries the placements of all of them relative to the top cell.
//
// Works on any tree in pre-order whose nodes know their subtree size, a
// grouping key (the cell) and their own placements: the parse tree, and the
// snapshot of a caller's records.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "lumino/core/model/tree.hpp"

namespace lumino::core {

// A top cell's tree with references combined: per level one item per child
// cell, in order of first occurrence, standing for the first node of its
// group and holding the placements of all members relative to the top (all
// parent placements for the first own placement, then all for the second,
// ...).  At the first level the members' own placements pass unchanged (with
// their tags); below, every placement is a new composition (tag -1).
struct CombinedTree {
    struct Item {
        uint32_t node;                         // in the source tree
        std::shared_ptr<const Places> places;  // null for the top cell
        std::vector<uint32_t> children;        // items
    };
    std::vector<Item> items;  // items[0] is the top cell
};

// The parse tree as combine_tree reads it.
struct ParseTreeNodes {
    const ParseTree& t;
    uint32_t size(uint32_t n) const { return t.nodes[n].size; }
    uint64_t key(uint32_t n) const { return t.nodes[n].cell->ci; }
    PlaceSpan places(uint32_t n) const { return t.nodes[n].places(); }
};

// Combined placements kept for the trees that follow, found by the parent's
// placements and the group's members: the trees of one parse's slots meet
// the same groups under the same parents, and share their placements
// instead of composing them again.  Every placements list it hands out is
// held here, so a parent's address is not reused while it lives.
class CombinedPlaces {
  public:
    template <class Make>
    std::shared_ptr<const Places> get(const Places* parent, const std::vector<uint32_t>& members, Make&& make) {
        uint64_t h = std::hash<const void*>()(parent);
        for (uint32_t m : members) h = (h ^ m) * 0x100000001b3ull;
        std::vector<Entry>& bucket = entries_[h];
        for (const Entry& e : bucket)
            if (e.parent == parent && e.members == members) return e.places;
        bucket.push_back(Entry{parent, members, make()});
        return bucket.back().places;
    }

  private:
    struct Entry {
        const Places* parent;
        std::vector<uint32_t> members;
        std::shared_ptr<const Places> places;
    };
    std::unordered_map<uint64_t, std::vector<Entry>> entries_;
};

// Combines the subtree of `top`; with `keep`, only nodes it marks take part;
// with `shared`, placements combined before under the same parent are
// taken from it.  Tree: size(n), key(n) and places(n) of every node below
// `top`.
template <class Tree>
CombinedTree combine_tree(const Tree& t, uint32_t top, const std::vector<char>* keep = nullptr,
                          CombinedPlaces* shared = nullptr) {
    auto each_child = [&](uint32_t n, auto&& f) {
        const uint32_t end = n + t.size(n);
        for (uint32_t c = n + 1; c < end; c += t.size(c))
            if (!keep || (*keep)[c]) f(c);
    };
    CombinedTree c;
    c.items.push_back(CombinedTree::Item{top, nullptr, {}});
    std::vector<uint32_t> todo{0};
    while (!todo.empty()) {
        const uint32_t at = todo.back();
        todo.pop_back();
        const uint32_t owner = c.items[at].node;
        const std::shared_ptr<const Places> parent = c.items[at].places;

        std::unordered_map<uint64_t, size_t> position;
        std::vector<std::vector<uint32_t>> groups;
        each_child(owner, [&](uint32_t n) {
            auto [it, added] = position.try_emplace(t.key(n), groups.size());
            if (added) groups.emplace_back();
            groups[it->second].push_back(n);
        });
        for (const auto& members : groups) {
            auto make = [&] {
                auto places = std::make_shared<Places>();
                size_t total = 0;
                for (uint32_t m : members) total += t.places(m).size() * (parent ? parent->size() : 1);
                places->reserve(total);
                for (uint32_t m : members) {
                    const PlaceSpan own = t.places(m);
                    if (!parent) {
                        places->insert(places->end(), own.begin(), own.end());
                        continue;
                    }
                    for (const Place& child : own)
                        for (const Place& p : *parent) places->push_back(Place{tx::compose(p.v, child.v), -1});
                }
                return std::shared_ptr<const Places>(std::move(places));
            };
            std::shared_ptr<const Places> places = shared ? shared->get(parent.get(), members, make) : make();
            const uint32_t item = uint32_t(c.items.size());
            c.items.push_back(CombinedTree::Item{members.front(), std::move(places), {}});
            c.items[at].children.push_back(item);
            bool has_children = false;
            each_child(members.front(), [&](uint32_t) { has_children = true; });
            if (has_children) todo.push_back(item);
        }
    }
    return c;
}

}  // namespace lumino::core
