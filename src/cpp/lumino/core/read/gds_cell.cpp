// The GDS2 reader's cells: the cell table (indices in the order names first
// appear, as a structure or as a placement; a cell placed but never defined
// stays an empty "ghost"), and one structure read: its records dispatched
// to the element and placement readers, its shapes staged per layer and
// kind and put in Shapes.each() order at its end (by kind: simple polygons,
// paths, boxes, texts; within a kind those without properties before those
// with; each group in the order of KLayout's box tree: file order up to 100
// shapes, a spatial order beyond), or listed in stream order.
#include <algorithm>

#include "lumino/core/read/context.hpp"
#include "lumino/core/read/gds_reader.hpp"

namespace lumino::core::gds {

uint32_t State::new_cell(const std::string& name, bool ghost) {
    if (out.cells.size() >= kMaxIndex) decline("too many cells");
    const uint32_t ci = uint32_t(out.cells.size());
    Cell& c = out.cells.emplace_back();
    c.name = name;
    c.ghost = ghost;
    order.push_back(ci);
    names.emplace(name, ci);
    return ci;
}

uint32_t State::make_cell(const std::string& name) {
    if (name.find('\0') != std::string::npos) decline("cell name with a NUL character");
    if (!valid_utf8(name)) decline("cell name not UTF-8");
    auto it = names.find(name);
    if (it == names.end()) return new_cell(name, false);
    Cell& c = out.cells[it->second];
    if (!c.ghost) decline("a cell with this name already exists");
    c.ghost = false;
    return it->second;
}

uint32_t State::cell_for_instance(std::string_view view) {
    if (view.empty()) decline("placement of an unnamed cell");
    if (has_last_sname && view == last_sname) return last_child;
    std::string name(view);
    auto it = names.find(name);
    uint32_t ci;
    if (it != names.end()) {
        ci = it->second;
    } else {
        if (!valid_utf8(name)) decline("cell name not UTF-8");
        ci = new_cell(name, true);
    }
    last_sname = std::move(name);
    last_child = ci;
    has_last_sname = true;
    return ci;
}


void CellReader::structure(const std::string& name) {
    const uint32_t ci = st_.make_cell(name);
    auto ctx = st_.listing ? st_.context.end() : st_.context.find(name);
    if (ctx != st_.context.end()) {
        gdsctx::Info info;
        if (!gdsctx::deserialize(ctx->second, info, st_.typed_strings)) decline("context information not verified");
        if (info.proxy()) {
            if (!info.lib_name.empty() && st_.libraries.count(info.lib_name))
                decline("cell of a library registered in KLayout");
            // KLayout keeps the cell as read but as a "cold proxy", which
            // it moves to the end of its cell list.
            st_.order.erase(std::find(st_.order.begin(), st_.order.end(), ci));
            st_.order.push_back(ci);
        }
    }
    st_.current = ci;
    st_.with_props.clear();
    st_.placements_not_held = false;
    st_.cell_box = Box();
    st_.out.cells[ci].instances.reserve(st_.rec.placements_ahead());
    uint16_t id;
    while ((id = st_.rec.get()) != sENDSTR) {
        switch (id) {
            case sPROPATTR: st_.rec.get_ushort(); break;
            case sPROPVALUE: break;
            case sBOUNDARY: elements_.boundary(); break;
            case sPATH: elements_.path(); break;
            case sSREF: case sAREF: placements_.ref(id == sAREF); break;
            case sTEXT: elements_.text(); break;
            case sBOX: elements_.box(); break;
            case sNODE:
                while (st_.rec.get() != sENDEL) {
                }
                break;
            default:
                decline("invalid record in a structure");
        }
    }
    Cell& cell = st_.out.cells[ci];
    if (st_.listing) {
        list_cell(ci, cell);
        return;
    }
    if (st_.plain_count.size() < st_.out.cells.size()) st_.plain_count.resize(st_.out.cells.size(), 0);
    st_.plain_count[ci] = uint32_t(cell.instances.size());
    cell.instances.insert(cell.instances.end(), st_.with_props.begin(), st_.with_props.end());
    if (st_.shapes_box.size() < st_.out.cells.size()) st_.shapes_box.resize(st_.out.cells.size());
    st_.shapes_box[ci] = st_.cell_box;
    flush_shapes(cell);
    if (st_.options.cells) st_.options.cells->cell_read(ci, cell, st_.out.dbu);
}

// Appends the shapes staged for the structure just read, kind by kind,
// each kind in the order of KLayout's box tree.
void CellReader::flush_shapes(Cell& cell) {
    cell.shapes.resize(st_.out.layers.size());
    for (uint32_t li : st_.dirty) {
        Shapes& dst = cell.shapes[li];
        st_.dirty_flag[li] = 0;
        size_t shapes = 0, coords = 0;
        for (const State::Stage& st : st_.stage[li]) shapes += st.shapes.size(), coords += st.shapes.xy.size();
        dst.xy.reserve(dst.xy.size() + coords);
        dst.polygon.reserve(dst.polygon.size() + shapes);
        dst.start.reserve(dst.start.size() + shapes);
        for (State::Stage& st : st_.stage[li]) {
            Shapes& src = st.shapes;
            if (src.size() <= 100 || !st_.options.order) {
                // Insertion order: the whole bucket at once.
                const uint64_t base = dst.xy.size() / 2;
                dst.xy.insert(dst.xy.end(), src.xy.begin(), src.xy.end());
                dst.polygon.insert(dst.polygon.end(), src.polygon.begin(), src.polygon.end());
                for (size_t k = 1; k < src.start.size(); ++k) dst.start.push_back(base + src.start[k]);
            } else {
                tree_order(st.boxes, order_scratch_);
                for (uint32_t k : order_scratch_) {
                    dst.xy.insert(dst.xy.end(), src.xy.begin() + ptrdiff_t(2 * src.start[k]),
                                  src.xy.begin() + ptrdiff_t(2 * src.start[k + 1]));
                    dst.polygon.push_back(src.polygon[k]);
                    dst.start.push_back(dst.xy.size() / 2);
                }
            }
            src.xy.clear();
            src.polygon.clear();
            src.start.resize(1);
            st.boxes.clear();
        }
    }
    st_.dirty.clear();
}

// The order in which KLayout's box tree yields objects with these boxes.
void CellReader::tree_order(const std::vector<Box>& boxes, std::vector<uint32_t>& order) {
    order.resize(boxes.size());
    for (size_t k = 0; k < boxes.size(); ++k) order[k] = uint32_t(k);
    if (boxes.size() <= 100) return;
    Box all;
    for (const Box& b : boxes) all.add(b);
    kbox::tree_sort(order, boxes.data(), all);
}

// The end of a listed structure: its layers' shapes and what is as held.
void CellReader::list_cell(uint32_t ci, Cell& cell) {
    if (st_.listing->shapes_as_held.size() < st_.out.cells.size()) {
        st_.listing->shapes_as_held.resize(st_.out.cells.size());
        st_.listing->placements_as_held.resize(st_.out.cells.size(), 1);
    }
    std::vector<uint8_t>& held = st_.listing->shapes_as_held[ci];
    held.assign(st_.out.layers.size(), 1);
    cell.shapes.resize(st_.out.layers.size());
    for (uint32_t li : st_.dirty) {
        st_.dirty_flag[li] = 0;
        held[li] = !st_.not_held[li];
        st_.not_held[li] = 0;
        cell.shapes[li] = std::move(st_.stage[li][0].shapes);
        st_.stage[li][0].shapes = Shapes();
    }
    st_.dirty.clear();
    st_.listing->placements_as_held[ci] = !st_.placements_not_held;
}

}  // namespace lumino::core::gds
