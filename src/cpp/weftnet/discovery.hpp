// Library discovery: which libraries a project uses and where they lie.
#pragma once

#include "common/py.hpp"

namespace weftnet {

nb::object find_lib_root(nb::handle lib_path);
nb::str find_lib_name(nb::handle lib_path);
nb::list py_extract_module_names(nb::handle pdk);
bool py_is_submodule_of(nb::handle module_name, nb::handle parent_name);

// The library path map, computed once per process: the first call that
// completes stores its map and later calls return that same object until
// cache_clear().  A call that fails stores nothing.
class LibPathsMemo {
  public:
    nb::object call();
    void cache_clear() { memo_.reset(); }

  private:
    nb::object memo_;
};

// Compute the map afresh (no memo).
nb::dict compute_lib_paths();

void bind_discovery(nb::module_& m);

}  // namespace weftnet
