// lumino._layout_summary: the layer statistics of a GDS2 file read by the
// direct reader, for the command line's planning step (which then needs no
// KLayout); the caller reads with KLayout where the reader declines.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/layout_file.hpp"
#include "lumino/core/read/summary.hpp"
#include "lumino/py/read/direct_py.hpp"
#include "lumino/py/read/summary_py.hpp"

namespace lumino {

using namespace nb::literals;

namespace {

nb::object summary_dict(const core::Layout& layout, const core::LayoutSummary& s) {
    nb::dict d;
    d["dbu"] = s.dbu;
    d["cells"] = s.cells;
    nb::list top;
    for (uint32_t ci : s.top_cells) {
        const std::string& name = layout.cells[ci].name;
        top.append(nb::str(name.c_str(), name.size()));
    }
    d["top_cells"] = top;
    d["depth"] = s.depth;
    nb::list layers;
    for (const core::LayerTally& l : s.layers) layers.append(nb::make_tuple(l.layer, l.datatype, l.shapes, l.texts));
    d["layers"] = layers;
    return d;
}

nb::object layout_summary(nb::handle path, nb::handle texts, nb::handle klayout_version) {
    if (!PyUnicode_Check(path.ptr())) corvane::wrong_type("path", "str", path);
    if (!PyBool_Check(texts.ptr())) corvane::wrong_type("texts", "bool", texts);
    core::GdsReadOptions options;
    options.texts = texts.ptr() == Py_True;
    options.order = false;  // counts do not depend on the order
    if (klayout_version.is_none()) {
        options.klayout_version = installed_klayout_version();
    } else if (PyUnicode_Check(klayout_version.ptr())) {
        options.klayout_version = nb::cast<std::string>(klayout_version);
    } else {
        corvane::wrong_type("klayout_version", "str or None", klayout_version);
    }
    options.libraries = registered_libraries();
    const std::string file = nb::cast<std::string>(path);

    core::Layout layout;
    core::LayoutSummary summary;
    std::string reason;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = core::read_layout_file(file, options, layout, reason);
        if (ok) summary = core::summarize(layout);
    }
    if (!ok) return nb::make_tuple(nb::none(), nb::str(reason.c_str(), reason.size()));
    return nb::make_tuple(summary_dict(layout, summary), "");
}

}  // namespace

void bind_summary(nb::module_& m) {
    m.def("_layout_summary", &layout_summary, "path"_a.none(), nb::kw_only(), "texts"_a.none() = true,
          "klayout_version"_a.none() = nb::none(),
          nb::sig("def _layout_summary(path: str, *, texts: bool = True, klayout_version: str | None = None) "
                  "-> tuple[dict[str, Any] | None, str]"),
          "What the GDS2 or OASIS file at `path` holds, read by the direct reader: ({'dbu', 'cells', 'top_cells' "
          "(names), 'depth', 'layers': [(layer, datatype, shapes, texts), ...] in layer index order}, '') "
          "with each cell's shapes counted once, or (None, reason) where the reader declines and KLayout's "
          "read is needed.  texts=False reads as KLayout does with text_enabled off.");
}

}  // namespace lumino
