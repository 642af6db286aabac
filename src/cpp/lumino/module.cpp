// corvane.core.lumino: wires the names of the 3D viewer exporter to Python,
// in the order in which the module defines them.
#include "common/py.hpp"
#include "lumino/ktrans.hpp"
#include "lumino/layers.hpp"
#include "lumino/parse.hpp"
#include "lumino/pool_py.hpp"
#include "lumino/records.hpp"

using namespace nb::literals;

NB_MODULE(lumino, m) {
    corvane::ModuleHandle::begin_init("corvane.core.lumino");
    m.doc() = "Show a GDS layout in the 3D viewer: layer table, parsing, reference combining, viewer data.";

    lumino::define_preamble(m);
    lumino::define_records(m);
    lumino::bind_ktrans(m);
    lumino::define_output(m);
    lumino::bind_pool(m);
    lumino::bind_parse_gds(m);

    m.def("get_layer_properties", &lumino::get_layer_properties, "layer_stack"_a.none(), "layer_views"_a.none(),
          nb::sig("def get_layer_properties(layer_stack: vlt.LayerStack, layer_views: vlt.LayerViews) "
                  "-> dict[LayerSpec, PdkLayer]"),
          "Build the layer table: (layer, datatype) -> PdkLayer for every level of the stack that has "
          "an enumerated logical layer and a view with a fill colour.");

    corvane::ModuleHandle::finish_init(m);
}
