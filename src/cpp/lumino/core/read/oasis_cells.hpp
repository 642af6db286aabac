// The cells of an OASIS file as KLayout's common reader makes them: a cell
// is known by a reference number, by a name, or both once a CELLNAME ties
// them; it gets the next cell index when first met (defined, placed or
// named), a cell placed but never defined stays a ghost, and a cell only
// named is dropped at the end (its index stays free).  Cases KLayout
// resolves by merging or renaming cells make the reader decline.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lumino/core/model/layout.hpp"

namespace lumino::core::oasis {

class CellTable {
  public:
    explicit CellTable(Layout& out) : out_(out) {}

    // A CELLNAME record: reference number `id` is the cell `name`.
    void name(uint64_t id, const std::string& name);

    // A CELL record by reference number or by name: the cell it defines.
    uint32_t define(uint64_t id);
    uint32_t define(const std::string& name);

    // A placement's cell by reference number or by name.
    uint32_t placed(uint64_t id);
    uint32_t placed(const std::string& name);

    // Moves a cell to the end of the cell list (KLayout's cold proxies).
    void move_to_end(uint32_t ci);

    // At the end of the file: every cell gets its name and the cells only
    // named are removed.  The cell list order is left in `order`.
    void finish(std::vector<uint32_t>& order);

    // The cell of a reference number, if any.
    bool find(uint64_t id, uint32_t& ci) const;

  private:
    static constexpr uint64_t kNoId = std::numeric_limits<uint64_t>::max();
    uint32_t add(bool ghost);
    static void check_name(const std::string& name);

    Layout& out_;
    std::unordered_map<uint64_t, std::pair<std::string, uint32_t>> by_id_;  // name ("" while none)
    std::unordered_map<std::string, std::pair<uint64_t, uint32_t>> by_name_;  // number (kNoId while none)
    std::unordered_set<uint32_t> named_only_;
    std::vector<uint32_t> order_;
};

}  // namespace lumino::core::oasis
