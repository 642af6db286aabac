// ParseGDS: construction, the layer map and lookups, polygon extraction,
// the parse (snapshot of the parser's state, the core's walk, the new
// polygons pooled) and the class's binding.
#include "lumino/py/parse_gds.hpp"

#include <cmath>
#include <string>

#include "lumino/py/checks.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/roads/stream_road.hpp"
#include "lumino/py/simplify/simplifier.hpp"
#include "lumino/py/views.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

// "(layer, datatype)"
std::string pair_text(nb::handle pair) {
    std::string s = "(";
    s += corvane::str_of(pair[0]);
    s += ", ";
    s += corvane::str_of(pair[1]);
    s += ")";
    return s;
}

bool contains(nb::handle mapping, nb::handle key) {
    int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object multiply_num(double a, nb::handle b) { return own(PyNumber_Multiply(nb::float_(a).ptr(), b.ptr())); }

}  // namespace

nb::object LayerLookups::name(nb::handle spec) const {
    std::string text = pair_text(spec);
    if (!contains(table, spec)) return nb::str(text.c_str());
    std::string name = corvane::str_of(nb::object(table[spec]).attr("name"));
    name += ' ';
    name += text;
    return nb::str(name.c_str());
}

nb::object LayerLookups::color(nb::handle spec) const {
    if (!contains(table, spec)) return nb::str("#000000");
    return nb::object(table[spec]).attr("color");
}

nb::object LayerLookups::zmin(nb::handle spec) const {
    if (!contains(table, spec)) return nb::float_(-z_scale);
    return multiply_num(z_scale, nb::object(table[spec]).attr("zmin"));
}

nb::object LayerLookups::height(nb::handle spec) const {
    if (!contains(table, spec)) return nb::float_(z_scale * 0.05);
    return multiply_num(z_scale, nb::object(table[spec]).attr("thickness"));
}

std::optional<double> tolerance_of(nb::handle curve_tolerance) {
    check_curve_tolerance(curve_tolerance);
    if (curve_tolerance.is_none()) return std::nullopt;
    const double v = PyFloat_AsDouble(curve_tolerance.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

ParseGDS::ParseGDS(nb::object layout_, nb::object layers_, double z_scale_, nb::object curve_tolerance_,
                   nb::object exclude_layers_)
    : layout(std::move(layout_)),
      layers(std::move(layers_)),
      z_scale(z_scale_),
      curve_tolerance(std::move(curve_tolerance_)),
      exclude_layers(std::move(exclude_layers_)),
      instances(new_pool()),
      instance_mapping(new_shape_index()),
      parsed_cells(nb::none()),
      parsed_layers(nb::none()),
      layer_map(nb::dict()),
      reverse_layer_map(nb::dict()),
      cell_index_map(nb::dict()) {
    check_parser_arguments(layout, layers, z_scale, curve_tolerance, exclude_layers);
    extract_layers();
    nb::dict cells;
    corvane::for_each(layout.attr("each_cell")(), [&](nb::object cell) { cells[cell.attr("cell_index")()] = cell; });
    cell_index_map = cells;
}

void ParseGDS::extract_layers() {
    nb::object held_layout = layout, table = layers;
    nb::dict map;
    corvane::for_each(held_layout.attr("layer_indices")(), [&](nb::object index) {
        nb::object info = held_layout.attr("get_info")(index);
        nb::object pair = nb::make_tuple(info.attr("layer"), info.attr("datatype"));
        if (contains(table, pair)) map[index] = pair;
    });
    layer_map = map;
    nb::dict reverse;
    for (auto [index, pair] : map) reverse[pair] = index;
    reverse_layer_map = reverse;
}

nb::object ParseGDS::get_name(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    return lookups().name(layer_spec);
}

nb::object ParseGDS::get_color(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    return lookups().color(layer_spec);
}

nb::object ParseGDS::get_zmin(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    return lookups().zmin(layer_spec);
}

nb::object ParseGDS::get_height(nb::handle layer_spec) const {
    check_layer_spec(layer_spec);
    return lookups().height(layer_spec);
}

nb::list ParseGDS::extract_dpolygon(nb::handle polygon) const {
    check_polygon(polygon);
    nb::object held_tolerance = curve_tolerance, held_layout = layout;
    const std::optional<double> tolerance = tolerance_of(held_tolerance);
    const double unit = layout_unit(held_layout);
    std::vector<int32_t> xy;
    polygon_points(polygon, xy);
    std::vector<core::Outline> one(1);
    for (int32_t v : xy) one[0].push_back(tx::to_um(double(v), unit));
    if (tolerance) core::simplify_outlines(one, *tolerance, outline_simplifier());
    return polygon_list(one[0]);
}

std::unique_ptr<Parsed> ParseGDS::parse_tree(const std::vector<nb::object>& tops, bool use_stream) {
    corvane::GcPause pause;
    // The snapshot: every member the parse reads, held strongly and decoded.
    nb::object held_tolerance = curve_tolerance, held_map = layer_map, held_cells = cell_index_map;
    nb::object pool_obj = instances, index_obj = instance_mapping;
    const std::optional<double> tolerance = tolerance_of(held_tolerance);
    const core::Simplifier simplify = tolerance ? outline_simplifier() : core::Simplifier();
    auto result = std::make_unique<Parsed>();
    ReadRequest request;
    request.layout = layout;
    request.tops = tops;
    request.use_stream = use_stream;
    for (nb::handle key : snapshot(held_map)) {
        LayerToRead& l = request.layers.emplace_back();
        l.index = nb::borrow(key);
        l.value = nb::cast<uint32_t>(key);
        result->slot_keys.push_back(PyUnicode_Check(key.ptr()) ? nb::borrow<nb::str>(key) : nb::str(key));
        nb::object pair = held_map[key];
        long long ln = -1, dt = -1;
        if (PyTuple_Check(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2 && nb::try_cast<long long>(pair[0], ln) &&
            nb::try_cast<long long>(pair[1], dt) && ln >= 0 && ln <= 0xffff && dt >= 0 && dt <= 0xffff) {
            l.has_pair = true;
            l.layer = int32_t(ln);
            l.datatype = int32_t(dt);
        }
    }
    for (nb::handle item : items_of(held_cells)) {
        int64_t ci = 0;
        if (nb::try_cast<int64_t>(item[0], ci)) request.cells.emplace(ci, nb::borrow(item[1]));
    }
    const std::shared_ptr<PolygonPool> pool = pool_of(pool_obj);
    const std::shared_ptr<ShapeIndex> index = shape_index_of(index_obj);
    ShapeIndex foreign;  // a mapping a caller put in place of the parser's own
    if (!index) {
        for (nb::handle item : items_of(index_obj)) {
            ShapeKey k;
            Py_ssize_t value = 0;
            if (shape_key_of(item[0], k) && nb::try_cast<Py_ssize_t>(item[1], value)) foreign.set(k, value);
        }
    }

    LayoutRead read = read_layout(request);
    request = ReadRequest();
    result->tagged = std::move(read.tagged);
    core::ParseInput in;
    in.layout = &read.layout;
    in.consume = true;
    for (size_t k = 0; k < read.layout.layers.size(); ++k) in.layers.push_back(k);
    for (const nb::object& top : tops) in.tops.push_back(nb::cast<uint32_t>(top.attr("cell_index")()));
    in.unit = tx::unit_of_dbu(read.layout.dbu);
    in.tolerance = tolerance;
    in.known = index ? index.get() : &foreign;
    in.base = instance_index;
    uint32_t missing = 0;
    core::ParseTree& tree = result->tree;
    if (!core::parse(in, simplify, tree, missing)) {
        PyErr_SetObject(PyExc_KeyError, nb::int_(missing).ptr());
        throw nb::python_error();
    }
    read = LayoutRead();  // parsed: its memory goes before the pool grows

    // Pool the new polygons: the parser's own pool and index take them as
    // they are; containers a caller put in their place get Python objects.
    const int64_t base = tree.base;
    const size_t added = tree.added.size();
    if (pool && index) {
        core::commit(tree, *pool, *index);
    } else {
        for (size_t k = 0; k < added; ++k) {
            if (pool)
                pool->append(tree.added[k]);
            else
                append(pool_obj, polygon_list(tree.added[k]));
            const ShapeKey& key = tree.added_keys[k];
            if (index)
                index->set(key, base + int64_t(k));
            else
                index_obj[nb::make_tuple(key.cell, key.layer, key.pos)] = base + int64_t(k);
        }
        tree.added.clear();
        tree.added_keys.clear();
    }
    instance_index = Py_ssize_t(base + int64_t(added));
    return result;
}

namespace {

// The parser holds Python objects that may refer back to it (a caller can
// store it anywhere): take part in cyclic garbage collection.
#define CORVANE_PARSE_GDS_MEMBERS(X)                                                                  \
    X(layout) X(layers) X(curve_tolerance) X(exclude_layers) X(instances) X(instance_mapping)     \
        X(parsed_cells) X(parsed_layers) X(layer_map) X(reverse_layer_map) X(cell_index_map)

int parse_gds_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    ParseGDS* p = nb::inst_ptr<ParseGDS>(self);
#define X(member) Py_VISIT(p->member.ptr());
    CORVANE_PARSE_GDS_MEMBERS(X)
#undef X
    return 0;
}

int parse_gds_clear(PyObject* self) {
    ParseGDS* p = nb::inst_ptr<ParseGDS>(self);
#define X(member) p->member = nb::none();
    CORVANE_PARSE_GDS_MEMBERS(X)
#undef X
    return 0;
}

PyType_Slot parse_gds_slots[] = {{Py_tp_traverse, (void*)parse_gds_traverse},
                                 {Py_tp_clear, (void*)parse_gds_clear},
                                 {0, nullptr}};

}  // namespace

void bind_parse_gds(nb::module_& m) {
    nb::class_<ParseGDS>(m, "ParseGDS", nb::type_slots(parse_gds_slots),
                         "One KLayout layout with its layer table; carries the conversion to viewer data.")
        .def(nb::init<nb::object, nb::object, double, nb::object, nb::object>(), "layout"_a, "layers"_a,
             "z_scale"_a = 1.0, "curve_tolerance"_a.none() = 0.01, "exclude_layers"_a.none() = nb::none(),
             nb::sig("def __init__(self, layout: kdb.Layout, layers: dict[tuple[int, int], PdkLayer], "
                     "z_scale: float = 1.0, curve_tolerance: float | None = 0.01, "
                     "exclude_layers: list[str] | None = None) -> None"))
        .def("get_name", &ParseGDS::get_name, "layer_spec"_a,
             nb::sig("def get_name(self, layer_spec: LayerSpec) -> str"),
             "Layer name and pair, e.g. 'WG (1, 0)'; the pair alone for an unknown layer.")
        .def("get_zmin", &ParseGDS::get_zmin, "layer_spec"_a,
             nb::sig("def get_zmin(self, layer_spec: LayerSpec) -> float"), "Bottom of the layer times z_scale.")
        .def("get_height", &ParseGDS::get_height, "layer_spec"_a,
             nb::sig("def get_height(self, layer_spec: LayerSpec) -> float"), "Thickness of the layer times z_scale.")
        .def("get_color", &ParseGDS::get_color, "layer_spec"_a,
             nb::sig("def get_color(self, layer_spec: LayerSpec) -> WebColor"), "Colour of the layer ('#000000' if unknown).")
        .def("export_cells", &ParseGDS::export_cells, nb::kw_only(), "combine"_a = true,
             nb::sig("def export_cells(self, *, combine: bool = True) -> ParsedCells"),
             "Parse every top cell; combine the references unless combine is False.")
        .def("export_layers", &ParseGDS::export_layers, nb::kw_only(), "combine"_a = true,
             nb::sig("def export_layers(self, *, combine: bool = True) -> ParsedLayers"),
             "Per top cell and layer, the tree reduced to that layer; combined unless combine is False.")
        .def("extract_layers", &ParseGDS::extract_layers,
             "Map the layout's layer indices whose (layer, datatype) is in the layer table.")
        .def("extract_dpolygon", &ParseGDS::extract_dpolygon, "polygon"_a,
             nb::sig("def extract_dpolygon(self, polygon: kdb.Polygon) -> Polygon"),
             "Hull of a KLayout polygon in micrometres, simplified when curve_tolerance is set "
             "(an outline whose edges are all horizontal or vertical keeps its points).")
        .def("parse_cells", &ParseGDS::parse_cells, "cell"_a,
             nb::sig("def parse_cells(self, cell: kdb.Cell) -> Cell"),
             "Parse a cell and its whole reference tree, filling the polygon pool.")
        .def("combine_references", &ParseGDS::combine_references, "output"_a.none(),
             nb::sig("def combine_references(self, output: Output) -> ParsedCells | ParsedLayers | None"),
             "Merge references to the same cell, composing placements relative to the top cell.")
        .def_rw("z_scale", &ParseGDS::z_scale)
        .def_rw("instance_index", &ParseGDS::instance_index)
        .def_rw("cell_combined", &ParseGDS::cell_combined)
        .def_rw("layer_combined", &ParseGDS::layer_combined);

    // Python-object state, with its type for editors and stubs.
    const std::pair<const char*, nb::object ParseGDS::*> members[] = {
        {"layout", &ParseGDS::layout},
        {"layers", &ParseGDS::layers},
        {"curve_tolerance", &ParseGDS::curve_tolerance},
        {"exclude_layers", &ParseGDS::exclude_layers},
        {"instances", &ParseGDS::instances},
        {"instance_mapping", &ParseGDS::instance_mapping},
        {"parsed_cells", &ParseGDS::parsed_cells},
        {"parsed_layers", &ParseGDS::parsed_layers},
        {"layer_map", &ParseGDS::layer_map},
        {"reverse_layer_map", &ParseGDS::reverse_layer_map},
        {"cell_index_map", &ParseGDS::cell_index_map},
    };
    const char* types[] = {"kdb.Layout", "dict[tuple[int, int], PdkLayer]", "float | None", "list[str] | None",
                           "Instances", "dict[tuple[int, int, int], int]", "ParsedCells | None",
                           "ParsedLayers | None", "LayerMap", "ReverseLayerMap", "dict[int, kdb.Cell]"};
    nb::handle cls = m.attr("ParseGDS");
    for (size_t k = 0; k < std::size(members); ++k) {
        auto member = members[k].second;
        const std::string name = members[k].first, type = types[k];
        nb::object getter = nb::cpp_function([member](const ParseGDS& p) { return p.*member; }, nb::is_method(),
                                             nb::sig(("def " + name + "(self) -> " + type).c_str()));
        nb::object setter = nb::cpp_function([member](ParseGDS& p, nb::object v) { p.*member = std::move(v); },
                                             nb::is_method(), nb::arg("value").none(),
                                             nb::sig(("def " + name + "(self, value: " + type + ") -> None").c_str()));
        cls.attr(name.c_str()) = nb::module_::import_("builtins").attr("property")(getter, setter);
    }
}

}  // namespace lumino
