// corvane.core.freeze: wires the schematic freeze to Python.
#include "common/py.hpp"
#include "freeze/netlist.hpp"

using namespace nb::literals;

NB_MODULE(freeze, m) {
    corvane::ModuleHandle::begin_init("corvane.core.freeze");
    m.doc() = "Freeze a python cell as schematic netlist.";

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
