// The viewer data of a GDS file made straight from the C++ parse: the same
// part trees as to_viewer makes of the combined records (ids, names, layer
// lookups, exclusion, pruning in the cell-wise tree only), already in the
// map form with base64 buffer records, as asdict and numpy_to_buffer_json
// would leave them.  Placement matrices and pool polygons go from C++
// doubles to float32 to base64 without any intermediate Python object.
#include "lumino/message.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lumino/core/base64.hpp"
#include "lumino/layer_cache.hpp"
#include "lumino/parse.hpp"
#include "lumino/pool_py.hpp"
#include "lumino/pyedge.hpp"
#include "lumino/tree.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

// (owner, name, the object it held when the module was made); never released.
struct Remembered {
    PyObject* owner;
    const char* name;
    PyObject* original;
};

std::vector<Remembered>& remembered() {
    static std::vector<Remembered> r;
    return r;
}

class Builder {
  public:
    Builder(ParseGDS& g, const ParseTree& t) : g_(g), t_(t), layers_(g) {
        nb::list origin, rotation, loc, state;
        for (int k = 0; k < 3; ++k) origin.append(0.0);
        for (int k = 0; k < 3; ++k) rotation.append(0.0);
        rotation.append(1.0);
        loc.append(origin);
        loc.append(rotation);
        default_loc_ = loc;
        state.append(1);
        state.append(1);
        state_ = state;
        empty_matrices_ = buffer(nullptr, 0);
    }

    // "instances" holds the token instead of the pool's records, and the
    // pool is handed out to be written into the encoded text.
    void pool_as_token(nb::handle token, std::shared_ptr<const PolygonPool>* pool_out) {
        token_ = nb::borrow(token);
        pool_out_ = pool_out;
    }

    nb::dict cells() {
        nb::dict data = base(nb::str("Cells"), nb::str("/Cells"));
        nb::list parts;
        for (uint32_t top : t_.tops) {
            const CombinedTree c = combine_tree(t_, top);
            if (nb::object p = cell_parts(c, data["id"]); p.is_valid()) parts.append(p);
        }
        finish(data, parts);
        return data;
    }

    nb::dict layers() {
        nb::dict data = base(nb::str("Layers"), nb::str("/Layers"));
        nb::object root_id = data["id"];
        nb::list parts;
        std::vector<nb::str> keys;
        nb::object map_keys = own(PySequence_List(g_.layer_map.ptr()));
        for (nb::handle key : map_keys) keys.push_back(nb::isinstance<nb::str>(key) ? nb::borrow<nb::str>(key) : nb::str(key));
        for (uint32_t top : t_.tops) {
            for (const nb::str& key : keys) {
                const std::vector<char> keep = kept_for_layer(t_, top, key);
                if (!keep[top]) continue;
                LayerInfo* li = layers_.layer_of(key);
                if (!li || li->excluded) continue;
                nb::object id = concat(root_id, slash_, li->name);
                nb::dict layer_part = parts_map(li->name, id);
                nb::list children;
                children.append(layer_parts(combine_tree(t_, top, &keep), key, *li, id));
                layer_part[k_parts_] = children;
                parts.append(layer_part);
            }
        }
        finish(data, parts);
        return data;
    }

  private:
    nb::dict base(nb::handle name, nb::handle id) {
        nb::dict d;
        d[k_name_] = name;
        d[k_id_] = id;
        d[k_version_] = version_;
        d[k_loc_] = default_loc_;
        return d;
    }

    nb::dict parts_map(nb::handle name, nb::handle id) { return base(name, id); }

    void finish(nb::dict& data, const nb::list& parts) {
        if (parts.size()) data[k_parts_] = parts;
        data["format"] = "GDS";
        std::shared_ptr<PolygonPool> pool = pool_of(g_.instances);
        if (pool && pool->size() && pool_out_) {
            *pool_out_ = pool;
            data["instances"] = token_;
        } else if (pool && pool->size()) {
            nb::list instances = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(pool->size()))).release());
            std::vector<float> values;
            for (size_t k = 0; k < pool->size(); ++k) {
                const std::span<const double> xy = (*pool)[k];
                values.resize(xy.size());
                for (size_t j = 0; j < xy.size(); ++j) values[j] = static_cast<float>(xy[j]);
                PyList_SET_ITEM(instances.ptr(), Py_ssize_t(k), buffer(values.data(), values.size()).release().ptr());
            }
            data["instances"] = instances;
        }
    }

    // {"shape": [n], "dtype": "float32", "buffer": <base64>, "codec": "b64"}
    nb::object buffer(const float* values, size_t n) {
        nb::list shape;
        shape.append(own(PyLong_FromSize_t(n)));
        return buffer_record(shape, float32_, base64_text(reinterpret_cast<const uint8_t*>(values), n * sizeof(float)));
    }

    // The matrices of a combined reference's placements (a, b, tx, c, d, ty
    // each, in order), or those of a top cell (none).
    nb::object matrices(const CombinedTree::Item& item) {
        if (!item.places) return empty_matrices_;
        std::vector<float> values;
        values.reserve(6 * item.places->size());
        for (const Place& p : *item.places)
            for (double e : tx::matrix(p.v)) values.push_back(static_cast<float>(e));
        return buffer(values.data(), values.size());
    }

    nb::dict part(nb::handle name, nb::handle id, const LayerInfo& li, nb::handle refs, nb::handle matrices) {
        nb::dict shape;
        if (PyList_GET_SIZE(refs.ptr()) > 0) shape[k_refs_] = refs;
        shape[k_height_] = li.height;
        shape[k_matrices_] = matrices;
        nb::dict p;
        p[k_name_] = name;
        p[k_id_] = id;
        p[k_version_] = version_;
        p[k_loc_] = li.loc;
        p[k_shape_] = shape;
        p[k_color_] = li.color;
        p[k_renderback_] = false;
        p[k_state_] = state_;
        p[k_type_] = polygon_;
        p[k_subtype_] = solid_;
        return p;
    }

    // Cell-wise: the Parts of a top cell and its combined references, those
    // without any part left out; invalid when the top cell shows nothing.
    nb::object cell_parts(const CombinedTree& c, nb::handle root_id) {
        struct Entry {
            nb::dict map;
            nb::list parts;
            size_t parent;
            bool own_parts;
        };
        std::vector<Entry> entries;
        std::vector<std::pair<uint32_t, size_t>> todo{{0, size_t(-1)}};
        std::vector<nb::object> ids;
        while (!todo.empty()) {
            auto [at, parent] = todo.back();
            todo.pop_back();
            const CombinedTree::Item& item = c.items[at];
            const ParseTree::Node& node = t_.nodes[item.node];
            nb::object parent_id = parent == size_t(-1) ? nb::borrow(root_id) : ids[parent];
            nb::object name = node.cell->name;
            nb::object id = concat(parent_id, slash_, own(PyObject_Str(name.ptr())));
            Entry e{parts_map(name, id), nb::list(), parent, false};
            nb::object m;
            for (auto& [key, idx] : node.cell->polygons) {
                LayerInfo& li = layers_.cell_layer(key, [&] { return g_.layer_map; });
                if (li.excluded) continue;
                layers_.complete(li);
                if (!m.is_valid()) m = matrices(item);
                e.parts.append(part(li.name, concat(id, slash_, li.name), li, int_list(idx), m));
                e.own_parts = true;
            }
            entries.push_back(std::move(e));
            ids.push_back(id);
            const size_t self = entries.size() - 1;
            for (auto it = item.children.rbegin(); it != item.children.rend(); ++it) todo.emplace_back(*it, self);
        }
        // Children before parents: which entries show something.
        std::vector<char> keep(entries.size(), 0);
        for (size_t k = entries.size(); k-- > 0;) {
            keep[k] = keep[k] || entries[k].own_parts;
            if (keep[k] && entries[k].parent != size_t(-1)) keep[entries[k].parent] = 1;
        }
        for (size_t k = 1; k < entries.size(); ++k)
            if (keep[k]) entries[entries[k].parent].parts.append(entries[k].map);
        for (size_t k = 0; k < entries.size(); ++k)
            if (keep[k]) entries[k].map[k_parts_] = entries[k].parts;
        return keep[0] ? nb::object(entries[0].map) : nb::object();
    }

    // Layer-wise: the Parts of a top cell's tree reduced to one layer and
    // combined, each cell with its "components" Part; nothing pruned.
    nb::object layer_parts(const CombinedTree& c, const nb::str& key, LayerInfo& li, nb::handle parent_id) {
        layers_.complete(li);
        std::vector<std::pair<nb::list, nb::object>> parents;  // (parts, id) of each made map
        std::vector<std::pair<uint32_t, size_t>> todo{{0, size_t(-1)}};
        nb::object root;
        while (!todo.empty()) {
            auto [at, parent] = todo.back();
            todo.pop_back();
            const CombinedTree::Item& item = c.items[at];
            const ParseTree::Node& node = t_.nodes[item.node];
            nb::object up = parent == size_t(-1) ? nb::borrow(parent_id) : parents[parent].second;
            nb::object name = node.cell->name;
            nb::object id = concat(up, slash_, own(PyObject_Str(name.ptr())));
            nb::dict map = parts_map(name, id);
            nb::list parts;
            if (const std::vector<Py_ssize_t>* idx = node.cell->on_layer(key))
                parts.append(part(components_, concat(id, slash_components_), li, int_list(*idx), matrices(item)));
            if (parts.size() || !item.children.empty()) map[k_parts_] = parts;
            if (parent == size_t(-1))
                root = map;
            else
                parents[parent].first.append(map);
            parents.emplace_back(parts, id);
            const size_t self = parents.size() - 1;
            for (auto it = item.children.rbegin(); it != item.children.rend(); ++it) todo.emplace_back(*it, self);
        }
        return root;
    }

    ParseGDS& g_;
    const ParseTree& t_;
    LayerCache layers_;
    nb::object default_loc_, state_, empty_matrices_;
    nb::str k_name_{"name"}, k_id_{"id"}, k_version_{"version"}, k_loc_{"loc"}, k_parts_{"parts"},
        k_shape_{"shape"}, k_color_{"color"}, k_renderback_{"renderback"}, k_state_{"state"}, k_type_{"type"},
        k_subtype_{"subtype"}, k_refs_{"refs"}, k_height_{"height"}, k_matrices_{"matrices"}, version_{"3"},
        float32_{"float32"},
        polygon_{"polygon"}, solid_{"solid"}, slash_{"/"}, components_{"components"},
        slash_components_{"/components"};
    std::shared_ptr<const PolygonPool>* pool_out_ = nullptr;
    nb::object token_;
};

// The pool's buffer records as orjson writes them (compact JSON), written
// into a buffer of the size pool_json_size gives.
constexpr std::string_view kRecordHead = "{\"shape\":[", kRecordDtype = "],\"dtype\":\"float32\",\"buffer\":\"",
                           kRecordTail = "\",\"codec\":\"b64\"}";

size_t pool_json_size(const PolygonPool& pool) {
    size_t n = 2 + (pool.size() ? pool.size() - 1 : 0);
    for (size_t k = 0; k < pool.size(); ++k) {
        const size_t values = pool[k].size();
        n += kRecordHead.size() + std::to_string(values).size() + kRecordDtype.size() +
             base64::encoded_size(values * sizeof(float)) + kRecordTail.size();
    }
    return n;
}

void write_pool_json(const PolygonPool& pool, char* out) {
    auto put = [&](std::string_view v) {
        std::memcpy(out, v.data(), v.size());
        out += v.size();
    };
    std::vector<float> values;
    put("[");
    for (size_t k = 0; k < pool.size(); ++k) {
        const std::span<const double> xy = pool[k];
        values.resize(xy.size());
        for (size_t j = 0; j < xy.size(); ++j) values[j] = static_cast<float>(xy[j]);
        if (k) put(",");
        put(kRecordHead);
        put(std::to_string(values.size()));
        put(kRecordDtype);
        const size_t bytes = values.size() * sizeof(float);
        base64::encode(reinterpret_cast<const uint8_t*>(values.data()), bytes, out);
        out += base64::encoded_size(bytes);
        put(kRecordTail);
    }
    put("]");
}

}  // namespace

void remember_plain_road(nb::module_& m) {
    auto keep = [](nb::handle owner, const char* name) {
        nb::object value = nb::getattr(owner, name);
        remembered().push_back(Remembered{owner.inc_ref().ptr(), name, value.release().ptr()});
    };
    for (const char* name : {"to_3D_viewer", "numpy_to_buffer_json", "get_layer_properties", "ParseGDS", "Output",
                             "np", "fields", "Cell", "Reference", "ParsedCells", "ParsedLayers", "ViewerData",
                             "Parts", "Part", "Shape", "KTrans"})
        keep(m, name);
    nb::handle cls = m.attr("ParseGDS");
    for (const char* name : {"export_cells", "export_layers", "combine_references", "to_viewer", "asdict",
                             "get_name", "get_zmin", "get_height", "get_color", "parse_cells"})
        keep(cls, name);
}

bool direct_road_open() {
    for (const Remembered& r : remembered()) {
        PyObject* now = PyObject_GetAttrString(r.owner, r.name);
        if (!now) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(now);
        if (now != r.original) return false;
    }
    return true;
}

nb::dict direct_viewer_data(nb::handle gds_file, nb::handle output, nb::handle layer_stack,
                            nb::handle layer_views, double z, nb::handle curve_tolerance,
                            nb::handle exclude_layers, nb::handle token,
                            std::shared_ptr<const PolygonPool>* pool) {
    nb::object layers = module_attr("get_layer_properties")(layer_stack, layer_views);
    nb::object layout = module_attr("pya").attr("Layout")();
    layout.attr("read")(gds_file);
    nb::object gds = module_attr("ParseGDS")(layout, layers, "z_scale"_a = z, "curve_tolerance"_a = curve_tolerance,
                                             "exclude_layers"_a = exclude_layers);
    ParseGDS& g = nb::cast<ParseGDS&>(gds);
    nb::object Output = module_attr("Output");
    bool by_cell;
    if (equals(output, Output.attr("CELL")))
        by_cell = true;
    else if (equals(output, Output.attr("LAYER")))
        by_cell = false;
    else
        corvane::raise(PyExc_ValueError, "Only Output.CELL and Output.LAYER are allowed");
    std::unique_ptr<ParseTree> tree = g.parse_tree(layout.attr("top_cells")(), true);
    Builder build(g, *tree);
    if (pool) build.pool_as_token(token, pool);
    return by_cell ? build.cells() : build.layers();
}

bool splice(nb::handle encoded, nb::handle token, const PolygonPool& pool, nb::object& text) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) != 0) throw nb::python_error();
    std::string quoted(1, '"');
    quoted += nb::cast<std::string>(token);
    quoted += '"';
    const std::string_view all(data, size_t(size));
    const size_t at = all.find(quoted);
    if (at == std::string_view::npos || all.find(quoted, at + 1) != std::string_view::npos) return false;
    const std::string_view head = all.substr(0, at), tail = all.substr(at + quoted.size());
    auto ascii = [](std::string_view v) {
        return std::all_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    const size_t n = head.size() + pool_json_size(pool) + tail.size();
    auto fill = [&](char* out) {
        std::memcpy(out, head.data(), head.size());
        write_pool_json(pool, out + head.size());
        std::memcpy(out + n - tail.size(), tail.data(), tail.size());
    };
    if (ascii(head) && ascii(tail)) {
        // Written straight into the text (the pool's JSON is ASCII).
        text = own(PyUnicode_New(Py_ssize_t(n), 127));
        fill(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())));
        return true;
    }
    std::string out(n, '\0');
    fill(out.data());
    text = own(PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), "strict"));
    return true;
}

}  // namespace lumino
