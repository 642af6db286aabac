// The viewer message: the parse of a layout, combined per top cell (and per
// layer), turned into parts by the part-tree builder and written as JSON
// text.  Arrays (pool polygons, placement matrices) go from doubles to
// float32 to base64 without any intermediate copy of the whole message.
#include "lumino/core/message.hpp"

#include <memory>
#include <unordered_map>

#include "lumino/core/base64.hpp"
#include "lumino/core/combine.hpp"
#include "lumino/core/json.hpp"
#include "lumino/core/parts.hpp"

namespace lumino::core {

const std::string_view kViewerConfig =
    R"({"_splash":false,"ambient_intensity":1,"angular_tolerance":0.2,"axes":false,"axes0":true,)"
    R"("black_edges":false,"center_grid":false,"collapse":3,"control":"trackball","default_color":"#e8b024",)"
    R"("default_edgecolor":"#707070","default_facecolor":"Violet","default_opacity":0.5,)"
    R"("default_thickedgecolor":"MediumOrchid","default_vertexcolor":"MediumOrchid","direct_intensity":1.1,)"
    R"("explode":false,"glass":true,"grid":[false,false,false],"helper_scale":10,"metalness":0.3,)"
    R"("modifier_keys":{"shift":"shiftKey","ctrl":"ctrlKey","meta":"metaKey","alt":"altKey"},)"
    R"("new_tree_behavior":true,"ortho":true,"pan_speed":1,"render_edges":true,"render_joints":false,)"
    R"("render_mates":false,"render_normals":false,"reset_camera":"reset","rotate_speed":1,"roughness":0.65,)"
    R"("show_parent":false,"show_sketch_local":true,"ticks":10,"timeit":false,"tools":true,"transparent":false,)"
    R"("up":"Z","zoom_speed":1,"normal_len":0})";

namespace {

constexpr std::string_view kOrigin = R"([[0.0,0.0,0.0],[0.0,0.0,0.0,1.0]])";

// {"shape":[n],"dtype":"float32","buffer":"<base64>","codec":"b64"} of n floats.
void append_buffer(std::string& out, const float* values, size_t n) {
    out += R"({"shape":[)";
    json::append_int(out, int64_t(n));
    out += R"(],"dtype":"float32","buffer":")";
    const size_t bytes = n * sizeof(float), at = out.size();
    out.resize(at + base64::encoded_size(bytes));
    base64::encode(reinterpret_cast<const uint8_t*>(values), bytes, out.data() + at);
    out += R"(","codec":"b64"})";
}

// The parse's combined trees as the builder reads them, with the tables the
// writer resolves placement and polygon-list numbers through.
struct ParsedView {
    ViewTree tree;
    std::vector<CombinedTree> combined;             // owns the placements
    std::vector<const Places*> places;              // by ViewTree::Node::placements
    std::vector<const std::vector<int64_t>*> lists;  // by PolygonList::list
    size_t text_size = 0;                            // about what the parts take as text

    // Appends the items below (and including) `item` in pre-order; with a
    // slot, each node keeps only that slot's polygons.
    uint32_t add(const ParseTree& t, const CombinedTree& c, int64_t slot) {
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
            const size_t matrices = base64::encoded_size(24 * (placed ? it.places->size() : 0));
            for (const auto& [s, idx] : cell.polygons) {
                if (slot >= 0 && s != uint32_t(slot)) continue;
                tree.add_list(s, uint32_t(lists.size()));
                lists.push_back(&idx);
                text_size += 300 + cell.name.size() + matrices + 8 * idx.size();
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
};

// Writes the parts as the message's JSON.
class JsonSink : public PartSink {
  public:
    JsonSink(std::string& out, const ParsedView& view, const std::vector<LayerEntry>& table,
             const std::vector<uint32_t>& entry_of_slot)
        : out_(out), view_(view), table_(table), entry_(entry_of_slot) {}

    bool ok() const { return ok_; }
    bool any() const { return !first_; }  // whether the root has parts

    void open(const Group& g) override {
        child();
        if (!json::valid_utf8(g.name)) ok_ = false;
        out_ += R"({"name":)";
        json::append_string(out_, g.name);
        out_ += R"(,"id":)";
        json::append_string(out_, g.id);
        out_ += R"(,"version":"3","loc":)";
        out_ += kOrigin;
        open_.push_back(false);
    }

    void part(const Leaf& p) override {
        child();
        const LayerEntry& layer = table_[entry_[p.list.layer]];
        out_ += R"({"name":)";
        json::append_string(out_, p.name);
        out_ += R"(,"id":)";
        json::append_string(out_, p.id);
        out_ += R"(,"version":"3","loc":[[0,0,)";
        json::append_double(out_, layer.zmin);
        out_ += R"(],[0,0,0,1]],"shape":{)";
        const std::vector<int64_t>& refs = *view_.lists[p.list.list];
        if (!refs.empty()) {
            out_ += R"("refs":[)";
            for (size_t k = 0; k < refs.size(); ++k) {
                if (k) out_ += ',';
                json::append_int(out_, refs[k]);
            }
            out_ += "],";
        }
        out_ += R"("height":)";
        json::append_double(out_, layer.height);
        out_ += R"(,"matrices":)";
        out_ += matrices(view_.tree.nodes[p.node]);
        out_ += R"(},"color":)";
        json::append_string(out_, layer.color);
        out_ += R"(,"renderback":false,"state":[1,1],"type":"polygon","subtype":"solid"})";
    }

    void close() override {
        out_ += open_.back() ? "]}" : "}";
        open_.pop_back();
    }

  private:
    // Before a child: the parent's "parts" opens with its first child.
    void child() {
        if (open_.empty()) {
            out_ += first_ ? R"(,"parts":[)" : ",";
            first_ = false;
            return;
        }
        out_ += open_.back() ? "," : R"(,"parts":[)";
        open_.back() = true;
    }

    // The buffer record of a node's placement matrices (a, b, tx, c, d, ty
    // each), made once per node; a top cell has none.
    const std::string& matrices(const ViewTree::Node& node) {
        const uint32_t key = node.placed ? node.placements : UINT32_MAX;
        if (key == cached_) return matrices_;
        cached_ = key;
        matrices_.clear();
        std::vector<float> values;
        if (node.placed) {
            const Places& places = *view_.places[node.placements];
            values.reserve(6 * places.size());
            for (const Place& p : places)
                for (double e : tx::matrix(p.v)) values.push_back(static_cast<float>(e));
        }
        append_buffer(matrices_, values.data(), values.size());
        return matrices_;
    }

    std::string& out_;
    const ParsedView& view_;
    const std::vector<LayerEntry>& table_;
    const std::vector<uint32_t>& entry_;
    std::vector<char> open_;  // per open group: whether "parts" has begun
    bool first_ = true;       // the root's first part is still to come
    bool ok_ = true;
    uint32_t cached_ = UINT32_MAX - 1;
    std::string matrices_;
};

}  // namespace

MessageStatus message_text(Layout&& layout, const MessageSettings& settings, const Simplifier& simplify,
                           std::string& out, uint32_t& missing) {
    for (const LayerEntry& e : settings.table)
        if (!json::positional(e.height) || !json::positional(e.zmin) || !json::valid_utf8(e.name) ||
            !json::valid_utf8(e.color))
            return MessageStatus::not_writable;

    // The layer map: the layout's layers that the table knows, in order.
    ParseInput in;
    in.layout = &layout;
    in.consume = true;
    in.tops = layout.top_cells;
    in.unit = tx::unit_of_dbu(layout.dbu);
    in.tolerance = settings.tolerance;
    std::vector<uint32_t> entry_of_slot;
    std::vector<LayerView> views;
    for (size_t k = 0; k < layout.layers.size(); ++k) {
        for (size_t e = 0; e < settings.table.size(); ++e) {
            const LayerEntry& entry = settings.table[e];
            if (entry.layer != layout.layers[k].layer || entry.datatype != layout.layers[k].datatype) continue;
            in.layers.push_back(k);
            entry_of_slot.push_back(uint32_t(e));
            views.push_back(LayerView{true, entry.name, entry.excluded});
            break;
        }
    }
    ParseTree t;
    if (!parse(in, simplify, t, missing)) return MessageStatus::missing_cell;

    {
        // The parts; their trees are freed before the pool is written.
        ParsedView view;
        const ParseTreeNodes nodes{t};
        for (uint32_t top : t.tops) {
            if (settings.by_cell) {
                view.combined.push_back(combine_tree(nodes, top));
                view.tree.roots.push_back(view.add(t, view.combined.back(), -1));
                continue;
            }
            for (uint32_t slot = 0; slot < in.layers.size(); ++slot) {
                const std::vector<char> keep = kept_for_slot(t, top, slot);
                if (!keep[top]) continue;
                view.combined.push_back(combine_tree(nodes, top, &keep));
                view.tree.layer_roots.emplace_back(slot, view.add(t, view.combined.back(), slot));
            }
        }

        // Room for the whole text at once: the pool's buffers are most of it.
        size_t expected = kViewerConfig.size() + view.text_size + 200 * view.tree.nodes.size();
        for (const Outline& o : t.added) expected += base64::encoded_size(o.size() * sizeof(float)) + 80;
        out.clear();
        out.reserve(expected + expected / 8);
        out += R"({"type":"data","data":{"name":)";
        out += settings.by_cell ? R"("Cells","id":"/Cells")" : R"("Layers","id":"/Layers")";
        out += R"(,"version":"3","loc":)";
        out += kOrigin;
        JsonSink sink(out, view, settings.table, entry_of_slot);
        if (settings.by_cell)
            build_by_cell(view.tree, views, sink);
        else
            build_by_layer(view.tree, views, sink);
        if (!sink.ok()) return MessageStatus::not_writable;
        if (sink.any()) out += ']';
    }
    std::vector<ParseTree::Node>().swap(t.nodes);
    t.cells.clear();
    out += R"(,"format":"GDS")";
    if (!t.added.empty()) {
        out += R"(,"instances":[)";
        std::vector<float> values;
        for (size_t k = 0; k < t.added.size(); ++k) {
            if (k) out += ',';
            values.assign(t.added[k].begin(), t.added[k].end());
            append_buffer(out, values.data(), values.size());
            Outline().swap(t.added[k]);  // written: freed at once
        }
        out += ']';
    }
    out += R"(},"config":)";
    out += kViewerConfig;
    out += '}';
    return MessageStatus::ok;
}

}  // namespace lumino::core
