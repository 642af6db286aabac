// Records made from the parse held in the core (as parsed, combined, reduced
// per layer), and a caller's records combined in place through the core's
// combiner.  All walks keep their own stacks: any depth is safe.
#include "lumino/py/tree_records.hpp"

#include <memory>
#include <unordered_set>

#include "lumino/core/model/combine.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/ktrans.hpp"
#include "lumino/py/records.hpp"

namespace lumino {

using corvane::module_attr;

namespace {

using Node = core::ParseTree::Node;

// Makes the records, with the classes the module holds now.
class Maker {
  public:
    explicit Maker(const Parsed& p) : p_(p), cell_cls_(module_attr("Cell")), ref_cls_(module_attr("Reference")) {}

    nb::object cell(const Node& n, nb::handle polygons, nb::handle references) {
        return make_record(cell_cls_, Rec::Cell, 2,
                           {{keys_.cell_index, nb::int_(n.cell->ci)},
                            {keys_.name, name(*n.cell)},
                            {keys_.polygons, polygons},
                            {keys_.references, references}});
    }

    nb::object reference(const Node& n, nb::handle polygons, nb::handle references, nb::handle trans) {
        const Py_ssize_t count = PyList_GET_SIZE(trans.ptr());
        return make_record(ref_cls_, Rec::Reference, 2,
                           {{keys_.cell_index, nb::int_(n.cell->ci)},
                            {keys_.name, name(*n.cell)},
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

    // A new KTrans per placement: the KLayout object it was read from, or
    // its value.
    nb::list placements(core::PlaceSpan places) {
        nb::list trans = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(places.size()))).release());
        for (size_t k = 0; k < places.size(); ++k) {
            const core::Place& p = places[k];
            nb::object kt = p.tag >= 0 ? nb::cast(KTrans(p_.tagged[size_t(p.tag)], p_.tree.unit)) : nb::cast(KTrans(p.v));
            PyList_SET_ITEM(trans.ptr(), Py_ssize_t(k), kt.release().ptr());
        }
        return trans;
    }

    // {layer key: [pool indices]} of a cell, new.
    nb::dict polygons(const core::CellData& d) {
        nb::dict out;
        for (auto& [slot, idx] : d.polygons) out[p_.slot_keys[slot]] = int_list(idx);
        return out;
    }

  private:
    nb::object name(const core::CellData& d) {
        auto [it, added] = names_.try_emplace(d.ci);
        if (added) it->second = from_utf8(d.name);
        return it->second;
    }

    const Parsed& p_;
    nb::object cell_cls_, ref_cls_;
    RecordKeys keys_;
    std::unordered_map<uint32_t, nb::object> names_;
};

// Appends the combined references below item 0 of `c` as records to
// `references` (the top record's list).  With a slot, each record keeps that
// layer with the polygon lists of the parsed records.
void combined_below(const Parsed& p, const core::CombinedTree& c, nb::handle references, Maker& mk, int64_t slot = -1,
                    const NodeRecords* parsed = nullptr) {
    const core::ParseTree& t = p.tree;
    std::vector<std::pair<uint32_t, nb::object>> todo{{0, nb::borrow(references)}};
    while (!todo.empty()) {
        auto [at, out] = std::move(todo.back());
        todo.pop_back();
        for (uint32_t child : c.items[at].children) {
            const core::CombinedTree::Item& it = c.items[child];
            const Node& node = t.nodes[it.node];
            nb::dict polygons;
            if (slot >= 0) {
                const nb::str& key = p.slot_keys[size_t(slot)];
                if (node.cell->on_slot(uint32_t(slot))) polygons[key] = parsed->polygons[it.node][key];
            } else {
                polygons = mk.polygons(*node.cell);
            }
            nb::list children;
            nb::object record = mk.reference(node, polygons, children, mk.placements(*it.places));
            append(out, record);
            if (!it.children.empty()) todo.emplace_back(child, mk.references_of(record, children));
        }
    }
}

}  // namespace

nb::list tree_records(const Parsed& p, NodeRecords* keep) {
    const core::ParseTree& t = p.tree;
    Maker mk(p);
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
            nb::dict polygons = mk.polygons(*node.cell);
            nb::list references;
            nb::object record;
            if (node.placed()) {
                nb::list trans = mk.placements(node.places());
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

nb::list combined_records(const Parsed& p) {
    const core::ParseTree& t = p.tree;
    Maker mk(p);
    nb::list out;
    for (uint32_t top : t.tops) {
        const Node& node = t.nodes[top];
        nb::list references;
        nb::object record = mk.cell(node, mk.polygons(*node.cell), references);
        combined_below(p, core::combine_tree(core::ParseTreeNodes{t}, top), mk.references_of(record, references), mk);
        out.append(record);
    }
    return out;
}

nb::list layer_records(const Parsed& p, const NodeRecords& parsed, bool combine) {
    const core::ParseTree& t = p.tree;
    Maker mk(p);
    nb::list out;
    core::CombinedPlaces shared;
    for (uint32_t top : t.tops) {
        nb::dict cell_layers;
        const core::SlotsBelow below(t, top, uint32_t(p.slot_keys.size()));
        for (uint32_t slot = 0; slot < p.slot_keys.size(); ++slot) {
            const nb::str& key = p.slot_keys[slot];
            if (!below.any(slot)) continue;
            const std::vector<char> keep = below.kept(slot);
            auto polygons_of = [&](uint32_t n) {
                nb::dict polygons;
                if (t.nodes[n].cell->on_slot(slot)) polygons[key] = parsed.polygons[n][key];
                return polygons;
            };
            nb::list references;
            nb::object record = mk.cell(t.nodes[top], polygons_of(top), references);
            if (combine) {
                combined_below(p, core::combine_tree(core::ParseTreeNodes{t}, top, &keep, &shared),
                               mk.references_of(record, references), mk, slot, &parsed);
            } else {
                // The kept nodes in pre-order; each Reference shares the
                // placement list of its parsed record.
                std::vector<std::pair<uint32_t, nb::object>> open{
                    {top + t.nodes[top].size, mk.references_of(record, references)}};
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

// ---- a caller's records, combined in place ----------------------------------

namespace {

// The records below an owner as the combiner reads them (pre-order), taken
// at entry: each record's cell (grouped with Python's equality, as a dict
// groups them), its placements as values, and the objects that may pass
// through unchanged (the first level's own KTrans).
struct RecordTree {
    std::vector<nb::object> records;
    std::vector<uint32_t> sizes;
    std::vector<uint64_t> keys;
    std::vector<core::Places> places;
    std::vector<nb::object> objects;  // by Place::tag

    uint32_t size(uint32_t n) const { return sizes[n]; }
    uint64_t key(uint32_t n) const { return keys[n]; }
    const core::Places& places_of(uint32_t n) const { return places[n]; }
};

struct RecordTreeNodes {
    const RecordTree& t;
    uint32_t size(uint32_t n) const { return t.size(n); }
    uint64_t key(uint32_t n) const { return t.key(n); }
    core::PlaceSpan places(uint32_t n) const { return t.places_of(n); }
};

[[noreturn]] void not_ktrans(nb::handle e) {
    std::string msg = "trans must be a KTrans, a list or tuple of KTrans, or None; got ";
    msg += corvane::type_name_of(e);
    corvane::raise(PyExc_TypeError, msg);
}

// A reference's placements as KTrans.multiply reads them: at the first
// level (no parent placements) they pass unchanged and must be KTrans;
// below, anything else is read through its `trans`.
void read_places(nb::handle trans, bool first_level, RecordTree& out, core::Places& places) {
    auto add = [&](nb::handle e) {
        KTrans* k = nullptr;
        if (nb::try_cast<KTrans*>(e, k, false) && k) {
            places.push_back(core::Place{k->values(), first_level ? core::Tag(out.objects.size()) : -1});
            if (first_level) out.objects.push_back(nb::borrow(e));
            return;
        }
        if (first_level) not_ktrans(e);
        places.push_back(core::Place{KTrans(e.attr("trans")).values(), -1});
    };
    if (trans.is_none()) {
        if (first_level) corvane::raise(PyExc_ValueError, "Either parent_trans or trans must be provided");
        places.push_back(core::Place{});  // the parent placements themselves
        return;
    }
    if (nb::isinstance<KTrans>(trans) || (first_level && !PyList_Check(trans.ptr()) && !PyTuple_Check(trans.ptr()))) {
        add(trans);
        return;
    }
    for (nb::handle e : snapshot(trans)) add(e);
}

RecordTree record_tree(nb::handle owner) {
    RecordTree t;
    nb::dict key_ids;  // cell_index -> group key
    std::unordered_set<PyObject*> on_path;
    struct Frame {
        uint32_t node;
        nb::list children;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    nb::str references("references"), trans("trans"), cell_index("cell_index");
    auto open = [&](nb::handle record, size_t depth) {
        if (!on_path.insert(record.ptr()).second)
            corvane::raise(PyExc_RecursionError, "a reference tree that contains itself cannot be combined");
        const uint32_t n = uint32_t(t.records.size());
        t.records.push_back(nb::borrow(record));
        t.sizes.push_back(1);
        t.places.emplace_back();
        uint64_t key = 0;
        if (depth > 0) {
            nb::object index = record.attr(cell_index);
            PyObject* hit = PyDict_GetItemWithError(key_ids.ptr(), index.ptr());
            if (!hit && PyErr_Occurred()) throw nb::python_error();
            if (hit) {
                key = nb::cast<uint64_t>(nb::handle(hit));
            } else {
                key = uint64_t(PyDict_GET_SIZE(key_ids.ptr()));
                key_ids[index] = key;
            }
            read_places(nb::object(record.attr(trans)), depth == 1, t, t.places[n]);
        }
        t.keys.push_back(key);
        stack.push_back(Frame{n, snapshot(nb::object(record.attr(references)))});
    };
    open(owner, 0);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.children.size()) {
            nb::object child = f.children[f.next++];
            open(child, stack.size());
            continue;
        }
        t.sizes[f.node] = uint32_t(t.records.size()) - f.node;
        on_path.erase(t.records[f.node].ptr());
        stack.pop_back();
    }
    return t;
}

}  // namespace

void combine_records(nb::handle owner) {
    RecordTree t = record_tree(owner);
    const core::CombinedTree c = core::combine_tree(RecordTreeNodes{t}, 0);
    nb::str references("references"), trans("trans"), trans_count("trans_count");
    for (size_t item = 0; item < c.items.size(); ++item) {
        const core::CombinedTree::Item& it = c.items[item];
        nb::handle record = t.records[it.node];
        if (it.places) {
            nb::list list = nb::steal<nb::list>(own(PyList_New(Py_ssize_t(it.places->size()))).release());
            for (size_t k = 0; k < it.places->size(); ++k) {
                const core::Place& p = (*it.places)[k];
                nb::object kt = p.tag >= 0 ? t.objects[size_t(p.tag)] : nb::cast(KTrans(p.v));
                PyList_SET_ITEM(list.ptr(), Py_ssize_t(k), kt.release().ptr());
            }
            record.attr(trans_count) = nb::int_(it.places->size());
            record.attr(trans) = list;
        }
        if (!it.children.empty()) {
            nb::list kept;
            for (uint32_t child : it.children) kept.append(t.records[c.items[child].node]);
            record.attr(references) = kept;
        }
    }
}

}  // namespace lumino
