// The budget in force during an entry-point call.
#include "lumino/py/budget.hpp"

#include <string>

namespace lumino {

namespace {

thread_local std::optional<uint64_t> current;

}  // namespace

BudgetScope::BudgetScope(nb::handle memory_budget) : previous_(current) {
    if (memory_budget.is_none()) return;
    if (!PyLong_Check(memory_budget.ptr()) || PyBool_Check(memory_budget.ptr()))
        corvane::wrong_type("memory_budget", "an int (bytes) or None", memory_budget);
    const unsigned long long v = PyLong_AsUnsignedLongLong(memory_budget.ptr());
    if (v == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        corvane::raise(PyExc_ValueError, "memory_budget must be a positive number of bytes");
    }
    if (v == 0) corvane::raise(PyExc_ValueError, "memory_budget must be a positive number of bytes");
    current = uint64_t(v);
}

BudgetScope::~BudgetScope() { current = previous_; }

uint64_t memory_budget() { return current ? *current : core::default_memory_budget(); }

void refuse_memory(const std::string& why) { corvane::raise(PyExc_MemoryError, why); }

void check_part_tree(const core::ViewTree& tree, const std::vector<core::LayerView>& layers, bool by_cell) {
    const uint64_t budget = memory_budget();
    const core::PartTreeSize size = core::part_tree_size(tree, layers, by_cell);
    if (size.least_bytes() > budget) refuse_memory(core::over_budget(size, size.least_bytes(), budget, false));
}

}  // namespace lumino
