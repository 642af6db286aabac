// The memory budget of one entry-point call: the caller's memory_budget
// keyword, else the default share of the machine's memory.  The budget is
// set for the call's duration (and so reaches ParseGDS.to_viewer when the
// call goes that way) and is held against every part tree before it is
// built.
#pragma once

#include <cstdint>
#include <optional>

#include "common/py.hpp"
#include "lumino/core/model/budget.hpp"

namespace lumino {

class BudgetScope {
  public:
    // memory_budget: None (the enclosing call's, else the default) or a
    // positive int of bytes.
    explicit BudgetScope(nb::handle memory_budget);
    ~BudgetScope();
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;

  private:
    std::optional<uint64_t> previous_;
};

// The budget in force.
uint64_t memory_budget();

// MemoryError with `why` (core::over_budget's text).
[[noreturn]] void refuse_memory(const std::string& why);

// Refuses a part tree that would pass the budget.
void check_part_tree(const core::ViewTree& tree, const std::vector<core::LayerView>& layers, bool by_cell);

}  // namespace lumino
