// The part-tree builder: walks a combined cell tree with its own stack (any
// depth) and hands each Parts and Part to the sink with its path id.
#include "lumino/core/model/parts.hpp"

namespace lumino::core {

uint32_t ViewTree::open(std::string_view name, bool placed, uint32_t placements) {
    Node n;
    n.name = name;
    n.placed = placed;
    n.placements = placements;
    n.first_list = uint32_t(lists.size());
    nodes.push_back(n);
    return uint32_t(nodes.size() - 1);
}

void ViewTree::add_list(uint32_t layer, uint32_t list) {
    lists.push_back(PolygonList{layer, list});
    ++nodes.back().lists;
}

namespace {

// A depth-first walk over the subtree of `root` that keeps the path id of
// the current node: `enter(n, id)` returns whether to go below n (its
// children are offered in order); `leave(n)` follows its subtree.
template <class Enter, class Leave>
void walk(const ViewTree& t, uint32_t root, std::string& id, Enter&& enter, Leave&& leave) {
    struct Frame {
        uint32_t node, next;
        size_t id_length;
    };
    std::vector<Frame> stack;
    auto push = [&](uint32_t n) {
        const size_t before = id.size();
        id += '/';
        id += t.nodes[n].name;
        if (enter(n, std::string_view(id)))
            stack.push_back(Frame{n, n + 1, before});
        else
            id.resize(before);
    };
    push(root);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.node + t.nodes[f.node].size) {
            const uint32_t child = f.next;
            f.next += t.nodes[child].size;
            push(child);
            continue;
        }
        leave(f.node);
        id.resize(f.id_length);
        stack.pop_back();
    }
}

}  // namespace

void build_by_cell(const ViewTree& t, const std::vector<LayerView>& layers, PartSink& sink) {
    // Which nodes show something: a layer of their own that is not excluded,
    // or a child that shows something.
    std::vector<char> shows(t.nodes.size(), 0);
    for (size_t n = t.nodes.size(); n-- > 0;) {
        const ViewTree::Node& node = t.nodes[n];
        bool s = false;
        for (uint32_t k = 0; k < node.lists && !s; ++k) s = !layers[t.lists[node.first_list + k].layer].excluded;
        for (size_t c = n + 1; c < n + node.size && !s; c += t.nodes[c].size) s = shows[c];
        shows[n] = s;
    }
    std::string id = "/Cells", leaf_id;
    for (uint32_t root : t.roots) {
        if (!shows[root]) continue;
        walk(
            t, root, id,
            [&](uint32_t n, std::string_view node_id) {
                if (!shows[n]) return false;
                const ViewTree::Node& node = t.nodes[n];
                sink.open(PartSink::Group{node.name, node_id, n, 0});
                for (uint32_t k = 0; k < node.lists; ++k) {
                    const ViewTree::PolygonList& list = t.lists[node.first_list + k];
                    const LayerView& layer = layers[list.layer];
                    if (layer.excluded) continue;
                    leaf_id.assign(node_id).append("/").append(layer.name);
                    sink.part(PartSink::Leaf{layer.name, leaf_id, n, list});
                }
                return true;
            },
            [&](uint32_t) { sink.close(); });
    }
}

void build_by_layer(const ViewTree& t, const std::vector<LayerView>& layers, PartSink& sink) {
    std::string id, leaf_id;
    for (const auto& [layer, root] : t.layer_roots) {
        const LayerView& view = layers[layer];
        if (!view.known || view.excluded) continue;
        id.assign("/Layers/").append(view.name);
        sink.open(PartSink::Group{view.name, id, PartSink::kNoNode, layer});
        walk(
            t, root, id,
            [&](uint32_t n, std::string_view node_id) {
                const ViewTree::Node& node = t.nodes[n];
                sink.open(PartSink::Group{node.name, node_id, n, layer});
                if (node.lists > 0) {
                    leaf_id.assign(node_id).append("/components");
                    sink.part(PartSink::Leaf{"components", leaf_id, n, t.lists[node.first_list]});
                }
                return true;
            },
            [&](uint32_t) { sink.close(); });
        sink.close();
    }
}

}  // namespace lumino::core
