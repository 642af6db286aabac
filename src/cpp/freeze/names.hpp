// Instance names and port references of a schematic netlist, in plain C++.
//
// InstanceNamer gives each instance a short name derived from its component:
// the first instance of component mmi is "mmi", the next ones "mmi_2",
// "mmi_3"...  A name handed out before is never handed out again: when the
// candidate is taken (an instance of component "mmi_2" named before the
// second mmi), the component's counter moves on until the name is free.
//
// A port reference is "instance,port": exactly one comma.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace freeze {

class InstanceNamer {
  public:
    // The name of the next instance of `component`.
    std::string next(const std::string& component);

  private:
    std::unordered_map<std::string, std::uint64_t> counter_;
    std::unordered_set<std::string> given_;
};

struct PortReference {
    std::string_view instance;
    std::string_view port;
};

// Splits "instance,port" at its comma; nothing when the text does not have
// exactly one comma.  The views point into `text`.
std::optional<PortReference> split_port_reference(std::string_view text);

// "instance,port".
std::string join_port_reference(std::string_view instance, std::string_view port);

}  // namespace freeze
