// Cell numbering and naming of an OASIS read, as KLayout's common reader does it.
#include "lumino/core/read/oasis_cells.hpp"

#include <algorithm>

#include "lumino/core/emit/json.hpp"
#include "lumino/core/read/oasis_stream.hpp"

namespace lumino::core::oasis {

uint32_t CellTable::add(bool ghost) {
    const uint32_t ci = uint32_t(out_.cells.size());
    Cell& c = out_.cells.emplace_back();
    c.ghost = ghost;
    order_.push_back(ci);
    return ci;
}

void CellTable::check_name(const std::string& name) {
    if (name.empty()) decline("empty cell name");
    if (name.find('\0') != std::string::npos) decline("cell name with a NUL character");
    if (!json::valid_utf8(name)) decline("cell name not UTF-8");
}

void CellTable::name(uint64_t id, const std::string& name) {
    if (id == kNoId) decline("cell reference number out of range");
    check_name(name);
    auto iid = by_id_.find(id);
    auto iname = by_name_.find(name);
    if (iid != by_id_.end() && !iid->second.first.empty() && iid->second.first != name)
        decline("a cell reference number named twice");
    if (iname != by_name_.end() && iname->second.first != kNoId && iname->second.first != id)
        decline("one cell name for two reference numbers");  // KLayout renames one of them
    if (iid != by_id_.end() && iname != by_name_.end()) {
        if (iname->second.second != iid->second.second) decline("cells merged by a late CELLNAME");
        iid->second.first = name;
        iname->second.first = id;
    } else if (iid != by_id_.end()) {
        by_name_[name] = {id, iid->second.second};
        iid->second.first = name;
    } else if (iname != by_name_.end()) {
        by_id_[id] = {name, iname->second.second};
        iname->second.first = id;
    } else {
        const uint32_t ci = add(true);
        named_only_.insert(ci);
        by_id_[id] = {name, ci};
        by_name_[name] = {id, ci};
    }
}

uint32_t CellTable::define(uint64_t id) {
    if (id == kNoId) decline("cell reference number out of range");
    auto it = by_id_.find(id);
    if (it == by_id_.end()) {
        const uint32_t ci = add(false);
        by_id_[id] = {std::string(), ci};
        return ci;
    }
    Cell& c = out_.cells[it->second.second];
    if (!c.ghost) decline("a cell with this reference number is defined already");
    named_only_.erase(it->second.second);
    c.ghost = false;
    return it->second.second;
}

uint32_t CellTable::define(const std::string& name) {
    check_name(name);
    auto it = by_name_.find(name);
    if (it == by_name_.end()) {
        const uint32_t ci = add(false);
        by_name_[name] = {kNoId, ci};
        return ci;
    }
    Cell& c = out_.cells[it->second.second];
    if (!c.ghost) decline("a cell with this name is defined already");
    named_only_.erase(it->second.second);
    c.ghost = false;
    return it->second.second;
}

uint32_t CellTable::placed(uint64_t id) {
    if (id == kNoId) decline("cell reference number out of range");
    auto it = by_id_.find(id);
    if (it != by_id_.end()) {
        named_only_.erase(it->second.second);
        return it->second.second;
    }
    const uint32_t ci = add(true);
    by_id_[id] = {std::string(), ci};
    return ci;
}

uint32_t CellTable::placed(const std::string& name) {
    check_name(name);
    auto it = by_name_.find(name);
    if (it != by_name_.end()) {
        named_only_.erase(it->second.second);
        return it->second.second;
    }
    const uint32_t ci = add(true);
    by_name_[name] = {kNoId, ci};
    return ci;
}

bool CellTable::find(uint64_t id, uint32_t& ci) const {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return false;
    ci = it->second.second;
    return true;
}

void CellTable::move_to_end(uint32_t ci) {
    order_.erase(std::find(order_.begin(), order_.end(), ci));
    order_.push_back(ci);
}

void CellTable::finish(std::vector<uint32_t>& order) {
    for (const auto& [id, entry] : by_id_)
        if (entry.first.empty()) decline("a cell reference number without a CELLNAME");
    for (const auto& [name, entry] : by_name_) out_.cells[entry.second].name = name;
    for (uint32_t ci : named_only_) {
        Cell& c = out_.cells[ci];
        c = Cell();
        c.exists = false;
    }
    order.clear();
    for (uint32_t ci : order_)
        if (out_.cells[ci].exists) order.push_back(ci);
}

}  // namespace lumino::core::oasis
