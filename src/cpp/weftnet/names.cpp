// Module-name prefixes, the PDK module tree, the digit-sum hash and legend
// colours (no Python involved).
#include "weftnet/names.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>

namespace weftnet {

bool is_submodule_of(std::string_view module, std::string_view parent) {
    if (module == parent) return true;
    return module.size() > parent.size() && module.starts_with(parent) && module[parent.size()] == '.';
}

bool belongs_to_library(std::string_view full_name, std::string_view lib) {
    return full_name.size() > lib.size() && full_name.starts_with(lib) && full_name[lib.size()] == '.';
}

std::string_view strip_cells_suffix(std::string_view name) {
    constexpr std::string_view suffix = ".cells";
    if (name.ends_with(suffix)) name.remove_suffix(suffix.size());
    return name;
}

namespace {

// One level of the module tree: children in insertion order, found by name.
struct TreeNode {
    std::vector<std::pair<std::string, std::unique_ptr<TreeNode>>> children;
    std::unordered_map<std::string, TreeNode*> index;

    TreeNode* child(const std::string& name) {
        auto it = index.find(name);
        if (it != index.end()) return it->second;
        children.emplace_back(name, std::make_unique<TreeNode>());
        TreeNode* node = children.back().second.get();
        index.emplace(name, node);
        return node;
    }
};

}  // namespace

std::vector<std::string> extract_module_names(const std::vector<std::string>& modules) {
    TreeNode root;
    for (const std::string& module : modules) {
        TreeNode* node = &root;
        std::size_t start = 0;
        while (true) {
            const std::size_t dot = module.find('.', start);
            node = node->child(module.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
    }

    // Descending happens only through single children, so each top-level
    // entry is a chain walked in a loop (no recursion, whatever the depth).
    std::vector<std::string> names;
    for (const auto& [name, top] : root.children) {
        if (name.find("functools") != std::string::npos) continue;
        std::string dotted = name;
        const TreeNode* node = top.get();
        while (node->children.size() == 1) {
            dotted += '.';
            dotted += node->children.front().first;
            node = node->children.front().second.get();
        }
        names.push_back(std::move(dotted));
    }
    return names;
}

int digit_sum_hash(const std::vector<std::uint32_t>& code_points,
                   const std::function<int(std::uint32_t)>& digit_value) {
    // A sum of code points (each below 2^21) fits 64 bits for any text that fits in memory.
    std::uint64_t sum = 0;
    for (std::uint32_t cp : code_points) {
        const int d = digit_value(cp);
        sum += d >= 0 ? static_cast<std::uint64_t>(d) : cp;
    }
    while (sum >= 10) {
        std::uint64_t digits = 0;
        for (; sum > 0; sum /= 10) digits += sum % 10;
        sum = digits;
    }
    return static_cast<int>(sum);
}

std::vector<int> assign_colours(const std::vector<int>& hashed) {
    if (hashed.size() > 9) return hashed;
    std::vector<int> result;
    result.reserve(hashed.size());
    bool taken[10] = {};
    for (int n : hashed) {
        n %= 10;
        // At most nine libraries: a free number among the ten always exists.
        while (taken[n]) n = (n + 1) % 10;
        taken[n] = true;
        result.push_back(n);
    }
    return result;
}

}  // namespace weftnet
