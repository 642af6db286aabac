// The viewer message: the parse of a layout, combined per top cell (and per
// layer), turned into parts by the part-tree builder and written as JSON
// text.  The text is made twice over the same parts: first only counted,
// then written into storage of the counted size.  Arrays (pool polygons,
// placement matrices) go from float32 to base64 straight into that storage.
#include "lumino/core/emit/message.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "lumino/core/emit/base64.hpp"
#include "lumino/core/emit/json.hpp"
#include "lumino/core/model/budget.hpp"
#include "lumino/core/model/parsed_view.hpp"
#include "lumino/core/model/parts.hpp"

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

// Where the text goes, in order: only counted (the sizing pass), or copied
// into a destination of the counted size (the writing pass), never past its
// end.  Short pieces gather in a scratch text that is moved on in blocks;
// long ones (base64) are written where they belong.
class TextOut {
  public:
    TextOut() = default;
    TextOut(char* dest, size_t capacity) : dest_(dest), capacity_(capacity) {}

    // Short pieces are appended here; call spill() now and then.
    std::string& text() { return scratch_; }
    void spill() {
        if (scratch_.size() >= kSpill) flush();
    }

    // Room for n bytes at the current end: where to write them (null when
    // counting, or when they would not fit).
    char* room(size_t n) {
        flush();
        char* at = writable(n) ? dest_ + size_ : nullptr;
        size_ += n;
        return at;
    }

    // The text written so far, from `offset` (writing pass; null otherwise).
    const char* at(size_t offset) const { return dest_ && offset <= capacity_ ? dest_ + offset : nullptr; }

    void flush() {
        if (dest_) {
            if (writable(scratch_.size())) std::memcpy(dest_ + size_, scratch_.data(), scratch_.size());
        } else {
            // The bytes or-ed together, eight at a time.
            const char* p = scratch_.data();
            const size_t n = scratch_.size();
            uint64_t bits = 0;
            size_t k = 0;
            for (; k + 8 <= n; k += 8) {
                uint64_t w;
                std::memcpy(&w, p + k, 8);
                bits |= w;
            }
            for (; k < n; ++k) bits |= static_cast<unsigned char>(p[k]);
            ascii_ = ascii_ && (bits & 0x8080808080808080ull) == 0;
        }
        size_ += scratch_.size();
        scratch_.clear();
    }

    bool counting() const { return dest_ == nullptr; }

    // After flush(): bytes so far; whether they are all ASCII (counting);
    // whether they all fitted (writing).
    size_t size() const { return size_; }
    bool ascii() const { return ascii_; }
    bool fitted() const { return !overflow_; }

  private:
    static constexpr size_t kSpill = 1 << 16;

    bool writable(size_t n) {
        if (!dest_) return false;
        if (n > capacity_ - std::min(size_, capacity_)) {
            overflow_ = true;
            return false;
        }
        return true;
    }

    char* dest_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
    bool ascii_ = true, overflow_ = false;
    std::string scratch_;
};

// {"shape":[n],"dtype":"float32","buffer":"<base64>","codec":"b64"} of n
// floats (not read when counting).  Returns where the base64 text begins
// (0 when counting).
size_t put_buffer(TextOut& to, const float* values, size_t n) {
    if (to.counting()) {  // only the length counts; all of it is ASCII
        constexpr size_t kFixed = sizeof R"({"shape":[],"dtype":"float32","buffer":"","codec":"b64"})" - 1;
        to.room(kFixed + json::int_length(int64_t(n)) + base64::encoded_size(n * sizeof(float)));
        return 0;
    }
    std::string& t = to.text();
    t += R"({"shape":[)";
    json::append_int(t, int64_t(n));
    t += R"(],"dtype":"float32","buffer":")";
    const size_t bytes = n * sizeof(float);
    to.flush();
    const size_t offset = to.size();
    if (char* at = to.room(base64::encoded_size(bytes))) base64::encode(reinterpret_cast<const uint8_t*>(values), bytes, at);
    to.text() += R"(","codec":"b64"})";
    return offset;
}

// Gives the whole memory pages of [from, to) back to the system: their
// contents are not read again.  Returns where the next release begins.
// Only pages wholly inside the range are given back; elsewhere a no-op.
const char* release_pages(const char* from, const char* to) {
#if defined(__linux__)
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(from) + page - 1) / page * page;
    const uintptr_t end = uintptr_t(to) / page * page;
    if (page > 0 && end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
        return reinterpret_cast<const char*>(end);
    }
    return from;
#else
    (void)to;
    return from;
#endif
}

// Writes the parts as the message's JSON.
class JsonSink : public PartSink {
  public:
    JsonSink(TextOut& to, const ParsedView& view, const std::vector<LayerEntry>& table,
             const std::vector<uint32_t>& entry_of_slot)
        : to_(to), view_(view), table_(table), entry_(entry_of_slot), numbers_(table.size()) {}

    bool ok() const { return ok_; }
    bool any() const { return !first_; }  // whether the root has parts

    void open(const Group& g) override {
        child();
        if (!json::valid_utf8(g.name)) ok_ = false;
        std::string& out = to_.text();
        out += R"({"name":)";
        json::append_string(out, g.name);
        out += R"(,"id":)";
        json::append_string(out, g.id);
        out += R"(,"version":"3","loc":)";
        out += kOrigin;
        open_.push_back(false);
        to_.spill();
    }

    void part(const Leaf& p) override {
        child();
        const LayerEntry& layer = table_[entry_[p.list.layer]];
        std::string& out = to_.text();
        out += R"({"name":)";
        json::append_string(out, p.name);
        out += R"(,"id":)";
        json::append_string(out, p.id);
        const LayerNumbers& numbers = numbers_of(entry_[p.list.layer]);
        out += R"(,"version":"3","loc":[[0,0,)";
        out += numbers.zmin;
        out += R"(],[0,0,0,1]],"shape":{)";
        const std::vector<int64_t>& refs = *view_.lists[p.list.list];
        if (!refs.empty() && to_.counting()) {  // only the length counts (digits are ASCII)
            out += R"("refs":[)";
            size_t n = refs.size() - 1;  // the commas
            for (int64_t ref : refs) n += json::int_length(ref);
            to_.room(n);
            to_.text() += "],";
        } else if (!refs.empty()) {
            out += R"("refs":[)";
            for (size_t k = 0; k < refs.size(); ++k) {
                if (k) out += ',';
                json::append_int(out, refs[k]);
                if ((k & 4095) == 4095) to_.spill();
            }
            to_.text() += "],";
        }
        to_.text() += R"("height":)";
        to_.text() += numbers.height;
        to_.text() += R"(,"matrices":)";
        matrices(view_.tree.nodes[p.node]);
        to_.text() += R"(},"color":)";
        json::append_string(to_.text(), layer.color);
        to_.text() += R"(,"renderback":false,"state":[1,1],"type":"polygon","subtype":"solid"})";
        to_.spill();
    }

    void close() override {
        to_.text() += open_.back() ? "]}" : "}";
        open_.pop_back();
    }

  private:
    // A layer's zmin and height as JSON, written once: every part of the
    // layer repeats them.
    struct LayerNumbers {
        bool made = false;
        std::string zmin, height;
    };
    const LayerNumbers& numbers_of(uint32_t entry) {
        LayerNumbers& n = numbers_[entry];
        if (!n.made) {
            json::append_double(n.zmin, table_[entry].zmin);
            json::append_double(n.height, table_[entry].height);
            n.made = true;
        }
        return n;
    }

    // Before a child: the parent's "parts" opens with its first child.
    void child() {
        std::string& out = to_.text();
        if (open_.empty()) {
            out += first_ ? R"(,"parts":[)" : ",";
            first_ = false;
            return;
        }
        out += open_.back() ? "," : R"(,"parts":[)";
        open_.back() = true;
    }

    // The buffer record of a node's placement matrices (a, b, tx, c, d, ty
    // each); a top cell has none.  Each list of placements is encoded once:
    // a node's parts, and the nodes of other slots that share the list, copy
    // its base64 text from where it went.
    void matrices(const ViewTree::Node& node) {
        const Places* places = node.placed ? view_.places[node.placements] : nullptr;
        if (to_.counting()) {  // only the length counts
            put_buffer(to_, nullptr, places ? 6 * places->size() : 0);
            return;
        }
        auto [it, added] = written_.try_emplace(places);
        if (added) {
            if (places)
                float_matrices(*places, values_, node.name);
            else
                values_.clear();
            it->second = Written{put_buffer(to_, values_.data(), values_.size()), values_.size()};
            return;
        }
        const Written w = it->second;
        std::string& t = to_.text();
        t += R"({"shape":[)";
        json::append_int(t, int64_t(w.floats));
        t += R"(],"dtype":"float32","buffer":")";
        const size_t n = base64::encoded_size(w.floats * sizeof(float));
        const char* from = to_.at(w.at);
        if (char* at = to_.room(n); at && from) std::memcpy(at, from, n);
        to_.text() += R"(","codec":"b64"})";
    }

    // Where a placements list's base64 text went, and its number of floats.
    struct Written {
        size_t at = 0, floats = 0;
    };

    TextOut& to_;
    const ParsedView& view_;
    const std::vector<LayerEntry>& table_;
    const std::vector<uint32_t>& entry_;
    std::vector<char> open_;  // per open group: whether "parts" has begun
    bool first_ = true;       // the root's first part is still to come
    bool ok_ = true;
    std::unordered_map<const Places*, Written> written_;
    Floats values_;
    std::vector<LayerNumbers> numbers_;  // by table entry
};

}  // namespace

// The pool is given back in steps of this many bytes while it is written.
constexpr std::ptrdiff_t kReleaseStep = 1 << 20;

struct Message::State {
    MessageSettings settings;
    std::vector<uint32_t> entry_of_slot;
    std::vector<LayerView> views;
    ParseTree tree;
    ParsedView view;
    // The pool as the message holds it: polygon k is floats[start[k] .. start[k + 1]).
    std::vector<float> floats;
    std::vector<size_t> start;
    size_t size = 0;
    bool ascii = true;
    std::string refusal;

    // Once the parts are written only the pool is read: the parse goes, and
    // what it held goes back to the system before the pool's text grows.
    void release_tree() {
        view = ParsedView();
        tree = ParseTree();
        views = std::vector<LayerView>();
        release_free_memory(size);
    }

    // The whole text, into `to`.  False when a text is not writable.
    bool emit(TextOut& to) {
        std::string& t = to.text();
        t += R"({"type":"data","data":{"name":)";
        t += settings.by_cell ? R"("Cells","id":"/Cells")" : R"("Layers","id":"/Layers")";
        t += R"(,"version":"3","loc":)";
        t += kOrigin;
        {
            JsonSink sink(to, view, settings.table, entry_of_slot);
            if (settings.by_cell)
                build_by_cell(view.tree, views, sink);
            else
                build_by_layer(view.tree, views, sink);
            if (!sink.ok()) return false;
            if (sink.any()) to.text() += ']';
        }
        if (!to.counting()) release_tree();
        to.text() += R"(,"format":"GDS")";
        const size_t polygons = start.size() - 1;
        if (polygons > 0) {
            to.text() += R"(,"instances":[)";
            // While writing, the pool's pages already written go back to the
            // system, so that the pool shrinks as the text grows.
            const char* released = reinterpret_cast<const char*>(floats.data());
            for (size_t k = 0; k < polygons; ++k) {
                if (k) to.text() += ',';
                put_buffer(to, floats.data() + start[k], start[k + 1] - start[k]);
                to.spill();
                const char* done = reinterpret_cast<const char*>(floats.data() + start[k + 1]);
                if (!to.counting() && done - released >= kReleaseStep) released = release_pages(released, done);
            }
            to.text() += ']';
        }
        to.text() += R"(},"config":)";
        to.text() += kViewerConfig;
        to.text() += '}';
        to.flush();
        return true;
    }
};

Message::Message() : s_(std::make_unique<State>()) {}
Message::~Message() = default;

MessageStatus Message::make(Layout&& layout, const MessageSettings& settings, const Simplifier& simplify,
                            uint32_t& missing, Presimplifier* presimplified) {
    State& s = *s_;
    for (const LayerEntry& e : settings.table)
        if (!json::positional(e.height) || !json::positional(e.zmin) || !json::valid_utf8(e.name) ||
            !json::valid_utf8(e.color))
            return MessageStatus::not_writable;
    s.settings = settings;

    // The layer map: the layout's layers that the table knows, in order.
    ParseInput in;
    in.layout = &layout;
    in.consume = true;
    in.keep_keys = false;
    in.tops = layout.top_cells;
    in.unit = tx::unit_of_dbu(layout.dbu);
    in.tolerance = settings.tolerance;
    in.presimplified = presimplified;
    for (size_t k = 0; k < layout.layers.size(); ++k) {
        for (size_t e = 0; e < settings.table.size(); ++e) {
            const LayerEntry& entry = settings.table[e];
            if (entry.layer != layout.layers[k].layer || entry.datatype != layout.layers[k].datatype) continue;
            in.layers.push_back(k);
            s.entry_of_slot.push_back(uint32_t(e));
            s.views.push_back(LayerView{true, entry.name, entry.excluded});
            break;
        }
    }
    ParseTree& t = s.tree;
    if (!parse(in, simplify, t, missing)) return MessageStatus::missing_cell;
    layout = Layout();  // what the parse did not reach

    // The pool in float32, as the message holds it; the doubles go.
    size_t values = 0;
    for (const Outline& o : t.added) values += o.size();
    s.floats.resize(values);
    s.start.reserve(t.added.size() + 1);
    s.start.push_back(0);
    float* to = s.floats.data();
    for (Outline& o : t.added) {
        for (double v : o) *to++ = static_cast<float>(v);
        s.start.push_back(size_t(to - s.floats.data()));
        Outline().swap(o);
    }
    std::vector<Outline>().swap(t.added);

    view_parse(t, settings.by_cell, uint32_t(in.layers.size()), s.view);
    // The tree's size first (linear in its nodes), then the text's exact
    // length (linear in the text), each held against the budget before
    // anything of that size is made.
    const PartTreeSize tree_size = part_tree_size(s.view.tree, s.views, settings.by_cell);
    if (tree_size.least_bytes() > settings.memory_budget) {
        s.refusal = over_budget(tree_size, tree_size.least_bytes(), settings.memory_budget, false);
        return MessageStatus::too_large;
    }
    TextOut count;
    if (!s.emit(count)) return MessageStatus::not_writable;
    if (count.size() > settings.memory_budget) {
        s.refusal = over_budget(tree_size, count.size(), settings.memory_budget, true);
        return MessageStatus::too_large;
    }
    s.size = count.size();
    s.ascii = count.ascii();
    return MessageStatus::ok;
}

void release_free_memory(size_t message_size) {
#if defined(__GLIBC__)
    if (message_size >= kTrimFrom) malloc_trim(0);
#else
    (void)message_size;
#endif
}

size_t Message::size() const { return s_->size; }
bool Message::ascii() const { return s_->ascii; }
const std::string& Message::refusal() const { return s_->refusal; }

bool Message::write(char* out) {
    TextOut to(out, s_->size);
    s_->emit(to);
    const bool same = to.fitted() && to.size() == s_->size;
    *s_ = State();
    return same;
}

MessageStatus message_text(Layout&& layout, const MessageSettings& settings, const Simplifier& simplify,
                           std::string& out, uint32_t& missing) {
    Message m;
    const MessageStatus status = m.make(std::move(layout), settings, simplify, missing);
    if (status != MessageStatus::ok) return status;
    out.assign(m.size(), '\0');
    if (!m.write(out.data())) throw std::logic_error("the message text did not come out at its counted size");
    return MessageStatus::ok;
}

}  // namespace lumino::core
