// Records of the parsed layout and of the viewer's part tree, made with
// dataclasses.make_dataclass so that they are real dataclasses (fields,
// asdict, replace, generated __init__/__eq__/__repr__).
#include "lumino/py/records.hpp"

#include <vector>

#include "lumino/py/layers.hpp"

namespace lumino {

namespace {

constexpr const char* kModule = "corvane.core.lumino";

using namespace nb::literals;

struct Dc {
    nb::object make, field, missing;
    Dc() {
        nb::module_ dc = nb::module_::import_("dataclasses");
        make = dc.attr("make_dataclass");
        field = dc.attr("field");
        missing = dc.attr("MISSING");
    }
    // A field entry (name, annotation text[, dataclasses.field(...)]).
    nb::tuple req(const char* name, const char* ann) const { return nb::make_tuple(name, ann); }
    nb::tuple req_kw(const char* name, const char* ann) const {
        return nb::make_tuple(name, ann, field("kw_only"_a = true));
    }
    nb::tuple dflt(const char* name, const char* ann, nb::handle value, bool kw = false) const {
        return nb::make_tuple(name, ann, field("default"_a = value, "kw_only"_a = kw));
    }
    nb::tuple factory(const char* name, const char* ann, nb::handle f, bool kw = false) const {
        return nb::make_tuple(name, ann, field("default_factory"_a = f, "kw_only"_a = kw));
    }
    nb::object cls(const char* name, nb::list fields, nb::handle base = nb::handle()) const {
        nb::dict ns;
        ns["__module__"] = kModule;
        ns["__qualname__"] = name;
        nb::tuple bases = base.is_valid() ? nb::make_tuple(base) : nb::tuple();
#if PY_VERSION_HEX >= 0x030C0000
        // Newer make_dataclass sets __module__ from the calling frame unless told.
        return make(name, fields, "bases"_a = bases, "namespace"_a = ns, "module"_a = kModule);
#else
        return make(name, fields, "bases"_a = bases, "namespace"_a = ns);
#endif
    }
};

// Strong references, never released: the module lives for the process.
PyObject* own_classes[2] = {nullptr, nullptr};

nb::object builtin(const char* name) { return nb::module_::import_("builtins").attr(name); }

// tuple[...] / list[...] / dict[...] generic aliases.
nb::object generic(const char* base, std::initializer_list<nb::handle> args) {
    nb::list l;
    for (nb::handle a : args) l.append(a);
    nb::object params = args.size() == 1 ? nb::borrow(*args.begin()) : nb::object(nb::tuple(l));
    return builtin(base)[params];
}

}  // namespace

void define_preamble(nb::module_& m) {
    // Standard-library names the module carries, as plain attributes.
    for (const char* mod : {"base64", "math", "tempfile"}) m.attr(mod) = nb::module_::import_(mod);
    auto from = [&](const char* mod, std::initializer_list<const char*> names) {
        nb::module_ src = nb::module_::import_(mod);
        for (const char* n : names) m.attr(n) = src.attr(n);
    };
    from("dataclasses", {"dataclass", "field", "fields", "is_dataclass"});
    from("enum", {"Enum", "auto"});
    from("fnmatch", {"fnmatch"});
    from("typing", {"TYPE_CHECKING", "Any", "TypeAlias", "cast"});
    from("corvane.core.lazy", {"lazy_import"});

    nb::list all;
    all.append("lumino");
    m.attr("__all__") = all;
    m.attr("FORMAT") = "GDS";
    m.attr("VERSION") = "3";

    nb::object f = builtin("float"), i = builtin("int"), s = builtin("str");
    m.attr("Point") = generic("tuple", {f, f});
    m.attr("Polygon") = generic("list", {m.attr("Point")});
    m.attr("Polygons") = generic("list", {m.attr("Polygon")});
    m.attr("Instances") = generic("list", {m.attr("Polygon")});
    m.attr("PolygonRef") = generic("list", {i});
    m.attr("LayerSpec") = generic("tuple", {i, i});
    m.attr("LayerMap") = generic("dict", {i, m.attr("LayerSpec")});
    m.attr("ReverseLayerMap") = generic("dict", {m.attr("LayerSpec"), i});
    m.attr("LayerId") = s;
    m.attr("LayerPolygons") = generic("dict", {m.attr("LayerId"), m.attr("PolygonRef")});
    m.attr("WebColor") = s;
    nb::object row = generic("tuple", {f, f, f});
    m.attr("TransMatrix") = generic("tuple", {row, row});
    // numpy is not imported at load: the array alias stays a text.
    m.attr("FlattenedTransMatrices") = "npt.NDArray[np.float32]";

    // Heavy dependencies are bound lazily, in this order.
    nb::object lazy = m.attr("lazy_import");
    const std::pair<const char*, const char*> aliases[] = {
        {"npt", "numpy.typing"},         {"stockkit", "velloc.pdk"},
        {"vlt", "velloc.technology"},    {"ov", "orvik"},
        {"pya", "klayout.db"},           {"kdb", "klayout.dbcore"},
        {"np", "numpy"},                 {"orjson", "orjson"},
        {"sg", "shapely.geometry"},      {"cvn_pdk", "corvane.core.pdk"},
        {"comms", "corvane.core.communication"}, {"m", "corvane.models"},
        {"shared", "corvane.core.shared"},
    };
    for (auto& [alias, path] : aliases) m.attr(alias) = lazy(path);
}

void define_records(nb::module_& m) {
    Dc dc;
    nb::object dict = builtin("dict"), list = builtin("list");

    nb::list cell;
    cell.append(dc.req("cell_index", "int"));
    cell.append(dc.req("name", "str"));
    cell.append(dc.factory("polygons", "LayerPolygons", dict));
    cell.append(dc.factory("references", "References", list));
    nb::object Cell = dc.cls("Cell", cell);
    m.attr("Cell") = Cell;
    own_classes[int(Rec::Cell)] = Cell.inc_ref().ptr();
    m.attr("Cells") = generic("list", {Cell});

    nb::list ref;
    ref.append(dc.dflt("trans_count", "int", nb::int_(0)));
    ref.append(dc.factory("trans", "list[KTrans]", list));
    nb::object Reference = dc.cls("Reference", ref, Cell);
    m.attr("Reference") = Reference;
    own_classes[int(Rec::Reference)] = Reference.inc_ref().ptr();
    m.attr("References") = generic("list", {Reference});

    nb::list pc;
    pc.append(dc.req("instances", "Instances"));
    pc.append(dc.req("layer_map", "LayerMap"));
    pc.append(dc.req("cells", "Cells"));
    m.attr("ParsedCells") = dc.cls("ParsedCells", pc);

    nb::list pl;
    pl.append(dc.req("instances", "Instances"));
    pl.append(dc.req("layer_map", "LayerMap"));
    pl.append(dc.req("layers", "list[dict[str, Cell | Reference]]"));
    m.attr("ParsedLayers") = dc.cls("ParsedLayers", pl);

    nb::list pk;
    pk.append(dc.req("name", "str"));
    pk.append(dc.req("thickness", "float"));
    pk.append(dc.req("zmin", "float"));
    pk.append(dc.req("color", "str"));
    nb::object PdkLayer = dc.cls("PdkLayer", pk);
    attach_pdk_layer_text(PdkLayer);
    m.attr("PdkLayer") = PdkLayer;

    nb::object f = builtin("float");
    m.attr("Position") = generic("tuple", {f, f, f});
    m.attr("Quaternion") = generic("tuple", {f, f, f, f});

    // Immutable constant defaults, handed out by factories.
    nb::object origin = nb::make_tuple(nb::make_tuple(0.0, 0.0, 0.0), nb::make_tuple(0.0, 0.0, 0.0, 1.0));
    nb::object loc_factory = nb::cpp_function([origin]() { return origin; });
    nb::object state = nb::make_tuple(1, 1);
    nb::object state_factory = nb::cpp_function([state]() { return state; });
    // A new empty float32 array per shape; numpy is reached at call time.
    nb::object matrices_factory = nb::cpp_function([]() {
        return corvane::module_attr("np").attr("array")(nb::list(), "dtype"_a = "float32");
    });

    nb::list pb;
    pb.append(dc.req("name", "str"));
    pb.append(dc.req("id", "str"));
    pb.append(dc.dflt("version", "str", m.attr("VERSION")));
    pb.append(dc.factory("loc", "tuple[Position, Quaternion]", loc_factory));
    nb::object PartBase = dc.cls("PartBase", pb);
    m.attr("PartBase") = PartBase;

    nb::list sh;
    sh.append(dc.req("refs", "list[int]"));
    sh.append(dc.req("height", "float"));
    sh.append(dc.factory("matrices", "FlattenedTransMatrices", matrices_factory));
    m.attr("Shape") = dc.cls("Shape", sh);

    nb::list part;
    part.append(dc.req_kw("shape", "Shape"));
    part.append(dc.req_kw("color", "str"));
    part.append(dc.dflt("renderback", "bool", nb::bool_(false), true));
    part.append(dc.factory("state", "tuple[int, int]", state_factory, true));
    part.append(dc.dflt("type", "str", nb::str("polygon"), true));
    part.append(dc.dflt("subtype", "str", nb::str("solid"), true));
    m.attr("Part") = dc.cls("Part", part, PartBase);

    nb::list parts;
    parts.append(dc.factory("parts", "list[Part | Parts]", list, true));
    nb::object Parts = dc.cls("Parts", parts, PartBase);
    m.attr("Parts") = Parts;

    nb::list vd;
    vd.append(dc.dflt("format", "str", m.attr("FORMAT"), true));
    vd.append(dc.factory("instances", "list[npt.NDArray[np.float32]]", list, true));
    m.attr("ViewerData") = dc.cls("ViewerData", vd, Parts);
}

void define_output(nb::module_& m) {
    nb::object Enum = nb::module_::import_("enum").attr("Enum");
    nb::list members;
    members.append(nb::make_tuple("CELL", 1));
    members.append(nb::make_tuple("LAYER", 2));
    m.attr("Output") = Enum("Output", members, "module"_a = kModule, "qualname"_a = "Output");
}

nb::handle own_class(Rec which) { return own_classes[int(which)]; }

nb::object make_record(nb::handle cls, Rec own, size_t npos,
                       std::initializer_list<std::pair<nb::handle, nb::handle>> fields) {
    if (!cls.is(own_class(own))) {
        nb::list args;
        size_t k = 0;
        for (auto& [name, value] : fields)
            if (k++ < npos) args.append(value);
        nb::object obj = cls(*args);
        k = 0;
        for (auto& [name, value] : fields)
            if (k++ >= npos && PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0) throw nb::python_error();
        return obj;
    }
    // object.__new__ plus a filled instance dict: what the generated __init__
    // would leave behind, without its per-field Python bytecode.
    PyTypeObject* tp = (PyTypeObject*)cls.ptr();
    nb::object obj = nb::steal(tp->tp_alloc(tp, 0));
    if (!obj.is_valid()) throw nb::python_error();
    nb::dict d;
    for (auto& [name, value] : fields)
        if (PyDict_SetItem(d.ptr(), name.ptr(), value.ptr()) != 0) throw nb::python_error();
    if (PyObject_GenericSetDict(obj.ptr(), d.ptr(), nullptr) != 0) throw nb::python_error();
    return obj;
}

}  // namespace lumino
