// corvane.core.freeze: wires the schematic freeze to Python.
#include "common/py.hpp"
#include "freeze/netlist.hpp"

using namespace nb::literals;

NB_MODULE(freeze, m) {
    corvane::ModuleHandle::begin_init("corvane.core.freeze");
    m.doc() =
        "Freeze a python cell as schematic netlist.\n\n"
        "freeze(cell_name, **kwargs)\n"
        "    Build the cell of the active PDK with those settings and return its netlist as a plain\n"
        "    schematic map: instances (renamed after their component: mmi1x2, mmi1x2_2, ...),\n"
        "    connections, ports, placements, routes and nets; the component's warnings are logged.\n"
        "_normalize_names(netlist)\n"
        "    Rename a netlist's instances after their components, in place, with every reference.\n\n"
        "The optional sax package flattens the warnings when it can be imported (freeze.sax is\n"
        "bound lazily and can be rebound); without it the module flattens them itself.";
    // help() and wildcard imports see the documented names only; the lazily bound outside
    // names (sax above all, which may be missing) are left for the calls that use them.
    nb::list all;
    all.append("freeze");
    all.append("_normalize_names");
    m.attr("__all__") = all;

    // Outside names, imported on first use and looked up here at call time.
    nb::object lazy_import = nb::module_::import_("corvane.core.lazy").attr("lazy_import");
    m.attr("lazy_import") = lazy_import;
    m.attr("sax") = lazy_import("sax");
    m.attr("get_pdk") = lazy_import("corvane.core.pdk", "get_pdk");
    m.attr("log") = lazy_import("corvane.logger", "get_logger");

    m.def("freeze", &freeze::freeze_cell, "cell_name"_a.none(), "kwargs"_a,
          nb::sig("def freeze(cell_name: str, **kwargs: typing.Any) -> dict[str, typing.Any]"),
          "Freeze a python cell as schematic netlist.");
    m.def("_normalize_names", &freeze::normalize_names, "netlist"_a.none(),
          nb::sig("def _normalize_names(netlist: dict[str, typing.Any]) -> None"), "Normalize names in the netlist.");

    corvane::ModuleHandle::finish_init(m);
}
