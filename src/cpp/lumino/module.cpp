// corvane.core.lumino: wires the names of the 3D viewer exporter to Python,
// in the order in which the module defines them.
#include "common/py.hpp"
#include "lumino/py/read/direct_py.hpp"
#include "lumino/py/encode.hpp"
#include "lumino/py/json_py.hpp"
#include "lumino/py/entry.hpp"
#include "lumino/py/ktrans.hpp"
#include "lumino/py/layers.hpp"
#include "lumino/py/layout_path.hpp"
#include "lumino/py/roads/message_road.hpp"
#include "lumino/py/parse_gds.hpp"
#include "lumino/py/views.hpp"
#include "lumino/py/records.hpp"
#include "lumino/py/simplify/simplify_py.hpp"
#include "lumino/py/read/summary_py.hpp"
#include "lumino/py/roads/viewer.hpp"

using namespace nb::literals;

NB_MODULE(lumino, m) {
    corvane::ModuleHandle::begin_init("corvane.core.lumino");
    // __all__ names the entry point alone (a wildcard import takes only lumino), so help()
    // would list nothing else: the docstring names what the module offers.
    m.doc() =
        "Show a GDS layout in the 3D viewer: layer table, parsing, reference combining, viewer data.\n\n"
        "Entry points:\n"
        "    lumino(gds_file, output, z_scale=1.0, curve_tolerance=0.01, exclude_layers=None)\n"
        "        convert a GDS file and send it to the 3D viewer as one JSON message\n"
        "    to_3D_viewer(gds_file, output=Output.LAYER, layer_views=None, layer_stack=None, ...)\n"
        "        the viewer data of a GDS file (ViewerData, or its map form with as_dict=True)\n"
        "    get_layer_properties(layer_stack, layer_views)\n"
        "        the layer table: (layer, datatype) -> PdkLayer(name, thickness, zmin, color)\n"
        "    numpy_to_buffer_json(value)\n"
        "        the map form with every numpy array as a base64 buffer record\n\n"
        "Classes:\n"
        "    ParseGDS(layout, layers, z_scale=1.0, curve_tolerance=0.01, exclude_layers=None)\n"
        "        a KLayout layout parsed into Cell/Reference trees over a polygon pool:\n"
        "        export_cells, export_layers, combine_references, to_viewer, asdict\n"
        "    KTrans   one placement's transformation: to_dict, trans_matrix, multiply\n"
        "    Output   CELL or LAYER: the viewer tree by cell or by layer\n\n"
        "Records (dataclasses): Cell, Reference, ParsedCells, ParsedLayers, PdkLayer, PartBase,\n"
        "Shape, Part, Parts, ViewerData.  Type aliases: Point, Polygon, Instances, LayerSpec,\n"
        "TransMatrix, WebColor and others.  Run as a program, the module shows a sample\n"
        "grating coupler (_main).";

    lumino::define_preamble(m);
    lumino::define_records(m);
    lumino::bind_ktrans(m);
    lumino::define_output(m);
    lumino::bind_pool(m);
    lumino::bind_parse_gds(m);
    lumino::bind_viewer(m);
    lumino::bind_encode(m);
    lumino::bind_direct(m);
    lumino::bind_simplify(m);
    lumino::bind_summary(m);
    lumino::bind_layout_path(m);

    m.def("get_layer_properties", &lumino::get_layer_properties, "layer_stack"_a.none(), "layer_views"_a.none(),
          nb::sig("def get_layer_properties(layer_stack: vlt.LayerStack, layer_views: vlt.LayerViews) "
                  "-> dict[LayerSpec, PdkLayer]"),
          "Build the layer table: (layer, datatype) -> PdkLayer for every level of the stack that has "
          "an enumerated logical layer and a view with a fill colour.");

    m.def("to_3D_viewer", &lumino::to_3D_viewer, "gds_file"_a.none(),
          "output"_a.none() = m.attr("Output").attr("LAYER"), "layer_views"_a.none() = nb::none(),
          "layer_stack"_a.none() = nb::none(), "z_scale"_a.none() = 1.0, "curve_tolerance"_a.none() = 0.01,
          "exclude_layers"_a.none() = nb::none(), nb::kw_only(), "as_dict"_a.none() = false,
          "memory_budget"_a.none() = nb::none(),
          nb::sig("def to_3D_viewer(gds_file: str, output: Output = Output.LAYER, "
                  "layer_views: vlt.LayerViews | None = None, layer_stack: vlt.LayerStack | None = None, "
                  "z_scale: float = 1.0, curve_tolerance: float | None = 0.01, "
                  "exclude_layers: list[str] | None = None, *, as_dict: bool = False, "
                  "memory_budget: int | None = None) -> ViewerData | dict[str, Any]"),
          "Read a GDS file and convert it to viewer data: by layer (Output.LAYER) or by cell "
          "(Output.CELL); layer views and stack default to the active PDK's.  Returns ViewerData, or "
          "its map form with as_dict=True.  memory_budget: the most bytes the viewer data may take "
          "(default: half the machine's memory); data that would take more is a MemoryError before it "
          "is made.");

    m.def("numpy_to_buffer_json", &lumino::numpy_to_buffer_json, "value"_a.none(),
          nb::sig("def numpy_to_buffer_json(value: Any) -> dict[str, Any] | None"),
          "The map form with every numpy array replaced by {'shape': [n], 'dtype': ..., 'buffer': "
          "<base64 of the raw bytes>, 'codec': 'b64'}.");

    m.def("lumino", &lumino::show, "gds_file"_a.none(), "output"_a.none(), "z_scale"_a.none() = 1.0,
          "curve_tolerance"_a.none() = 0.01, "exclude_layers"_a.none() = nb::none(), nb::kw_only(),
          "memory_budget"_a.none() = nb::none(),
          nb::sig("def lumino(gds_file: str, output: Output, z_scale: float = 1.0, "
                  "curve_tolerance: float | None = 0.01, exclude_layers: list[str] | None = None, *, "
                  "memory_budget: int | None = None) -> None"),
          "Show GDS file in 3D viewer.\n\n"
          "Args:\n"
          "    gds_file: GDS file path.\n"
          "    output: Output type, either Output.CELL or Output.LAYER.\n"
          "    z_scale: Scale factor for z-axis.\n"
          "    curve_tolerance: Tolerance for curve simplification.\n"
          "    exclude_layers: List of layer names to exclude from the viewer.\n"
          "    memory_budget: The most bytes the viewer data may take (default: half the machine's\n"
          "        memory); a layout whose data would take more is a MemoryError before it is made.");

    m.def("_main", &lumino::demonstration, nb::sig("def _main() -> None"),
          "Demonstration: the sample grating coupler written to a temporary GDS file and shown "
          "layer-wise with lumino; the file is deleted afterwards.");

    lumino::bind_json(m);
    lumino::remember_plain_road(m);
    corvane::ModuleHandle::finish_init(m);
}
