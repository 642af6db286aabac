// Flattening of nested maps into one flat map, in plain C++ (no Python).
//
// {"a": {"b": "x"}, "c": 1} becomes {"a b": "x", "c": 1} with separator " ":
// the keys on the way down to a leaf, joined (an empty prefix is not joined,
// so {"": {"b": 1}} gives "b").  Entries come in the order of a
// depth-first walk; when two paths join to the same key, the later value
// replaces the earlier one in its place (the result is a map).  An empty
// nested map yields nothing.  The walk keeps its own stack, so any depth is
// safe; a map met again inside itself is handed to the adapter's cycle().
//
// The adapter tells maps from leaves and lists their entries:
//   std::vector<std::pair<std::string, Value>> entries(const Value& map);
//   bool is_map(const Value& value);          // nested values walked into
//   const void* identity(const Value& map);   // equal for the same map
//   [[noreturn]] void cycle();
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace freeze {

template <class Value, class Adapter>
std::vector<std::pair<std::string, Value>> flatten_nested(const Value& root, std::string_view sep,
                                                          Adapter& adapter) {
    struct Frame {
        std::vector<std::pair<std::string, Value>> entries;
        std::size_t next;
        std::size_t prefix_len;  // length of `path` at this level
        const void* id;
    };

    std::vector<std::pair<std::string, Value>> flat;
    std::unordered_map<std::string, std::size_t> position;  // flat key -> index in `flat`
    std::unordered_set<const void*> on_path;
    std::vector<Frame> stack;
    std::string path;  // the joined keys down to the current map

    auto enter = [&](const Value& map) {
        const void* id = adapter.identity(map);
        if (!on_path.insert(id).second) adapter.cycle();
        stack.push_back(Frame{adapter.entries(map), 0, path.size(), id});
    };

    enter(root);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            on_path.erase(frame.id);
            stack.pop_back();
            if (!stack.empty()) path.resize(stack.back().prefix_len);
            continue;
        }
        auto& [key, value] = frame.entries[frame.next++];
        if (adapter.is_map(value)) {
            Value child = value;  // `frame` may move when the stack grows
            if (!path.empty()) path += sep;
            path += key;  // extended in place: a deep walk stays linear
            enter(child);
            continue;
        }
        std::string joined = path.empty() ? key : path + std::string(sep) + key;
        auto [it, fresh] = position.emplace(joined, flat.size());
        if (fresh)
            flat.emplace_back(std::move(joined), value);
        else
            flat[it->second].second = value;
    }
    return flat;
}

}  // namespace freeze
