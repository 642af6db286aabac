// Call graph construction: which functions become nodes (an allowed cell
// decorator), which library a function belongs to, which definition of a
// short name wins (library priority), and the callee edges.
#include "weftnet/graph.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "weftnet/names.hpp"
#include "weftnet/pyutil.hpp"

namespace weftnet {

using namespace nb::literals;

namespace {

// Decorators that mark a cell factory, in the order they are tried.
constexpr const char* kAllowedDecorators[] = {
    "yaml",
    "pdk_device",
    "velloc.cell",
    "velloc._cell.cell",
    "velloc._cell.cell_with_module_name",
    "velloc.cell(...)",
    "velloc._cell.cell(...)",
    "velloc._cell.cell_with_module_name(...)",
};

struct ValidityCheck {
    std::vector<nb::str> allowed;
    nb::str decorators{"decorators"}, resolved_decorators{"resolved_decorators"};
    ValidityCheck() {
        for (const char* d : kAllowedDecorators) allowed.emplace_back(d);
    }
    bool operator()(nb::handle func_info) const {
        require_mapping("func_info", func_info);
        nb::list empty;
        nb::object decos = get_or(func_info, decorators, empty);
        nb::object resolved = get_or(func_info, resolved_decorators, empty);
        // A text would be searched for substrings: "yaml" in "not_yaml".
        if (!is_collection(decos)) wrong_type("func_info['decorators']", "a list of texts", decos);
        if (!is_collection(resolved)) wrong_type("func_info['resolved_decorators']", "a list of texts", resolved);
        for (const nb::str& d : allowed)
            if (contains(resolved, d) || contains(decos, d)) return true;
        return false;
    }
};

// One definition of a short name, before the library priority picks one.
struct Candidate {
    nb::dict props;          // node properties without other_sources
    std::string package;     // library it belongs to
    nb::object source;       // module record's "path", as stored
    std::vector<nb::object> children;  // full callee names, sorted, valid only
};

nb::object library_names_text(nb::handle lib_paths) { return text_of(nb::list(lib_paths.attr("keys")())); }

}  // namespace

bool is_valid_node(nb::handle func_info) { return ValidityCheck()(func_info); }

nb::object create_weftnet(nb::handle graph_data_in, nb::handle lib_paths_in) {
    require_mapping_or_none("graph_data", graph_data_in);
    require_mapping_or_none("lib_paths", lib_paths_in);

    nb::object lib_paths = nb::borrow(lib_paths_in);
    if (!truthy(lib_paths)) {
        lib_paths = corvane::module_attr("default_lib_paths")();
        if (!truthy(lib_paths))
            corvane::raise(PyExc_ValueError, "No library paths given to create weftnet from.");
    }

    nb::object graph_data = nb::borrow(graph_data_in);
    if (!truthy(graph_data)) {
        nb::dict paths;
        corvane::for_each(lib_paths.attr("items")(), [&](nb::object item) {
            paths[item[0]] = text_of(item[1]);
        });
        graph_data = corvane::module_attr("generate_call_graph")(paths);
        if (!truthy(graph_data))
            corvane::raise(PyExc_ValueError, "Could not parse any static call graph data from given lib paths:\n" +
                                                 utf8(library_names_text(lib_paths)) + ".");
        require_mapping("the result of generate_call_graph", graph_data);
    }

    // Everything built from here on is reachable from the graph; the
    // collector would only re-scan it (and the graph data) many times.
    corvane::GcPause gc_pause;

    // Library names in map order; the priority order leaves out velloc's own
    // functions once the project has more than two libraries.
    std::vector<std::string> libs;
    corvane::for_each(lib_paths.attr("keys")(), [&](nb::object key) {
        require_str("a library name", key);
        libs.push_back(utf8(key));
    });
    std::unordered_set<std::string> priority_set(libs.begin(), libs.end());
    std::vector<std::string> priority = libs;
    if (priority.size() > 2) {
        std::erase(priority, std::string("velloc"));
        priority_set.erase("velloc");
    }

    const ValidityCheck valid;
    nb::object functions = get_item(graph_data, "functions");
    require_mapping("graph_data['functions']", functions);
    nb::object modules;  // read when first needed
    nb::dict empty_record;
    nb::str k_path("path"), k_params("parameter_defaults"), k_resolved_params("resolved_parameter_defaults"),
        k_calls("resolved_calls"), k_gets("resolved_component_gets"), k_partial("is_partial"), k_tags("tags");
    nb::object ignored_paths = corvane::module_attr("ignored_paths");
    nb::object get_pics_dir = corvane::module_attr("get_pics_dir");
    // Lambdas are no factories; what a function reaches through them counts as its own.
    nb::object through_lambdas = corvane::module_attr("lambda_callees")(functions);
    nb::list no_callees;

    Resolver resolve_source;

    // Whether a source lies in the project library, by path components;
    // answered once per (source text, library folder text).
    std::unordered_map<std::string, bool> in_pics;
    auto in_pics_dir = [&](nb::handle source, nb::handle source_path, nb::handle pics) -> bool {
        nb::object pics_fs = nb::steal(PyOS_FSPath(pics.ptr()));
        if (!pics_fs.is_valid()) throw nb::python_error();
        if (!PyUnicode_CheckExact(source.ptr()) || !PyUnicode_CheckExact(pics_fs.ptr()))
            return truthy(source_path.attr("is_relative_to")(make_path(pics)));
        std::string key = utf8(pics_fs);
        key += '\0';
        key += utf8(source);
        auto it = in_pics.find(key);
        if (it != in_pics.end()) return it->second;
        const bool inside = truthy(source_path.attr("is_relative_to")(make_path(pics)));
        in_pics.emplace(std::move(key), inside);
        return inside;
    };

    std::vector<std::vector<Candidate>> groups;  // per short name, in first-seen order
    std::unordered_map<std::string, std::size_t> group_of;

    corvane::for_each(functions.attr("items")(), [&](nb::object item) {
        nb::object full_name = item[0];
        nb::object record = item[1];
        require_str("a function name", full_name);
        const std::string full = utf8(full_name);
        if (full.starts_with("velloc.samples")) return;
        if (!valid(record)) return;

        const std::string* package = nullptr;
        for (const std::string& lib : libs)
            if (belongs_to_library(full, lib)) {
                package = &lib;
                break;
            }
        if (!package || !priority_set.count(*package)) return;

        const std::size_t dot = full.rfind('.');
        const std::string module = full.substr(0, dot);
        const std::string name = full.substr(dot + 1);
        nb::str module_name = to_str(module);

        if (!modules.is_valid()) {
            modules = get_item(graph_data, "modules");
            require_mapping("graph_data['modules']", modules);
        }
        if (!contains(modules, module_name)) {
            log_warning("Module " + module + " not found in graph data for function " + full + ".");
            return;
        }
        // Where a wrong value sits, for the error text (made only on error).
        auto at = [](const char* section, nb::handle key, const char* field) {
            std::string s = "graph_data['";
            s += section;
            s += "'][" + utf8(nb::repr(key)) + "]";
            if (field) s += std::string("['") + field + "']";
            return s;
        };
        nb::object module_record = get_item(modules, module_name);
        if (!is_mapping(module_record)) wrong_type(at("modules", module_name, nullptr).c_str(), "a dict", module_record);
        nb::object source = get_item(module_record, k_path);
        if (!is_path(source)) wrong_type(at("modules", module_name, "path").c_str(), "a path text", source);
        nb::object source_path = resolve_source(source);
        if (contains(ignored_paths(), source_path)) return;

        // Parameter defaults that resolve to another name (a function) add a callee.
        nb::object params = get_item(record, k_params);
        if (!is_mapping(params)) wrong_type(at("functions", full_name, "parameter_defaults").c_str(), "a dict", params);
        nb::object resolved_defaults = get_item(record, k_resolved_params);
        if (!is_mapping(resolved_defaults))
            wrong_type(at("functions", full_name, "resolved_parameter_defaults").c_str(), "a dict", resolved_defaults);
        nb::list resolved_params;
        corvane::for_each(resolved_defaults.attr("items")(), [&](nb::object pv) {
            nb::object value = pv[1];
            nb::object raw = get_item(params, pv[0]);
            if (not_equal(value, raw) && PyUnicode_Check(value.ptr())) resolved_params.append(value);
        });

        // Absent (None) sequences fail as Python's iteration does; a text
        // would be taken letter by letter.
        nb::object calls = get_item(record, k_calls), gets = get_item(record, k_gets);
        if (!calls.is_none() && !is_collection(calls))
            wrong_type(at("functions", full_name, "resolved_calls").c_str(), "a list of texts", calls);
        if (!gets.is_none() && !is_collection(gets))
            wrong_type(at("functions", full_name, "resolved_component_gets").c_str(), "a list of texts", gets);
        nb::object callees = nb::steal(PySet_New(calls.ptr()));
        if (!callees.is_valid()) throw nb::python_error();
        callees.attr("update")(gets, resolved_params, get_or(through_lambdas, full_name, no_callees));
        nb::list sorted_callees = nb::list(callees);
        if (PyList_Sort(sorted_callees.ptr()) < 0) throw nb::python_error();

        Candidate cand;
        for (nb::handle callee : sorted_callees)
            if (valid(get_or(functions, callee, empty_record))) cand.children.push_back(nb::borrow(callee));

        const bool in_project = in_pics_dir(source, source_path, get_pics_dir());

        nb::dict& props = cand.props;
        props["full_name"] = full_name;
        props["short_name"] = to_str(name);
        props["source"] = source;
        props["module"] = module_name;
        props["package"] = to_str(*package);
        props["has_model"] = false;
        props["default_settings"] = params;
        props["is_partial"] = get_item(record, k_partial);
        props["pdk_type"] = in_project ? "pdk" : "base_pdk";
        props["tags"] = get_item(record, k_tags);
        cand.package = *package;
        cand.source = source;

        auto [it, fresh] = group_of.emplace(name, groups.size());
        if (fresh) groups.emplace_back();
        groups[it->second].push_back(std::move(cand));
    });

    // One definition per short name: the first candidate of the library that
    // comes first in the priority order; the others become other_sources.
    nb::object G = corvane::module_attr("nx").attr("DiGraph")();
    nb::object add_node = G.attr("add_node");
    struct Chosen {
        nb::str name;
        std::string key;
        const Candidate* cand;
    };
    std::vector<Chosen> chosen;
    std::unordered_set<std::string> node_names;
    std::vector<std::string> names_in_order(groups.size());
    for (const auto& [name, index] : group_of) names_in_order[index] = name;

    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::vector<Candidate>& cands = groups[g];
        const Candidate* pick = nullptr;
        if (cands.size() == 1) {
            pick = &cands.front();
        } else {
            for (const std::string& lib : priority) {
                for (const Candidate& c : cands)
                    if (c.package == lib) {
                        pick = &c;
                        break;
                    }
                if (pick) break;
            }
            if (!pick) continue;
        }
        nb::dict props = nb::dict(pick->props);  // shallow copy
        nb::list others;
        for (const Candidate& c : cands)
            if (&c != pick) others.append(c.source);
        props["other_sources"] = others;

        nb::str name = to_str(names_in_order[g]);
        nb::object args = nb::make_tuple(name);
        if (!nb::steal(PyObject_Call(add_node.ptr(), args.ptr(), props.ptr())).is_valid()) throw nb::python_error();
        chosen.push_back({name, names_in_order[g], pick});
        node_names.insert(names_in_order[g]);
    }

    // Edges to callees that are nodes, by short name, without self-edges.
    nb::list edges;
    for (const Chosen& c : chosen) {
        for (const nb::object& callee : c.cand->children) {
            require_str("a callee name", callee);
            const std::string full = utf8(callee);
            const std::size_t dot = full.rfind('.');
            const std::string shortname = dot == std::string::npos ? full : full.substr(dot + 1);
            if (shortname == c.key || !node_names.count(shortname)) continue;
            edges.append(nb::make_tuple(c.name, to_str(shortname)));
        }
    }
    G.attr("add_edges_from")(edges);
    return G;
}

nb::object get_errors(nb::handle graph_data, nb::handle module) {
    require_mapping("graph_data", graph_data);
    require_str("module", module);
    nb::object missing = nb::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!missing.is_valid()) throw nb::python_error();
    nb::object modules = get_or(graph_data, nb::str("modules"), missing);
    if (modules.is(missing)) return nb::list();
    PyObject* rec = PyObject_GetItem(modules.ptr(), module.ptr());
    if (!rec) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
        return nb::list();
    }
    nb::object record = nb::steal(rec);
    nb::object errors = get_or(record, nb::str("errors"), missing);
    if (errors.is(missing)) return nb::list();
    if (!PyList_Check(errors.ptr())) wrong_type(("the errors of module " + utf8(module)).c_str(), "a list", errors);
    return errors;
}

void bind_graph(nb::module_& m) {
    m.def("create_weftnet", &create_weftnet, "graph_data"_a.none() = nb::none(), nb::kw_only(),
          "lib_paths"_a.none() = nb::none(),
          nb::sig("def create_weftnet(graph_data: dict | None = None, *, lib_paths: dict[str, Path] | None = None) "
                  "-> nx.DiGraph"),
          "Create a call graph from Velloc components and functions.\n\n"
          "Nodes are the cell factories of the libraries in lib_paths (default: default_lib_paths()), "
          "keyed by short name; where libraries define the same name, the earlier library wins and the "
          "others are listed in other_sources. Edges run from a factory to the factories it calls, "
          "fetches or names in a resolved parameter default. graph_data defaults to "
          "corvane.weftnet.generate_call_graph of the library paths.");
    m.def("_is_valid_node", &is_valid_node, "func_info"_a.none(),
          nb::sig("def _is_valid_node(func_info: dict) -> bool"),
          "Whether a function record carries one of the allowed cell decorators.");
    m.def("_get_errors", &get_errors, "graph_data"_a.none(), "module"_a.none(),
          nb::sig("def _get_errors(graph_data: dict, module: str) -> list[str]"),
          "The errors recorded for one module in the graph data (empty when it has none).");
}

}  // namespace weftnet
