// ParseGDS.to_viewer: the combined parse result as the viewer's part tree.
//
// Cell-wise ("/Cells"): one Parts per cell that shows something, holding a
// Part per visible layer of the cell's own polygons, then its references;
// branches without parts are pruned.  Layer-wise ("/Layers"): per top cell
// and layer, a layer Parts holding that layer's filtered tree, each cell
// with one "components" Part.  Records are made through the module's record
// classes as they are bound at call time; placement matrices and the polygon
// pool become float32 arrays filled straight from C++.
#include "lumino/viewer.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "lumino/ktrans.hpp"
#include "lumino/parse.hpp"
#include "lumino/pool_py.hpp"
#include "lumino/pyedge.hpp"
#include "lumino/layer_cache.hpp"

namespace lumino {

using corvane::module_attr;
using namespace nb::literals;

namespace {

bool contains(nb::handle container, nb::handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Unpack one (key, value) item.
std::pair<nb::object, nb::object> pair_of(nb::handle item) {
    nb::object t = PyTuple_CheckExact(item.ptr()) ? nb::borrow(item) : own(PySequence_Tuple(item.ptr()));
    if (PyTuple_GET_SIZE(t.ptr()) != 2) corvane::raise(PyExc_ValueError, "expected (key, value) pairs");
    return {nb::borrow(PyTuple_GET_ITEM(t.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(t.ptr(), 1))};
}

// The placement matrices of one reference: six float32 values per KTrans,
// or, when `trans` holds other objects, their trans_matrix() results for
// numpy to convert.
struct Placements {
    bool ready = false;
    bool plain = true;
    std::vector<float> values;
    nb::object listed;
};

class Converter {
  public:
    explicit Converter(ParseGDS& g)
        : g_(g),
          layers_(g),
          parts_cls_(module_attr("Parts")),
          part_cls_(module_attr("Part")),
          shape_cls_(module_attr("Shape")),
          ref_cls_(module_attr("Reference")),
          ktrans_type_((PyTypeObject*)nb::type<KTrans>().ptr()),
          parts_kw_(nb::make_tuple("id", "name")),
          part_kw_(nb::make_tuple("name", "id", "shape", "color", "loc")) {}

    // The Parts of `cells` (cell-wise), pruned of those without parts.
    nb::list convert_cells(nb::handle cells, nb::handle parent) {
        RecursionGuard guard(" while converting the cell tree to viewer parts");
        nb::list parts;
        for (nb::handle cell : snapshot(cells)) {
            nb::object name = cell.attr(k_name_);
            nb::object id = concat(parent, slash_, own(PyObject_Str(name.ptr())));
            nb::object result = make_parts(id, name);
            nb::object children = result.attr(k_parts_);
            const bool is_ref = is_instance(cell, ref_cls_);
            Placements placements;
            for (nb::handle item : items_of(cell.attr(k_polygons_))) {
                auto [layer, refs] = pair_of(item);
                if (g_.parsed_cells.is_none()) corvane::assertion_error();
                LayerInfo& li = layers_.cell_layer(layer, [&] { return nb::object(g_.parsed_cells).attr("layer_map"); });
                if (li.excluded) continue;
                layers_.complete(li);
                nb::object matrices;
                if (is_ref) matrices = matrices_of(cell, placements);
                nb::object shape = make_shape(refs, li.height, matrices);
                append(children, make_part(li.name, concat(id, slash_, li.name), shape, li));
            }
            nb::object references = cell.attr(k_references_);
            if (length(references) > 0) {
                nb::list sub = convert_cells(references, id);
                for (nb::handle s : sub) append(children, s);
            }
            if (length(children) > 0) parts.append(result);
        }
        return parts;
    }

    // One layer Parts per (top cell, layer) entry that is known and shown.
    void convert_layers(nb::handle result) {
        nb::object root_id = result.attr("id");
        nb::object root_parts = result.attr(k_parts_);
        nb::object parsed = g_.parsed_layers;
        for (nb::handle top_layer : snapshot(parsed.attr("layers"))) {
            for (nb::handle item : items_of(top_layer)) {
                auto [layer_id, tree] = pair_of(item);
                LayerInfo* li = layers_.layer_of(layer_id);
                if (!li || li->excluded) continue;
                nb::object id = concat(root_id, slash_, li->name);
                nb::object layer_part = make_parts(id, li->name);
                append(layer_part.attr(k_parts_), convert_layer(*li, layer_id, tree, id));
                append(root_parts, layer_part);
            }
        }
    }

    // The polygon pool as flat float32 arrays (x0, y0, x1, y1, ...).
    void convert_pool(nb::handle instances, nb::handle result) {
        nb::object target = result.attr("instances");
        if (std::shared_ptr<PolygonPool> pool = pool_of(instances)) {
            // The parser's own pool: read in C++, no polygon made in Python.
            for (size_t k = 0; k < pool->size(); ++k) {
                const std::span<const double> xy = (*pool)[k];
                append(target, arrays_.make(xy.size(), [&](float* out) {
                    for (size_t j = 0; j < xy.size(); ++j) out[j] = static_cast<float>(xy[j]);
                }));
            }
            return;
        }
        for (nb::handle polygon : snapshot(instances)) append(target, polygon_array(polygon));
    }

  private:
    // A cell of a layer's filtered tree and everything below it, unpruned.
    nb::object convert_layer(LayerInfo& li, nb::handle layer_id, nb::handle cell, nb::handle parent) {
        RecursionGuard guard(" while converting the layer tree to viewer parts");
        nb::object name = cell.attr(k_name_);
        nb::object id = concat(parent, slash_, own(PyObject_Str(name.ptr())));
        nb::object result = make_parts(id, name);
        nb::object children = result.attr(k_parts_);
        nb::object polygons = cell.attr(k_polygons_);
        if (length(polygons) > 0) {
            // A filtered tree keeps its polygons under its own layer key.
            // Two layout layers may carry the same (layer, datatype), and
            // the reverse map then names only one of them.
            nb::object key = nb::borrow(layer_id);
            if (!contains(polygons, key)) {
                nb::object reverse = g_.reverse_layer_map;
                key = own(PyObject_Str(nb::object(reverse[li.spec]).ptr()));
            }
            nb::object refs = polygons[key];
            layers_.complete(li);
            nb::object matrices;
            Placements placements;
            if (is_instance(cell, ref_cls_)) matrices = matrices_of(cell, placements);
            nb::object shape = make_shape(refs, li.height, matrices);
            append(children, make_part(components_, concat(id, slash_components_), shape, li));
        }
        nb::object references = cell.attr(k_references_);
        if (length(references) > 0)
            for (nb::handle ref : snapshot(references)) append(children, convert_layer(li, layer_id, ref, id));
        return result;
    }

    nb::object make_parts(nb::handle id, nb::handle name) {
        PyObject* args[] = {id.ptr(), name.ptr()};
        return own(PyObject_Vectorcall(parts_cls_.ptr(), args, 0, parts_kw_.ptr()));
    }

    nb::object make_part(nb::handle name, nb::handle id, nb::handle shape, const LayerInfo& li) {
        PyObject* args[] = {name.ptr(), id.ptr(), shape.ptr(), li.color.ptr(), li.loc.ptr()};
        return own(PyObject_Vectorcall(part_cls_.ptr(), args, 0, part_kw_.ptr()));
    }

    // Shape(refs, height), with the matrices when the cell is placed.
    nb::object make_shape(nb::handle refs, nb::handle height, nb::handle matrices) {
        PyObject* args[] = {refs.ptr(), height.ptr(), matrices.ptr()};
        return own(PyObject_Vectorcall(shape_cls_.ptr(), args, matrices.is_valid() ? 3 : 2, nullptr));
    }

    // A new float32 array of a reference's placement matrices (a, b, tx,
    // c, d, ty per placement, in `trans` order).
    nb::object matrices_of(nb::handle cell, Placements& p) {
        if (!p.ready) {
            nb::list trans = snapshot(cell.attr(k_trans_));
            for (nb::handle t : trans)
                if (Py_TYPE(t.ptr()) != ktrans_type_ || !nb::inst_ready(t)) p.plain = false;
            if (p.plain) {
                p.values.reserve(6 * trans.size());
                for (nb::handle t : trans)
                    for (double e : nb::inst_ptr<KTrans>(t)->matrix()) p.values.push_back(static_cast<float>(e));
            } else {
                nb::list listed;
                for (nb::handle t : trans) listed.append(t.attr("trans_matrix")());
                p.listed = listed;
            }
            p.ready = true;
        }
        if (!p.plain) return flat_float32(p.listed);
        return arrays_.make(p.values.size(), [&](float* out) {
            if (!p.values.empty()) std::memcpy(out, p.values.data(), p.values.size() * sizeof(float));
        });
    }

    // numpy.array(value, dtype="float32").flatten()
    nb::object flat_float32(nb::handle value) {
        return module_attr("np").attr("array")(value, "dtype"_a = "float32").attr("flatten")();
    }

    // One pool polygon as a float32 array.  A sequence of (x, y) float
    // pairs, as the parse makes them, is read directly; anything else goes
    // through numpy.
    nb::object polygon_array(nb::handle polygon) {
        PyObject* poly = polygon.ptr();
        if (!PyList_CheckExact(poly) && !PyTuple_CheckExact(poly)) return flat_float32(polygon);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(poly);
        PyObject** points = PySequence_Fast_ITEMS(poly);
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* p = points[k];
            if (!(PyTuple_CheckExact(p) || PyList_CheckExact(p)) || PySequence_Fast_GET_SIZE(p) != 2)
                return flat_float32(polygon);
            PyObject** xy = PySequence_Fast_ITEMS(p);
            if (!PyFloat_CheckExact(xy[0]) || !PyFloat_CheckExact(xy[1])) return flat_float32(polygon);
        }
        return arrays_.make(size_t(2 * n), [&](float* out) {
            for (Py_ssize_t k = 0; k < n; ++k) {
                PyObject** xy = PySequence_Fast_ITEMS(points[k]);
                out[2 * k] = static_cast<float>(PyFloat_AS_DOUBLE(xy[0]));
                out[2 * k + 1] = static_cast<float>(PyFloat_AS_DOUBLE(xy[1]));
            }
        });
    }

    ParseGDS& g_;
    LayerCache layers_;
    nb::object parts_cls_, part_cls_, shape_cls_, ref_cls_;
    PyTypeObject* ktrans_type_;
    nb::object parts_kw_, part_kw_;
    nb::str k_name_{"name"}, k_parts_{"parts"}, k_polygons_{"polygons"}, k_references_{"references"},
        k_trans_{"trans"}, slash_{"/"}, components_{"components"}, slash_components_{"/components"};
    Float32Arrays arrays_;
};

}  // namespace

nb::object to_viewer(ParseGDS& self, nb::handle output) {
    corvane::GcPause pause;
    nb::object Output = module_attr("Output");
    if (equals(output, Output.attr("CELL"))) {
        if (self.parsed_cells.is_none()) corvane::assertion_error();
        if (!self.cell_combined) self.combine_references(Output.attr("CELL"));
        nb::object result = module_attr("ViewerData")("name"_a = "Cells", "id"_a = "/Cells");
        Converter convert(self);
        nb::object parsed = self.parsed_cells;
        result.attr("parts") = convert.convert_cells(parsed.attr("cells"), result.attr("id"));
        convert.convert_pool(parsed.attr("instances"), result);
        return result;
    }
    if (equals(output, Output.attr("LAYER"))) {
        if (!self.layer_combined) self.combine_references(Output.attr("LAYER"));
        nb::object result = module_attr("ViewerData")("name"_a = "Layers", "id"_a = "/Layers");
        if (self.parsed_layers.is_none()) corvane::assertion_error();
        Converter convert(self);
        nb::object parsed = self.parsed_layers;
        convert.convert_layers(result);
        convert.convert_pool(parsed.attr("instances"), result);
        return result;
    }
    std::string msg = "Unknown output ";
    msg += corvane::str_of(output);
    corvane::raise(PyExc_ValueError, msg);
}

void bind_viewer(nb::module_& m) {
    nb::handle cls = m.attr("ParseGDS");
    cls.attr("to_viewer") = nb::cpp_function(
        &to_viewer, nb::is_method(), nb::scope(cls), nb::name("to_viewer"), "output"_a.none(),
        nb::sig("def to_viewer(self, output: Output) -> ViewerData"),
        "The parse result as the viewer's part tree: by cell (Output.CELL, root '/Cells') or by layer "
        "(Output.LAYER, root '/Layers'); combines the references first when needed.");
}

}  // namespace lumino
