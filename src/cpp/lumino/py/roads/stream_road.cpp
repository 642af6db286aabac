// Reading a KLayout layout into core::Layout: cells reached from the tops,
// their shapes on the requested layers and their instances.  Polygons and
// transformations are taken in KLayout's binary form (decoded here), a call
// per shape or instance instead of one per point; large layouts are read
// from KLayout's GDS2 serialisation, listed by the core's GDS2 reader, where
// it gives what KLayout holds.
#include "lumino/py/roads/stream_road.hpp"

#include <cmath>
#include <cstring>
#include <deque>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "lumino/core/read/gds.hpp"
#include "lumino/core/model/trans.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/ktrans.hpp"

namespace lumino {

using corvane::module_attr;

namespace {

// Hull points from KLayout's binary form of a polygon: a 16-bit version
// (1), a 64-bit contour count, then per contour a 64-bit point count and
// 64-bit x, y pairs; the hull is the first contour.  False (and nothing
// appended) unless the bytes have exactly that layout.
bool parse_polygon_bytes(nb::handle bytes, std::vector<int32_t>& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    auto u64 = [&](Py_ssize_t at) {
        uint64_t v;
        std::memcpy(&v, data + at, 8);
        return v;
    };
    if (size < 10 || data[0] != 1 || data[1] != 0) return false;
    const uint64_t contours = u64(2);
    Py_ssize_t at = 10, hull_at = 0;
    uint64_t hull_n = 0;
    for (uint64_t k = 0; k < contours; ++k) {
        if (at + 8 > size) return false;
        const uint64_t n = u64(at);
        at += 8;
        if (n > uint64_t(size - at) / 16) return false;
        if (k == 0) hull_at = at, hull_n = n;
        at += Py_ssize_t(n * 16);
    }
    if (at != size || contours == 0) return false;
    for (uint64_t k = 0; k < 2 * hull_n; ++k) {
        int64_t v;
        std::memcpy(&v, data + hull_at + Py_ssize_t(8 * k), 8);
        if (v < INT32_MIN || v > INT32_MAX) return false;
    }
    out.reserve(out.size() + 2 * hull_n);
    for (uint64_t k = 0; k < 2 * hull_n; ++k) {
        int64_t v;
        std::memcpy(&v, data + hull_at + Py_ssize_t(8 * k), 8);
        out.push_back(int32_t(v));
    }
    return true;
}

// A simple transformation from KLayout's binary form of a Trans: a 16-bit
// version (1), a 16-bit rotation code (0-3 rotations, 4-7 mirrored), 64-bit
// x and y.  False unless the bytes have exactly that layout.
bool parse_trans_bytes(nb::handle bytes, core::Trans& t) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    uint16_t version, code;
    int64_t x, y;
    if (size != 20) return false;
    std::memcpy(&version, data, 2);
    std::memcpy(&code, data + 2, 2);
    std::memcpy(&x, data + 4, 8);
    std::memcpy(&y, data + 12, 8);
    if (version != 1 || code > 7) return false;
    t.rot = code & 3;
    t.mirror = code >= 4;
    t.dx = double(x);
    t.dy = double(y);
    return true;
}

// Child and placements of one instance.  A simple instance costs a few
// calls into KLayout whatever its size: the index, two flags, the
// transformation's binary form, and for a regular array its two step
// vectors and counts.  A complex instance is read element by element, each
// decoded and its KLayout object kept.
core::Instance read_instance(nb::handle inst, std::vector<nb::object>& tagged, std::vector<core::Listed>& listed) {
    core::Instance d;
    d.child = nb::cast<uint32_t>(inst.attr("cell_index"));
    if (nb::cast<bool>(inst.attr("is_complex")())) {
        nb::object cia = inst.attr("cell_inst");
        corvane::for_each(cia.attr("each_cplx_trans")(), [&](nb::object t) {
            const tx::Values v = read_transformation(t);
            core::Listed& e = listed.emplace_back();
            e.trans.complex = v.complex;
            e.trans.mirror = v.mirror;
            e.trans.rot = v.quarter;
            e.trans.angle = v.angle;
            e.trans.mag = v.mag;
            e.trans.dx = v.dx;
            e.trans.dy = v.dy;
            e.tag = core::Tag(tagged.size());
            tagged.push_back(t);
            ++d.listed;
        });
        return d;
    }
    const bool array = nb::cast<bool>(inst.attr("is_regular_array")());
    nb::object trans = inst.attr("trans");
    // The binary form where the release has it (klayout 0.30.9 on).
    nb::object trans_bytes = nb::getattr(trans, "to_bytes", nb::none());
    if (trans_bytes.is_none() || !parse_trans_bytes(trans_bytes(), d.trans)) {
        const tx::Values v = read_transformation(trans);
        d.trans.rot = v.quarter;
        d.trans.mirror = v.mirror;
        d.trans.dx = v.dx;
        d.trans.dy = v.dy;
    }
    if (!array) return d;
    nb::object a = inst.attr("a"), b = inst.attr("b");
    d.array = true;
    d.ax = nb::cast<int64_t>(a.attr("x")), d.ay = nb::cast<int64_t>(a.attr("y"));
    d.bx = nb::cast<int64_t>(b.attr("x")), d.by = nb::cast<int64_t>(b.attr("y"));
    const long long na = nb::cast<long long>(inst.attr("na")), nb_ = nb::cast<long long>(inst.attr("nb"));
    d.na = uint32_t(std::max(0LL, na));
    d.nb = uint32_t(std::max(0LL, nb_));
    return d;
}

// The layout's GDS2 serialisation as the core's reader lists it: each
// cell's shapes per layer and its placements in the order KLayout iterates
// them, with what of them is as KLayout holds it.
struct Stream {
    core::Layout layout;
    core::StreamListing listing;
    std::unordered_map<std::string, uint32_t> cells;  // the stream's defined cells by name
    std::unordered_map<uint32_t, uint32_t> layers;    // its layer indices by (layer << 16 | datatype)
    std::vector<uint32_t> caller;       // by stream cell: the caller's cell index of that name
    std::vector<uint8_t> caller_known;  // by stream cell: whether `caller` holds one
    bool callers_ready = false;
};

uint32_t pair_key(int32_t layer, int32_t datatype) { return uint32_t(layer) << 16 | uint32_t(datatype); }

// The layout's GDS2 serialisation (KLayout writes it in memory in about the
// time of its read), listed into `stream`; false when the layout cannot be
// serialised or listed, and the plain reading is used.
bool read_stream(const ReadRequest& r, Stream& stream) {
    nb::object bytes;
    try {
        nb::object options = module_attr("kdb").attr("SaveLayoutOptions")();
        options.attr("format") = "GDS2";
        // One element per polygon, however many points it has.
        options.attr("gds2_multi_xy_records") = true;
        options.attr("gds2_write_timestamps") = false;
        // Only the layers the parse reads.
        options.attr("deselect_all_layers")();
        nb::object get_info = r.layout.attr("get_info");
        for (const LayerToRead& l : r.layers) options.attr("add_layer")(l.index, get_info(l.index));
        bytes = r.layout.attr("write_bytes")(options);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    core::GdsReadOptions options;
    options.listing = &stream.listing;
    std::string reason;
    if (!core::read_gds(reinterpret_cast<const uint8_t*>(data), size_t(size), options, stream.layout, reason))
        return false;
    for (uint32_t ci = 0; ci < stream.layout.cells.size(); ++ci)
        if (!stream.layout.cells[ci].ghost) stream.cells.emplace(stream.layout.cells[ci].name, ci);
    for (const core::LayerInfo& l : stream.layout.layers) stream.layers.emplace(pair_key(l.layer, l.datatype), l.index);
    return true;
}

// Below this many shapes (on the read layers) and instances, reading them
// one by one costs less than serialising the layout, whose cost grows with
// its points.
constexpr size_t kItemsForStream = 1000;

// Whether the layout holds at least kItemsForStream shapes and instances;
// counts cell by cell and stops as soon as it knows.
bool worth_streaming(const ReadRequest& r) {
    if (r.layers.empty()) return false;
    size_t items = 0;
    bool enough = false;
    try {
        corvane::for_each(r.layout.attr("each_cell")(), [&](nb::object cell) {
            if (enough) return;
            items += nb::cast<size_t>(cell.attr("child_instances")());
            for (const LayerToRead& l : r.layers) {
                items += nb::cast<size_t>(cell.attr("shapes")(l.index).attr("size")());
                if (items >= kItemsForStream) {
                    enough = true;
                    return;
                }
            }
        });
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    return enough;
}

class Reader {
  public:
    Reader(const ReadRequest& r, Stream* stream, LayoutRead& out) : r_(r), stream_(stream), out_(out) {}

    void run() {
        std::deque<std::pair<uint32_t, nb::object>> todo;
        for (const nb::object& top : r_.tops) todo.emplace_back(nb::cast<uint32_t>(top.attr("cell_index")()), top);
        while (!todo.empty()) {
            auto [ci, kcell] = std::move(todo.front());
            todo.pop_front();
            if (at(ci).exists) continue;
            read_cell(ci, kcell);
            for (size_t k = 0; k < out_.layout.cells[ci].instances.size(); ++k) {
                const uint32_t child = out_.layout.cells[ci].instances[k].child;
                if (at(child).exists || queued(child)) continue;
                auto it = r_.cells.find(child);
                if (it != r_.cells.end()) todo.emplace_back(child, it->second);
            }
        }
    }

  private:
    core::Cell& at(uint32_t ci) {
        auto& cells = out_.layout.cells;
        if (ci >= cells.size()) {
            const size_t before = cells.size();
            cells.resize(size_t(ci) + 1);
            for (size_t k = before; k < cells.size(); ++k) cells[k].exists = false;
            queued_.resize(cells.size(), 0);
        }
        return cells[ci];
    }

    bool queued(uint32_t ci) {
        if (queued_[ci]) return true;
        queued_[ci] = 1;
        return false;
    }

    void read_cell(uint32_t ci, nb::handle kcell) {
        nb::object name = kcell.attr("name");
        const bool text_name = PyUnicode_Check(name.ptr());
        std::string name_text = text_name ? to_utf8(name) : text_of(name);
        const uint32_t* s = nullptr;  // the cell in the stream
        if (stream_ && text_name) {
            auto it = stream_->cells.find(name_text);
            if (it != stream_->cells.end()) s = &it->second;
        }
        std::vector<core::Shapes> shapes(r_.layers.size());
        for (size_t k = 0; k < r_.layers.size(); ++k) {
            const LayerToRead& layer = r_.layers[k];
            nb::object kshapes = kcell.attr("shapes")(layer.index);
            if (s && layer.has_pair && listed_shapes(*s, layer, nb::cast<size_t>(kshapes.attr("size")()), shapes[k]))
                continue;
            core::Shapes& out = shapes[k];
            corvane::for_each(kshapes.attr("each")(), [&](nb::object shape) {
                // Texts, edges and points have no polygon form: they keep
                // their place in the numbering.
                nb::object polygon = shape.attr("polygon");
                if (!polygon.is_none()) polygon_points(polygon, out.xy);
                out.polygon.push_back(polygon.is_none() ? 0 : 1);
                out.start.push_back(out.xy.size() / 2);
            });
        }
        std::vector<core::Instance> insts;
        std::vector<core::Listed> listed;
        if (!(s && listed_instances(*s, nb::cast<size_t>(kcell.attr("child_instances")()), insts)))
            corvane::for_each(kcell.attr("each_inst")(),
                              [&](nb::object inst) { insts.push_back(read_instance(inst, out_.tagged, listed)); });
        core::Cell& c = at(ci);
        c.exists = true;
        c.name = std::move(name_text);
        c.shapes = std::move(shapes);
        c.instances = std::move(insts);
        c.listed = std::move(listed);
    }

    // The shapes of stream cell `s` on the layer's pair, when the stream
    // gives them as KLayout holds them, `expected` in all (KLayout's
    // count): moved into `out`.  False, and `out` untouched, otherwise.
    bool listed_shapes(uint32_t s, const LayerToRead& layer, size_t expected, core::Shapes& out) {
        auto it = stream_->layers.find(pair_key(layer.layer, layer.datatype));
        if (it == stream_->layers.end()) return expected == 0;  // no shape of the stream is on it
        const uint32_t li = it->second;
        const std::vector<uint8_t>& held = stream_->listing.shapes_as_held[s];
        if (li < held.size() && !held[li]) return false;
        core::Shapes& listed = stream_->layout.cells[s].shapes[li];
        if (listed.size() != expected) return false;
        out = std::move(listed);
        listed = core::Shapes();
        return true;
    }

    // The instances of stream cell `s`, when the stream gives them as
    // KLayout holds them, `expected` in all (KLayout's count), and the
    // caller's layout has a cell of each child's name.  False, and `out`
    // untouched, otherwise.
    bool listed_instances(uint32_t s, size_t expected, std::vector<core::Instance>& out) {
        const std::vector<core::Instance>& listed = stream_->layout.cells[s].instances;
        if (!stream_->listing.placements_as_held[s] || listed.size() != expected) return false;
        if (!stream_->callers_ready) {
            const std::unordered_map<std::string, uint32_t>& by_name = names();
            const size_t n = stream_->layout.cells.size();
            stream_->caller.assign(n, 0);
            stream_->caller_known.assign(n, 0);
            for (size_t ci = 0; ci < n; ++ci) {
                auto it = by_name.find(stream_->layout.cells[ci].name);
                if (it == by_name.end()) continue;
                stream_->caller[ci] = it->second;
                stream_->caller_known[ci] = 1;
            }
            stream_->callers_ready = true;
        }
        for (const core::Instance& inst : listed)
            if (!stream_->caller_known[inst.child]) return false;
        std::vector<core::Instance> insts = listed;
        for (core::Instance& inst : insts) inst.child = stream_->caller[inst.child];
        out = std::move(insts);
        return true;
    }

    // Cell indices by name, for the stream's placements.
    const std::unordered_map<std::string, uint32_t>& names() {
        if (!names_ready_) {
            for (const auto& [ci, kcell] : r_.cells) {
                nb::object name = kcell.attr("name");
                if (ci >= 0 && ci <= int64_t(UINT32_MAX)) names_.emplace(text_of(name), uint32_t(ci));
            }
            names_ready_ = true;
        }
        return names_;
    }

    const ReadRequest& r_;
    Stream* stream_;  // the serialisation as listed, or none
    LayoutRead& out_;
    std::vector<char> queued_;
    std::unordered_map<std::string, uint32_t> names_;
    bool names_ready_ = false;
};

}  // namespace

void polygon_points(nb::handle polygon, std::vector<int32_t>& xy) {
    nb::object to_bytes = nb::getattr(polygon, "to_bytes", nb::none());
    if (!to_bytes.is_none() && parse_polygon_bytes(to_bytes(), xy)) return;
    // The plain reading, point by point, which the binary one reproduces.
    nb::object dpoly = polygon.attr("to_dtype")();
    corvane::for_each(dpoly.attr("each_point_hull")(), [&](nb::object p) {
        xy.push_back(int32_t(std::llround(nb::cast<double>(p.attr("x")))));
        xy.push_back(int32_t(std::llround(nb::cast<double>(p.attr("y")))));
    });
}

double layout_unit(nb::handle layout) {
    nb::object dbu = nb::getattr(layout, "dbu", nb::none());
    if (!PyFloat_Check(dbu.ptr()) && !PyLong_Check(dbu.ptr())) return 0.0;
    const double v = PyFloat_AsDouble(dbu.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!std::isfinite(v) || v <= 0.0) return 0.0;
    return tx::unit_of_dbu(v);
}

LayoutRead read_layout(const ReadRequest& r) {
    LayoutRead out;
    const double unit = layout_unit(r.layout);
    out.layout.dbu = unit == 0.0 ? 0.001 : unit;
    for (const LayerToRead& l : r.layers)
        out.layout.layers.push_back(core::LayerInfo{l.value, l.has_pair ? l.layer : -1, l.has_pair ? l.datatype : -1});
    Stream stream;
    const bool streamed = r.use_stream && worth_streaming(r) && read_stream(r, stream);
    Reader(r, streamed ? &stream : nullptr, out).run();
    if (streamed) {
        stream = Stream();  // read: its memory goes before the pool grows
#ifdef __GLIBC__
        malloc_trim(0);  // and so does what serialising and reading left free
#endif
    }
    for (const nb::object& top : r.tops) out.layout.top_cells.push_back(nb::cast<uint32_t>(top.attr("cell_index")()));
    return out;
}

}  // namespace lumino
