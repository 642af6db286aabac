// Records made from the parse held in C++: the tree as parsed, combined, and
// reduced per layer.  All walks keep their own stacks (any depth is safe).
#include "lumino/tree.hpp"

#include <memory>

#include "lumino/pyedge.hpp"
#include "lumino/records.hpp"

namespace lumino {

using corvane::module_attr;

const std::vector<Py_ssize_t>* CellData::on_layer(nb::handle key) const {
    for (auto& [k, idx] : polygons) {
        const int eq = PyObject_RichCompareBool(k.ptr(), key.ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return &idx;
    }
    return nullptr;
}

namespace {

using Node = ParseTree::Node;

nb::dict fresh_polygons(const CellData& d) {
    nb::dict polygons;
    for (auto& [key, idx] : d.polygons) polygons[key] = int_list(idx);
    return polygons;
}

// The children of node n, in order (only those kept, when a filter is given).
template <class F>
void each_child(const ParseTree& t, uint32_t n, const std::vector<char>* keep, F&& f) {
    const uint32_t end = n + t.nodes[n].size;
    for (uint32_t c = n + 1; c < end; c += t.nodes[c].size)
        if (!keep || (*keep)[c]) f(c);
}

// Makes the records, with the classes the module holds now.
class Maker {
  public:
    explicit Maker(double unit) : unit_(unit) {
        cell_cls_ = module_attr("Cell");
        ref_cls_ = module_attr("Reference");
    }

    nb::object cell(const Node& n, nb::handle polygons, nb::handle references) {
        return make_record(cell_cls_, Rec::Cell, 2,
                           {{keys_.cell_index, nb::int_(n.ci)},
                            {keys_.name, n.cell->name},
                            {keys_.polygons, polygons},
                            {keys_.references, references}});
    }

    nb::object reference(const Node& n, nb::handle polygons, nb::handle references, nb::handle trans) {
        const Py_ssize_t count = PyList_GET_SIZE(trans.ptr());
        return make_record(ref_cls_, Rec::Reference, 2,
                           {{keys_.cell_index, nb::int_(n.ci)},
                            {keys_.name, n.cell->name},
                            {keys_.polygons, polygons},
                            {keys_.references, references},
                            {keys_.trans_count, nb::int_(count)},
                            {keys_.trans, trans}});
    }

    // The list to append a record's references to: the one it was given, or
    // whatever a caller's record class made of it.
    nb::object references_of(nb::handle record, nb::handle given) {
        if (record.type().is(own_class(Rec::Cell)) || record.type().is(own_class(Rec::Reference)))
            return nb::borrow(given);
        return record.attr("references");
    }

    // KTrans of an instance's own placements.
    nb::list placements(const InstData& inst) {
        nb::list trans = nb::steal<nb::list>(PyList_New(0));
        for (const tx::Simple& s : inst.simple) trans.append(nb::cast(KTrans(s, unit_)));
        for (const nb::object& o : inst.complex) trans.append(nb::cast(KTrans(o, unit_)));
        return trans;
    }

    double unit() const { return unit_; }

  private:
    double unit_;
    nb::object cell_cls_, ref_cls_;
    RecordKeys keys_;
};

// The own placements of an instance, as values.
void own_places(const InstData& inst, double unit, Places& out) {
    for (const tx::Simple& s : inst.simple) {
        tx::Values v = tx::values_of(s);
        v.unit = unit;
        out.push_back(Place{v, nb::object()});
    }
    for (const nb::object& o : inst.complex) {
        tx::Values v = read_transformation(o);
        v.unit = unit;
        out.push_back(Place{v, o});
    }
}

// The combined references below `item` as records, appended to
// `references` (the references list of the item's record).  With a layer
// key, each record keeps that layer with the polygon lists of the parsed
// records.
void combined_below(const ParseTree& t, const CombinedTree& c, uint32_t item, nb::handle references, Maker& mk,
                    nb::handle layer_key = nb::handle(), const NodeRecords* parsed = nullptr) {
    std::vector<std::pair<uint32_t, nb::object>> todo{{item, nb::borrow(references)}};
    while (!todo.empty()) {
        auto [at, out] = std::move(todo.back());
        todo.pop_back();
        for (uint32_t child : c.items[at].children) {
            const CombinedTree::Item& it = c.items[child];
            const Places& places = *it.places;
            nb::list trans = nb::steal<nb::list>(PyList_New(Py_ssize_t(places.size())));
            if (!trans.is_valid()) throw nb::python_error();
            for (size_t k = 0; k < places.size(); ++k) {
                const Place& p = places[k];
                nb::object kt = p.obj.is_valid() ? nb::cast(KTrans(p.obj, t.unit)) : nb::cast(KTrans(p.v));
                PyList_SET_ITEM(trans.ptr(), Py_ssize_t(k), kt.release().ptr());
            }
            const Node& node = t.nodes[it.node];
            nb::dict polygons;
            if (layer_key.is_valid()) {
                if (node.cell->on_layer(layer_key)) polygons[layer_key] = parsed->polygons[it.node][layer_key];
            } else {
                polygons = fresh_polygons(*node.cell);
            }
            nb::list children;
            nb::object record = mk.reference(node, polygons, children, trans);
            append(out, record);
            if (!it.children.empty()) todo.emplace_back(child, mk.references_of(record, children));
        }
    }
}

}  // namespace

CombinedTree combine_tree(const ParseTree& t, uint32_t top, const std::vector<char>* keep) {
    CombinedTree c;
    c.items.push_back(CombinedTree::Item{top, nullptr, {}});
    std::vector<uint32_t> todo{0};
    while (!todo.empty()) {
        const uint32_t at = todo.back();
        todo.pop_back();
        const uint32_t owner = c.items[at].node;
        const std::shared_ptr<const Places> parent = c.items[at].places;

        std::unordered_map<Py_ssize_t, size_t> position;
        std::vector<std::vector<uint32_t>> groups;
        each_child(t, owner, keep, [&](uint32_t n) {
            auto [it, added] = position.try_emplace(t.nodes[n].ci, groups.size());
            if (added) groups.emplace_back();
            groups[it->second].push_back(n);
        });
        for (const auto& members : groups) {
            auto places = std::make_shared<Places>();
            for (uint32_t m : members) {
                const InstData& inst = *t.nodes[m].inst;
                if (!parent) {
                    own_places(inst, t.unit, *places);
                    continue;
                }
                Places own;
                own_places(inst, t.unit, own);
                for (const Place& child : own)
                    for (const Place& p : *parent) places->push_back(Place{tx::compose(p.v, child.v), nb::object()});
            }
            const uint32_t item = uint32_t(c.items.size());
            c.items.push_back(CombinedTree::Item{members.front(), std::move(places), {}});
            c.items[at].children.push_back(item);
            bool has_children = false;
            each_child(t, members.front(), keep, [&](uint32_t) { has_children = true; });
            if (has_children) todo.push_back(item);
        }
    }
    return c;
}

std::vector<char> kept_for_layer(const ParseTree& t, uint32_t top, nb::handle layer_key) {
    std::vector<char> keep(t.nodes.size(), 0);
    std::unordered_map<const CellData*, bool> has;
    for (uint32_t n = top + t.nodes[top].size; n-- > top;) {
        const CellData* cell = t.nodes[n].cell;
        auto [it, added] = has.try_emplace(cell, false);
        if (added) it->second = cell->on_layer(layer_key) != nullptr;
        bool k = it->second;
        if (!k) each_child(t, n, nullptr, [&](uint32_t c) { k = k || keep[c]; });
        keep[n] = k;
    }
    return keep;
}

nb::list tree_records(const ParseTree& t, NodeRecords* keep) {
    Maker mk(t.unit);
    if (keep) {
        keep->polygons.assign(t.nodes.size(), nb::object());
        keep->trans.assign(t.nodes.size(), nb::object());
    }
    nb::list out;
    for (uint32_t top : t.tops) {
        std::vector<std::pair<uint32_t, nb::object>> open;  // (end of subtree, references list)
        for (uint32_t n = top; n < top + t.nodes[top].size; ++n) {
            while (!open.empty() && open.back().first <= n) open.pop_back();
            const Node& node = t.nodes[n];
            nb::dict polygons = fresh_polygons(*node.cell);
            nb::list references;
            nb::object record;
            if (node.inst) {
                nb::list trans = mk.placements(*node.inst);
                record = mk.reference(node, polygons, references, trans);
                if (keep) keep->trans[n] = trans;
            } else {
                record = mk.cell(node, polygons, references);
            }
            if (keep) keep->polygons[n] = polygons;
            append(open.empty() ? nb::handle(out) : nb::handle(open.back().second), record);
            open.emplace_back(n + node.size, mk.references_of(record, references));
        }
    }
    return out;
}

nb::list combined_records(const ParseTree& t) {
    Maker mk(t.unit);
    nb::list out;
    for (uint32_t top : t.tops) {
        const Node& node = t.nodes[top];
        nb::list references;
        nb::object record = mk.cell(node, fresh_polygons(*node.cell), references);
        combined_below(t, combine_tree(t, top), 0, mk.references_of(record, references), mk);
        out.append(record);
    }
    return out;
}

nb::list layer_records(const ParseTree& t, const NodeRecords& parsed, const std::vector<nb::str>& layer_keys,
                       bool combine) {
    Maker mk(t.unit);
    nb::list out;
    for (uint32_t top : t.tops) {
        nb::dict cell_layers;
        for (const nb::str& key : layer_keys) {
            const std::vector<char> keep = kept_for_layer(t, top, key);
            if (!keep[top]) continue;
            auto polygons_of = [&](uint32_t n) {
                nb::dict polygons;
                if (t.nodes[n].cell->on_layer(key)) polygons[key] = parsed.polygons[n][key];
                return polygons;
            };
            nb::list references;
            nb::object record = mk.cell(t.nodes[top], polygons_of(top), references);
            if (combine) {
                combined_below(t, combine_tree(t, top, &keep), 0, mk.references_of(record, references), mk, key,
                               &parsed);
            } else {
                // The kept nodes in pre-order; each Reference shares the
                // placement list of its parsed record.
                std::vector<std::pair<uint32_t, nb::object>> open{{top + t.nodes[top].size, mk.references_of(record, references)}};
                for (uint32_t n = top + 1; n < top + t.nodes[top].size; ++n) {
                    if (!keep[n]) {
                        n += t.nodes[n].size - 1;  // skip the subtree
                        continue;
                    }
                    while (open.back().first <= n) open.pop_back();
                    nb::list children;
                    nb::object ref = mk.reference(t.nodes[n], polygons_of(n), children, parsed.trans[n]);
                    append(open.back().second, ref);
                    open.emplace_back(n + t.nodes[n].size, mk.references_of(ref, children));
                }
            }
            cell_layers[key] = record;
        }
        out.append(cell_layers);
    }
    return out;
}

}  // namespace lumino
