// Counting the part tree instead of building it.
#include "lumino/core/model/budget.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#define LUMINO_HAVE_POSIX 1
#endif

namespace lumino::core {

namespace {

class CountingSink : public PartSink {
  public:

    void open(const Group& g) override {
        size_.nodes += 1;
        size_.text += g.name.size() + g.id.size();
        // Cell groups nest as the cells do; a layer group holds top cells.
        cells_.push_back(g.node != kNoNode);
        const uint32_t depth = cell_depth();
        if (depth > 0 && depth - 1 > size_.depth) size_.depth = depth - 1;
    }
    void part(const Leaf& p) override {
        size_.nodes += 1;
        size_.text += p.name.size() + p.id.size();
    }
    void close() override {
        if (cells_.back()) --open_cells_;
        cells_.pop_back();
    }

    PartTreeSize size() const { return size_; }

  private:
    uint32_t cell_depth() {
        if (cells_.back()) ++open_cells_;
        return open_cells_;
    }

    PartTreeSize size_;
    std::vector<bool> cells_;
    uint32_t open_cells_ = 0;
};

std::string thousands(uint64_t v) {
    std::string digits = std::to_string(v), out;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

}  // namespace

PartTreeSize part_tree_size(const ViewTree& tree, const std::vector<LayerView>& layers, bool by_cell) {
    CountingSink sink;
    if (by_cell)
        build_by_cell(tree, layers, sink);
    else
        build_by_layer(tree, layers, sink);
    return sink.size();
}

uint64_t default_memory_budget() {
    uint64_t memory = uint64_t(1) << 33;  // where the machine does not say: 8 GiB
#ifdef LUMINO_HAVE_POSIX
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) memory = uint64_t(pages) * uint64_t(page);
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && uint64_t(limit.rlim_cur) < memory)
        memory = uint64_t(limit.rlim_cur);
#endif
    return memory / 2;
}

std::string over_budget(const PartTreeSize& size, uint64_t bytes, uint64_t budget, bool exact) {
    return std::string("the viewer data of this layout would take ") + (exact ? "" : "at least ") +
           thousands(bytes) + " bytes (" + thousands(size.nodes) + " parts, hierarchy depth " +
           thousands(size.depth) + "), more than the memory budget of " + thousands(budget) +
           " bytes (memory_budget= sets it)";
}

}  // namespace lumino::core
