// Library discovery: package roots and dotted names of paths, the modules of
// a PDK's factories, and the memoised library path map of the project.
#include "weftnet/discovery.hpp"

#include <string>
#include <vector>

#include "weftnet/names.hpp"
#include "weftnet/pyutil.hpp"

namespace weftnet {

using namespace nb::literals;

namespace {

nb::object join_path(nb::handle dir, nb::handle name) { return dir.attr("__truediv__")(name); }

bool holds_init(nb::handle dir) { return truthy(join_path(dir, nb::str("__init__.py")).attr("is_file")()); }

}  // namespace

nb::object find_lib_root(nb::handle lib_path) {
    require_path("lib_path", lib_path);
    nb::object path = make_path(lib_path);
    nb::object root = truthy(path.attr("is_dir")()) ? path : path.attr("parent");
    if (!holds_init(root)) return root;
    // A directory keeps its whole name: a package folder "a.b" is not cut at its dot.
    nb::object name = root.attr("name");
    while (holds_init(root)) {
        name = root.attr("name");
        nb::object parent = root.attr("parent");
        if (parent.equal(root)) break;  // a filesystem root (or ".") has no parent to climb to
        root = parent;
    }
    return join_path(root, name);
}

nb::str find_lib_name(nb::handle lib_path) {
    require_path("lib_path", lib_path);
    nb::object root = find_lib_root(lib_path);
    nb::list names;
    names.append(root.attr("name"));
    nb::object path = make_path(lib_path);
    // A source file loses its suffix; a directory keeps its whole name.
    nb::object leaf = truthy(path.attr("is_dir")()) ? path.attr("name") : path.attr("stem");
    nb::object module_path = join_path(path.attr("resolve")().attr("parent"), leaf);
    corvane::for_each(module_path.attr("relative_to")(root).attr("parts"), [&](nb::object part) { names.append(part); });
    return nb::borrow<nb::str>(nb::str(".").attr("join")(names));
}

nb::list py_extract_module_names(nb::handle pdk) {
    nb::object cells = pdk.attr("cells");
    nb::str empty("");
    std::vector<std::string> modules;
    corvane::for_each(cells.attr("values")(), [&](nb::object factory) {
        nb::object module = getattr_or(factory, "__module__", empty);
        if (!truthy(module)) return;
        require_str("the __module__ of a cell factory", module);
        modules.push_back(utf8(module));
    });
    nb::list result;
    for (const std::string& name : extract_module_names(modules)) result.append(to_str(name));
    return result;
}

bool py_is_submodule_of(nb::handle module_name, nb::handle parent_name) {
    require_str("module_name", module_name);
    require_str("parent_name", parent_name);
    return is_submodule_of(utf8(module_name), utf8(parent_name));
}

nb::dict compute_lib_paths() {
    nb::dict lib_paths;

    nb::object pics_dir = resolved(corvane::module_attr("get_pics_dir")());
    nb::str pics_mod_name = find_lib_name(pics_dir);
    const std::string pics_mod = utf8(pics_mod_name);
    log_debug("pics_mod_name: " + pics_mod);

    nb::object pdk_name = corvane::module_attr("get_pdk_name")();
    require_str("the PDK name", pdk_name);
    const std::string pdk = utf8(pdk_name);

    nb::list candidates = py_extract_module_names(corvane::module_attr("get_base_pdk")());

    // The PDK module first; a candidate goes when the PDK module is that
    // candidate or lies below it (x.y stays for the PDK x.yz).
    nb::list modules;
    modules.append(pdk_name);
    for (nb::handle c : candidates)
        if (!is_submodule_of(pdk, utf8(c))) modules.append(c);
    log_debug("extra_modules: " + utf8(text_of(modules)));

    nb::object import_module = corvane::module_attr("importlib").attr("import_module");
    nb::object none = nb::none();
    for (nb::handle entry : modules) {
        const std::string full = utf8(entry);
        if (is_submodule_of(full, pics_mod)) continue;
        nb::str name = to_str(strip_cells_suffix(full));
        nb::object module;
        try {
            module = import_module(name);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            log_warning("Could not import module " + utf8(name) + ". Skipping.");
            continue;
        }
        nb::object file = getattr_or(module, "__file__", none);
        nb::object mod_name = getattr_or(module, "__name__", none);
        if (file.is_none() || mod_name.is_none()) continue;
        nb::object path = resolved(file);
        if (path.attr("name").equal(nb::str("__init__.py"))) path = path.attr("parent");
        lib_paths[mod_name] = path;
    }

    if (truthy(corvane::module_attr("is_a_pdk")())) {
        nb::dict first;
        first[pics_mod_name] = pics_dir;
        for (auto [k, v] : lib_paths) first[k] = v;
        lib_paths = first;
    } else {
        lib_paths[pics_mod_name] = pics_dir;
    }

    nb::object vl = corvane::module_attr("vl");
    nb::object vl_file = getattr_or(vl, "__file__", none);
    nb::object vl_name = getattr_or(vl, "__name__", none);
    if (!vl_file.is_none() && !vl_name.is_none()) lib_paths[vl_name] = resolved(vl_file).attr("parent");

    log_debug("lib_paths: " + utf8(text_of(lib_paths)));
    return lib_paths;
}

nb::object LibPathsMemo::call() {
    if (memo_.is_valid()) return memo_;
    nb::object result = compute_lib_paths();
    memo_ = result;
    return result;
}

namespace {

constexpr const char* kLibPathsDoc =
    "Find the component libraries of the current project, as {module name: path} in priority "
    "order: the modules of the active PDK's cell factories, the project library and velloc. "
    "Memoised for the process; default_lib_paths.cache_clear() empties the memo.";

// Stub text of the memoised function: the stub generator writes it verbatim,
// with the imports that the module's signatures use.
constexpr const char* kLibPathsStub =
        "import functools\n"
        "from collections.abc import Iterable\n"
        "from pathlib import Path\n"
        "\n"
        "@functools.cache\n"
        "def default_lib_paths() -> dict[str, Path]:\n"
        "    \"\"\"\n"
        "    Find the component libraries of the current project, as {module name: path} in\n"
        "    priority order: the modules of the active PDK's cell factories, the project library\n"
        "    and velloc. Memoised for the process; default_lib_paths.cache_clear() empties the memo.\n"
        "    \"\"\"";

}  // namespace

void bind_discovery(nb::module_& m) {
    // The instance is the function: its class docstring is the function's.
    nb::class_<LibPathsMemo>(m, "_LibPathsMemo", kLibPathsDoc)
        .def("__call__", &LibPathsMemo::call, nb::sig("def __call__(self) -> dict[str, Path]"), kLibPathsDoc)
        .def("cache_clear", &LibPathsMemo::cache_clear, "Empty the memo: the next call computes the map again.")
        .def_prop_ro("__nb_signature__", [](LibPathsMemo&) { return kLibPathsStub; })
        .def("__repr__", [](LibPathsMemo&) { return "<memoised function default_lib_paths>"; });
    m.attr("default_lib_paths") = nb::cast(LibPathsMemo(), nb::rv_policy::move);

    m.def("_find_lib_root", &find_lib_root, "lib_path"_a.none(),
          nb::sig("def _find_lib_root(lib_path: Path) -> Path"),
          "The top-most directory of the unbroken chain of package directories that contains "
          "lib_path; the directory of lib_path itself when that is no package.");
    m.def("_find_lib_name", &find_lib_name, "lib_path"_a.none(),
          nb::sig("def _find_lib_name(lib_path: Path) -> str"),
          "The dotted module name of lib_path (a source file or a directory), from its top-most "
          "package down.");
    m.def("_extract_module_names", &py_extract_module_names, "pdk"_a.none(),
          nb::sig("def _extract_module_names(pdk: vl.Pdk) -> list[str]"),
          "The modules holding the PDK's cell factories: per top-level package, the deepest module "
          "that all its factories share along a chain of single submodules.");
    m.def("_is_submodule_of", &py_is_submodule_of, "module_name"_a.none(), "parent_name"_a.none(),
          nb::sig("def _is_submodule_of(module_name: str, parent_name: str) -> bool"),
          "Whether module_name is parent_name or lies below it ('a.b' under 'a'; 'ab' is not).");
}

}  // namespace weftnet
