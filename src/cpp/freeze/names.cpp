// Instance naming and port-reference splitting (no Python involved).
#include "freeze/names.hpp"

namespace freeze {

namespace {

std::string suffixed(const std::string& component, std::uint64_t count) {
    return component + "_" + std::to_string(count);
}

}  // namespace

std::string InstanceNamer::next(const std::string& component) {
    std::uint64_t& count = counter_[component];
    ++count;
    std::string name = count < 2 ? component : suffixed(component, count);
    while (given_.count(name)) name = suffixed(component, ++count);
    given_.insert(name);
    return name;
}

std::optional<PortReference> split_port_reference(std::string_view text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    if (text.find(',', comma + 1) != std::string_view::npos) return std::nullopt;
    return PortReference{text.substr(0, comma), text.substr(comma + 1)};
}

std::string join_port_reference(std::string_view instance, std::string_view port) {
    std::string out;
    out.reserve(instance.size() + 1 + port.size());
    out.append(instance);
    out += ',';
    out.append(port);
    return out;
}

}  // namespace freeze
