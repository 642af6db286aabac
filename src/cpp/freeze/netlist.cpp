// Schematic freeze over Python maps.  Maps are read through the mapping
// protocol (plain dicts take a fast path); every result is a fresh dict.
// Texts cross into C++ as UTF-8 with lone surrogates passed through, so any
// Python text round-trips.
#include "freeze/netlist.hpp"

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "freeze/flatten.hpp"
#include "freeze/names.hpp"

using namespace nb::literals;

namespace freeze {

namespace {

// The six sections of a schematic netlist, in their order.
constexpr const char* kSections[] = {"instances", "connections", "ports", "placements", "routes", "nets"};

using corvane::raise;

[[noreturn]] void fail() { throw nb::python_error(); }

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) return std::string(data, size);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) fail();
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid()) fail();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str text(std::string_view data) {
    PyObject* s = PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "surrogatepass");
    if (!s) fail();
    return nb::steal<nb::str>(s);
}

nb::str str_of(nb::handle value) {
    PyObject* s = PyObject_Str(value.ptr());
    if (!s) fail();
    return nb::steal<nb::str>(s);
}

nb::str repr_of(nb::handle value) {
    PyObject* s = PyObject_Repr(value.ptr());
    if (!s) fail();
    return nb::steal<nb::str>(s);
}

// The texts joined, as one Python text (messages keep whatever their parts hold).
nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list list;
    for (nb::handle p : parts) list.append(p);
    PyObject* s = PyUnicode_Join(nb::str("").ptr(), list.ptr());
    if (!s) fail();
    return nb::steal<nb::str>(s);
}

[[noreturn]] void raise_text(PyObject* type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    fail();
}

std::string kind_of(nb::handle value) {
    return nb::cast<std::string>(nb::handle((PyObject*)Py_TYPE(value.ptr())).attr("__name__"));
}

bool is_map(nb::handle value) {
    if (PyDict_Check(value.ptr())) return true;
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    const int r = PyObject_IsInstance(value.ptr(), mapping.ptr());
    if (r < 0) fail();
    return r == 1;
}

// TypeError "<where> must be <kind>, not <type>"; `where` is made only on error.
template <class Where>
void require_map(nb::handle value, Where&& where, const char* kind = "a dict") {
    if (is_map(value)) return;
    raise(PyExc_TypeError, where() + " must be " + kind + ", not " + kind_of(value));
}

// netlist['<section>'] as a text, for error messages.
auto section(const char* name) {
    return [name] { return std::string("netlist['") + name + "']"; };
}

// netlist['<section>'][<key>] as a text.
auto entry(const char* name, nb::handle key) {
    return [name, key] { return std::string("netlist['") + name + "'][" + nb::cast<std::string>(nb::repr(key)) + "]"; };
}

// (key, value) pairs of a map, taken before any of them is used.
std::vector<std::pair<nb::object, nb::object>> items_of(nb::handle map) {
    nb::object list;
    if (PyDict_CheckExact(map.ptr())) {
        list = nb::steal(PyDict_Items(map.ptr()));
    } else {
        nb::object items = map.attr("items")();
        list = nb::steal(PySequence_List(items.ptr()));
    }
    if (!list.is_valid()) fail();
    std::vector<std::pair<nb::object, nb::object>> out;
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.ptr())));
    for (nb::handle item : nb::borrow<nb::list>(list)) {
        nb::object pair = nb::steal(PySequence_Tuple(item.ptr()));
        if (!pair.is_valid()) fail();
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) raise(PyExc_ValueError, "a map item must be a (key, value) pair");
        out.emplace_back(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
    }
    return out;
}

// map.get(key, default)
nb::object get_or(nb::handle map, const char* key, nb::handle fallback) {
    nb::str k(key);
    if (PyDict_CheckExact(map.ptr())) {
        if (PyObject* v = PyDict_GetItemWithError(map.ptr(), k.ptr())) return nb::borrow(v);
        if (PyErr_Occurred()) fail();
        return nb::borrow(fallback);
    }
    return map.attr("get")(k, fallback);
}

bool contains(nb::handle container, nb::handle key) {
    const int found = PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0) fail();
    return found == 1;
}

bool truthy(nb::handle value) {
    const int t = PyObject_IsTrue(value.ptr());
    if (t < 0) fail();
    return t == 1;
}

// A port reference with its instance renamed through `mapping`; nothing when
// the instance has no new name.
std::optional<nb::str> renamed(nb::handle reference, nb::handle mapping) {
    if (!PyUnicode_Check(reference.ptr()))
        raise_text(PyExc_TypeError,
                   concat({nb::str("Port reference "), repr_of(reference), nb::str(" must be a text 'instance,port'")}));
    const std::string ref = utf8(reference);
    const auto parts = split_port_reference(ref);
    if (!parts)
        raise_text(PyExc_ValueError,
                   concat({nb::str("Port reference "), repr_of(reference), nb::str(" must be 'instance,port'")}));
    nb::str instance = text(parts->instance);
    PyObject* new_name = PyDict_GetItemWithError(mapping.ptr(), instance.ptr());  // borrowed
    if (!new_name) {
        if (PyErr_Occurred()) fail();
        return std::nullopt;
    }
    return text(join_port_reference(utf8(new_name), parts->port));
}

// {ref: ref} with both ends renamed; pairs naming an unknown instance dropped.
nb::dict renamed_links(nb::handle links, nb::handle mapping) {
    nb::dict out;
    for (auto& [a, b] : items_of(links)) {
        auto ra = renamed(a, mapping);
        auto rb = renamed(b, mapping);
        if (ra && rb) out[*ra] = *rb;
    }
    return out;
}

// Flattening over Python maps: nested dicts are walked into, anything else is
// a leaf; keys as str() gives them.  The root only needs items().
struct PyMaps {
    std::vector<std::pair<std::string, nb::object>> entries(const nb::object& map) {
        std::vector<std::pair<std::string, nb::object>> out;
        for (auto& [k, v] : items_of(map)) out.emplace_back(utf8(str_of(k)), std::move(v));
        return out;
    }
    bool is_map(const nb::object& value) { return PyDict_Check(value.ptr()); }
    const void* identity(const nb::object& map) { return map.ptr(); }
    [[noreturn]] void cycle() { raise(PyExc_RecursionError, "warnings contain a map nested inside itself"); }
};

// One text "key: value" per entry of the flattened warnings, in order.
std::vector<nb::str> warning_texts(const nb::object& warnings) {
    nb::object flatten;
    try {
        flatten = corvane::module_attr("sax").attr("flatten_dict");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        // sax is optional: without it the warnings are flattened here.
    }
    std::vector<nb::str> texts;
    nb::str colon(": ");
    if (flatten.is_valid()) {
        nb::object flat = flatten(warnings, "sep"_a = " ");
        for (auto& [k, v] : items_of(flat)) texts.push_back(concat({str_of(k), colon, str_of(v)}));
    } else {
        PyMaps maps;
        for (auto& [k, v] : flatten_nested(warnings, " ", maps)) texts.push_back(concat({text(k), colon, str_of(v)}));
    }
    return texts;
}

}  // namespace

void normalize_names(nb::handle netlist) {
    require_map(netlist, [] { return std::string("netlist"); });
    nb::object instances = netlist["instances"];
    nb::object placements = netlist["placements"];
    require_map(instances, section("instances"));
    require_map(placements, section("placements"));

    InstanceNamer namer;
    nb::dict mapping, new_instances, new_placements;
    for (auto& [old_name, instance] : items_of(instances)) {
        require_map(instance, entry("instances", old_name), "a dict with 'component'");
        nb::object component = instance["component"];
        if (!PyUnicode_Check(component.ptr()))
            raise_text(PyExc_TypeError, concat({nb::str("The component of instance "), repr_of(old_name),
                                                nb::str(" must be a text, not "), repr_of(component)}));
        nb::str new_name = text(namer.next(utf8(component)));
        mapping[old_name] = new_name;
        nb::dict entry;
        entry["component"] = component;
        entry["settings"] = get_or(instance, "settings", nb::dict());
        new_instances[new_name] = entry;
        if (contains(placements, old_name)) new_placements[new_name] = placements[old_name];
    }
    netlist["instances"] = new_instances;
    netlist["placements"] = new_placements;

    nb::object connections = netlist["connections"];
    require_map(connections, section("connections"));
    netlist["connections"] = renamed_links(connections, mapping);

    nb::dict ports;
    nb::object old_ports = netlist["ports"];
    require_map(old_ports, section("ports"));
    for (auto& [outer, inner] : items_of(old_ports))
        if (auto r = renamed(inner, mapping)) ports[outer] = *r;
    netlist["ports"] = ports;

    // Bundles are rewritten in copies: the component's own netlist keeps its routes.
    nb::dict routes;
    nb::object old_routes = netlist["routes"];
    require_map(old_routes, section("routes"));
    for (auto& [name, bundle] : items_of(old_routes)) {
        require_map(bundle, entry("routes", name));
        nb::object old_links = get_or(bundle, "links", nb::dict());
        require_map(old_links, [&] { return entry("routes", name)() + "['links']"; });
        nb::dict links = renamed_links(old_links, mapping);
        nb::dict copy;
        if (PyDict_Merge(copy.ptr(), bundle.ptr(), 1) < 0) fail();
        copy["links"] = links;
        routes[name] = copy;
    }
    netlist["routes"] = routes;

    nb::list nets;
    nb::object old_nets = netlist["nets"];
    // A map or a text would be walked key by key, letter by letter (an empty
    // map is what a netlist without nets gives).
    if ((is_map(old_nets) && truthy(old_nets)) || PyUnicode_Check(old_nets.ptr()) || PyBytes_Check(old_nets.ptr()))
        raise(PyExc_TypeError, "netlist['nets'] must be a list of {'p1', 'p2'} maps, not " + kind_of(old_nets));
    corvane::for_each(old_nets, [&](nb::object net) {
        require_map(net, [] { return std::string("a net of netlist['nets']"); }, "a dict with 'p1' and 'p2'");
        auto r1 = renamed(net["p1"], mapping);
        auto r2 = renamed(net["p2"], mapping);
        if (r1 && r2) {
            nb::dict entry;
            entry["p1"] = *r1;
            entry["p2"] = *r2;
            nets.append(entry);
        }
    });
    netlist["nets"] = nets;
}

nb::dict freeze_cell(nb::handle name, nb::kwargs kwargs) {
    if (!PyUnicode_Check(name.ptr())) raise(PyExc_TypeError, "cell_name must be a str, not " + kind_of(name));
    nb::str cell_name = nb::borrow<nb::str>(name);
    nb::object pdk = corvane::module_attr("get_pdk")();
    nb::object cells = pdk.attr("cells");
    if (!contains(cells, cell_name))
        raise_text(PyExc_FileNotFoundError,
                   concat({nb::str("Cell "), cell_name, nb::str(" not found in PDK "), str_of(pdk.attr("name"))}));

    nb::object cell_func = cells[cell_name];
    nb::object module_name = cell_func.attr("__module__");
    if (PyUnicode_Check(module_name.ptr())) {
        const Py_ssize_t ends =
            PyUnicode_Tailmatch(module_name.ptr(), nb::str("_picyml").ptr(), 0, PY_SSIZE_T_MAX, +1);
        if (ends < 0) fail();
        if (ends == 1)
            raise_text(PyExc_RuntimeError, concat({nb::str("Cell "), cell_name, nb::str(" is alreay a YAML cell.")}));
    }

    nb::object cell = nb::steal(PyObject_Call(cell_func.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    if (!cell.is_valid()) fail();
    nb::object net = cell.attr("get_netlist")();

    nb::dict netlist;
    for (const char* key : kSections) netlist[key] = get_or(net, key, nb::dict());
    if (!truthy(netlist["instances"]))
        raise_text(PyExc_RuntimeError, concat({nb::str("Cell "), cell_name, nb::str(" has no instances.")}));

    for (const nb::str& t : warning_texts(get_or(net, "warnings", nb::dict())))
        corvane::module_attr("log")().attr("warning")(t);

    normalize_names(netlist);
    return netlist;
}

}  // namespace freeze
