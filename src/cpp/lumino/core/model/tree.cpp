// The depth-first parse of a layout's cells into reference trees, and the
// choice of the polygons that simplification has to see.
#include "lumino/core/model/tree.hpp"

#include "lumino/core/model/float_range.hpp"

#include <utility>

#include "lumino/core/simplify/presimplify.hpp"

namespace lumino::core {

bool needs_simplifying(const Outline& o) { return o.size() >= 6 && !is_manhattan(o.data(), o.size()); }

void outline_of(const int32_t* xy, size_t values, double unit, double* out) {
    if (unit == 0.0)
        for (size_t j = 0; j < values; ++j) out[j] = double(xy[j]) / 1000.0;  // tx::to_um, the usual unit
    else
        for (size_t j = 0; j < values; ++j) out[j] = tx::to_um(double(xy[j]), unit);
}

namespace {

class Walk {
  public:
    Walk(const ParseInput& in, ParseTree& t) : in_(in), t_(t) {
        if (in.presimplified && in.tolerance && in.presimplified->fits(*in.tolerance, in.unit))
            made_ = in.presimplified;
    }

    // The tree of one top cell; false when a child has no cell.
    bool top(uint32_t ci, uint32_t& missing) {
        struct Frame {
            uint32_t node;
            size_t next = 0;
        };
        std::vector<Frame> stack;
        auto open = [&](uint32_t cell, const CellData* owner, uint32_t inst) {
            const CellData& d = data(cell);
            if (cell >= on_path_.size()) on_path_.resize(size_t(cell) + 1, 0);
            on_path_[cell] = 1;
            stack.push_back(Frame{uint32_t(t_.nodes.size())});
            t_.nodes.push_back(ParseTree::Node{&d, owner, inst, 1});
        };
        if (!exists(ci)) {
            missing = ci;
            return false;
        }
        t_.tops.push_back(uint32_t(t_.nodes.size()));
        open(ci, nullptr, 0);
        while (!stack.empty()) {
            Frame& f = stack.back();
            ParseTree::Node& node = t_.nodes[f.node];
            if (f.next == node.cell->children.size()) {
                node.size = uint32_t(t_.nodes.size()) - f.node;
                on_path_[node.cell->ci] = 0;
                stack.pop_back();
                continue;
            }
            const uint32_t inst = uint32_t(f.next++);
            const uint32_t child = node.cell->children[inst];
            if (!exists(child)) {
                missing = child;
                return false;
            }
            if (child < on_path_.size() && on_path_[child]) continue;
            open(child, node.cell, inst);
        }
        return true;
    }

  private:
    bool exists(uint32_t ci) const { return ci < in_.layout->cells.size() && in_.layout->cells[ci].exists; }

    // What a cell holds, read once per parse.
    const CellData& data(uint32_t ci) {
        auto [it, added] = t_.cells.try_emplace(ci);
        CellData& d = it->second;
        if (!added) return d;
        Cell& cell = in_.layout->cells[ci];
        d.ci = ci;
        d.name = cell.name;
        for (uint32_t slot = 0; slot < in_.layers.size(); ++slot) {
            const size_t at = in_.layers[slot];
            if (at >= cell.shapes.size()) continue;
            const Shapes& shapes = cell.shapes[at];
            const int64_t li = in_.layout->layers[at].index;
            size_t polygons = 0;
            for (uint8_t is : shapes.polygon) polygons += is != 0;
            if (polygons == 0) continue;
            std::vector<int64_t> idx;
            idx.reserve(polygons);
            Presimplifier::Cursor made;
            if (made_) made = made_->cursor(ci, at);
            for (size_t k = 0; k < shapes.size(); ++k) {
                // Shapes without a polygon form keep their place in the numbering.
                if (shapes.polygon[k])
                    idx.push_back(pool_index(ShapeKey{ci, li, int64_t(k)}, shapes, k, made_ ? made.take(k) : nullptr));
            }
            if (!idx.empty()) d.polygons.emplace_back(slot, std::move(idx));
        }
        size_t count = 0;
        for (const Instance& inst : cell.instances)
            count += inst.listed ? inst.listed : inst.array ? size_t(inst.na) * inst.nb : 1;
        d.places.reserve(count);
        d.children.reserve(cell.instances.size());
        d.first.reserve(cell.instances.size() + 1);
        const Listed* listed = cell.listed.data();
        const Listed* listed_end = listed + cell.listed.size();
        for (const Instance& inst : cell.instances) {
            d.children.push_back(inst.child);
            if (inst.listed > size_t(listed_end - listed)) break;  // a malformed listing: no more placements
            placements_of(inst, listed, in_.unit, d.places);
            d.first.push_back(uint32_t(d.places.size()));
        }
        while (d.first.size() < d.children.size() + 1) d.first.push_back(uint32_t(d.places.size()));
        if (in_.consume) {
            std::vector<Shapes>().swap(cell.shapes);
            std::vector<Instance>().swap(cell.instances);
            std::vector<Listed>().swap(cell.listed);
        }
        return d;
    }

    // The pool index of a shape's polygon; its points are taken only when the
    // pool does not hold it yet (`made`: its outline, simplified already).
    int64_t pool_index(const ShapeKey& key, const Shapes& shapes, size_t k, Outline* made) {
        if (in_.known && in_.known->size() != 0) {
            const int64_t at = in_.known->find(key);
            if (at >= 0) return at;
        }
        if (made) {
            t_.added.push_back(std::move(*made));
        } else {
            Outline& o = t_.added.emplace_back(2 * shapes.points(k));
            outline_of(shapes.hull(k), o.size(), in_.unit, o.data());
        }
        const Outline& o = t_.added.back();
        check_float_range(o.data(), o.size(), in_.layout->cells[size_t(key.cell)].name, "a coordinate (um)");
        if (made_) t_.simplified.push_back(made ? 1 : 0);
        if (in_.keep_keys) t_.added_keys.push_back(key);
        return t_.base + int64_t(t_.added.size()) - 1;
    }

    const ParseInput& in_;
    ParseTree& t_;
    Presimplifier* made_ = nullptr;
    std::vector<char> on_path_;
};

}  // namespace

void placements_of(const Instance& inst, const Listed*& listed, double unit, Places& out) {
    auto value = [unit](const Trans& t) {
        tx::Values v;
        v.complex = t.complex;
        v.mirror = t.mirror;
        v.quarter = t.rot & 3;
        v.angle = t.angle;
        v.mag = t.complex ? t.mag : 1.0;
        v.dx = t.dx;
        v.dy = t.dy;
        v.unit = unit;
        return v;
    };
    if (inst.listed) {
        for (uint32_t k = 0; k < inst.listed; ++k, ++listed) out.push_back(Place{value(listed->trans), listed->tag});
        return;
    }
    const Place first{value(inst.trans), inst.tag};
    if (!inst.array) {
        out.push_back(first);
        return;
    }
    for (int64_t j = 0; j < int64_t(inst.nb); ++j)
        for (int64_t i = 0; i < int64_t(inst.na); ++i) {
            Place e = first;
            e.v.dx = first.v.dx + double(i * inst.ax + j * inst.bx);
            e.v.dy = first.v.dy + double(i * inst.ay + j * inst.by);
            out.push_back(e);
        }
}

const std::vector<int64_t>* CellData::on_slot(uint32_t slot) const {
    for (auto& [s, idx] : polygons)
        if (s == slot) return &idx;
    return nullptr;
}

void simplify_outlines(std::vector<Outline>& outlines, double tolerance, const Simplifier& simplify,
                       const std::vector<char>* done) {
    std::vector<size_t> chosen;
    for (size_t k = 0; k < outlines.size(); ++k)
        if (!(done && (*done)[k]) && needs_simplifying(outlines[k])) chosen.push_back(k);
    if (chosen.empty()) return;
    std::vector<Outline> batch;
    batch.reserve(chosen.size());
    for (size_t k : chosen) batch.push_back(std::move(outlines[k]));
    simplify(batch, tolerance);
    for (size_t k = 0; k < chosen.size(); ++k) outlines[chosen[k]] = std::move(batch[k]);
}

bool parse(const ParseInput& in, const Simplifier& simplify, ParseTree& out, uint32_t& missing) {
    out.unit = in.unit;
    out.base = in.base;
    Walk walk(in, out);
    for (uint32_t top : in.tops)
        if (!walk.top(top, missing)) return false;
    if (in.tolerance)
        simplify_outlines(out.added, *in.tolerance, simplify, out.simplified.empty() ? nullptr : &out.simplified);
    return true;
}

void commit(ParseTree& t, PolygonPool& pool, ShapeIndex& index) {
    size_t values = 0;
    for (const Outline& o : t.added) values += o.size();
    pool.reserve(t.added.size(), values);
    index.reserve(t.added.size());
    for (size_t k = 0; k < t.added.size(); ++k) {
        pool.append(t.added[k]);
        Outline().swap(t.added[k]);  // copied: freed at once
        index.set(t.added_keys[k], t.base + int64_t(k));
    }
    t.added.clear();
    t.added_keys.clear();
}

SlotsBelow::SlotsBelow(const ParseTree& t, uint32_t top, uint32_t slots)
    : top_(top), count_(t.nodes[top].size), slots_(slots), nodes_(t.nodes.size()), words_((size_t(slots) + 63) / 64) {
    if (words_ == 0) return;  // no slots: nothing leads anywhere
    bits_.assign(size_t(count_) * words_, 0);
    // Children follow their parent, so a backward pass meets them first.
    for (uint32_t n = top + count_; n-- > top;) {
        uint64_t* m = &bits_[size_t(n - top) * words_];
        for (const auto& polygons : t.nodes[n].cell->polygons)
            if (polygons.first < slots) m[polygons.first / 64] |= uint64_t(1) << (polygons.first % 64);
        const uint32_t end = n + t.nodes[n].size;
        for (uint32_t c = n + 1; c < end; c += t.nodes[c].size) {
            const uint64_t* below = &bits_[size_t(c - top) * words_];
            for (size_t w = 0; w < words_; ++w) m[w] |= below[w];
        }
    }
}

std::vector<char> SlotsBelow::kept(uint32_t slot) const {
    std::vector<char> keep(nodes_, 0);
    for (uint32_t k = 0; k < count_; ++k) keep[top_ + k] = has(k, slot);
    return keep;
}

}  // namespace lumino::core
