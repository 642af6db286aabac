// What the GDS2 reader's parts share: the state's set-up, the layer table
// with the shapes staged per layer and kind, and the element and instance
// helpers every part uses.
#include <algorithm>

#include "lumino/core/read/gds_reader.hpp"
#include "lumino/core/read/klayout_releases.hpp"

namespace lumino::core::gds {

bool valid_utf8(const std::string& s) {
    size_t k = 0;
    while (k < s.size()) {
        const uint8_t c = uint8_t(s[k]);
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++k;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            n = 1, cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            n = 2, cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (k + n >= s.size()) return false;
        for (size_t j = 1; j <= n; ++j) {
            const uint8_t d = uint8_t(s[k + j]);
            if ((d & 0xc0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3f);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff)) ||
            (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        k += n + 1;
    }
    return true;
}

State::State(const uint8_t* data, size_t size, const GdsReadOptions& given, Layout& layout)
    : rec(data, size),
      options(given),
      out(layout),
      listing(given.listing),
      typed_strings(klayout_reads_typed_strings(given.klayout_version)) {
    if (listing) {
        *listing = StreamListing();
        options.all_layers = true;
        options.texts = true;
        options.order = false;
        options.cells = nullptr;
    }
    for (const auto& [layer, datatype] : given.layers)
        if (layer >= 0 && layer <= 0xffff && datatype >= 0 && datatype <= 0xffff)
            keep_pairs.insert(uint32_t(layer) << 16 | uint32_t(datatype));
    for (const std::string& name : given.libraries) libraries.insert(name);
}

uint32_t State::open_layer(uint16_t layer, uint16_t datatype) {
    const uint32_t key = uint32_t(layer) << 16 | datatype;
    // Every 32-bit value is some pair's key: whether one is cached is a
    // flag of its own.
    if (has_last_layer && key == last_layer_key) return last_layer;
    auto it = layer_index.find(key);
    uint32_t li;
    if (it != layer_index.end()) {
        li = it->second;
    } else {
        if (out.layers.size() >= kMaxIndex) decline("too many layers");
        li = uint32_t(out.layers.size());
        out.layers.push_back(LayerInfo{li, layer, datatype});
        layer_index.emplace(key, li);
        keep.push_back(options.all_layers || keep_pairs.count(key) != 0);
        dirty_flag.push_back(0);
        not_held.push_back(0);
        stage.emplace_back();
    }
    last_layer_key = key;
    last_layer = li;
    has_last_layer = true;
    return li;
}

bool State::finish_element(bool read_properties) {
    bool any = false;
    while (true) {
        const uint16_t id = rec.get();
        if (id == sENDEL) break;
        if (id == sPROPATTR) {
            if (read_properties) rec.get_ushort();
        } else if (id == sPROPVALUE) {
            any = true;
        } else if (id == sTEXT || id == sPATH || id == sBOUNDARY || id == sBOX || id == sAREF || id == sSREF ||
                   id == sENDSTR) {
            rec.unget(id);
            break;
        } else {
            decline("ENDEL, PROPATTR or PROPVALUE record expected");
        }
    }
    return any;
}

void State::add_shape(uint32_t li, int kind, bool props, const Box& box, const std::vector<Point>* hull) {
    Shapes* s = stage_shape(li, kind, props, box);
    if (!s) return;
    if (hull) {
        static_assert(sizeof(Point) == 2 * sizeof(int32_t));
        const int32_t* xy = reinterpret_cast<const int32_t*>(hull->data());
        s->xy.insert(s->xy.end(), xy, xy + 2 * hull->size());
    }
    s->polygon.push_back(hull ? 1 : 0);
    s->start.push_back(s->xy.size() / 2);
    CellSink::tell_last(options.cells, *s, out.dbu);
}

Shapes* State::stage_shape(uint32_t li, int kind, bool props, const Box& box) {
    cell_box.add(box);
    if (!kept(li)) return nullptr;
    if (!dirty_flag[li]) {
        dirty_flag[li] = 1;
        dirty.push_back(li);
    }
    Stage& st = stage[li][size_t(kind + (props ? 1 : 0))];
    if (st.boxes.size() >= kMaxIndex) decline("too many shapes in one cell");
    st.boxes.push_back(box);
    return &st.shapes;
}

void State::skip_element_start(uint16_t expected, const char* what) {
    uint16_t id;
    do {
        id = rec.get();
    } while (id == sELFLAGS || id == sPLEX);
    if (id != expected) decline(what);
}

Shapes& State::listed(uint32_t li) {
    if (!dirty_flag[li]) {
        dirty_flag[li] = 1;
        dirty.push_back(li);
    }
    return stage[li][0].shapes;
}

void State::add_instance(std::vector<Instance>& dst, const Instance& inst) {
    if (out.cells[current].instances.size() + with_props.size() >= kMaxIndex)
        decline("too many instances in one cell");
    dst.push_back(inst);
}

}  // namespace lumino::core::gds
