// Drawing the call graph with a graphviz layout (through pydot), networkx
// and matplotlib: one colour per library from the digit-sum hash, labels and
// a legend.  Also the main program that plots a project folder's graph.
#include "weftnet/plot.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "weftnet/names.hpp"
#include "weftnet/pyutil.hpp"

namespace weftnet {

using namespace nb::literals;

nb::object int_hash(nb::handle s) {
    require_str("s", s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n < 2) {
        // Read as a number, with int()'s own error for a text that is none.
        PyObject* value = PyLong_FromUnicodeObject(s.ptr(), 10);
        if (!value) throw nb::python_error();
        return nb::steal(value);
    }
    const int kind = PyUnicode_KIND(s.ptr());
    const void* data = PyUnicode_DATA(s.ptr());
    std::vector<std::uint32_t> code_points(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) code_points[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    // Decimal digits of any script count as their value, as int() reads them.
    const int h = digit_sum_hash(code_points, [](std::uint32_t cp) { return Py_UNICODE_TODECIMAL(cp); });
    return nb::int_(h);
}

nb::dict color_map(nb::handle G) {
    require_graph("G", G);
    nb::object nodes = G.attr("nodes");
    nb::dict seen;
    std::vector<nb::object> libraries;
    std::vector<int> hashed;
    nb::str package("package");
    corvane::for_each(nodes, [&](nb::object node) {
        nb::object lib = get_item(get_item(nodes, node), package);
        if (contains(seen, lib)) return;
        seen[lib] = nb::none();
        libraries.push_back(lib);
        hashed.push_back(nb::cast<int>(int_hash(lib)) % 10);
    });
    const std::vector<int> colours = assign_colours(hashed);
    nb::dict result;
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        std::string ref = "C";
        ref += std::to_string(colours[i]);
        result[libraries[i]] = ref;
    }
    return result;
}

void plot_weftnet(nb::handle G, nb::handle prog, nb::handle show) {
    require_graph("G", G);
    require_str("prog", prog);
    nb::object nx = corvane::module_attr("nx");
    nb::object plt = corvane::module_attr("plt");

    nb::dict colours = color_map(G);
    nb::object nodes = G.attr("nodes");
    nb::list node_colours;
    nb::str package("package");
    corvane::for_each(nodes, [&](nb::object node) {
        node_colours.append(get_item(colours, get_item(get_item(nodes, node), package)));
    });

    nb::object pos = nx.attr("nx_pydot").attr("graphviz_layout")(G, "prog"_a = prog);
    nb::object labels = nx.attr("get_node_attributes")(G, "short_name");
    nx.attr("draw")(G, pos, "with_labels"_a = false, "node_size"_a = 100, "node_color"_a = node_colours,
                    "alpha"_a = 0.3);
    nx.attr("draw_networkx_labels")(G, pos, labels, "font_size"_a = 5);
    for (auto [library, colour] : colours)
        plt.attr("scatter")(nb::list(), nb::list(), "color"_a = colour, "label"_a = library, "alpha"_a = 0.3);
    plt.attr("legend")();
    if (truthy(show)) plt.attr("show")();
}

void main_program(nb::handle folder_in) {
    nb::object folder = folder_in.is_none() ? nb::object(nb::str("~/Projects/cvn-ostrakit")) : nb::borrow(folder_in);
    nb::object path = make_path(folder).attr("expanduser")();
    if (!truthy(path.attr("is_dir")())) {
        corvane::raise(PyExc_FileNotFoundError, "No such project folder: " + utf8(text_of(path)));
    }
    nb::module_::import_("os").attr("chdir")(path);
    nb::object G = corvane::module_attr("create_weftnet")();
    corvane::module_attr("plot_weftnet")(G);
}

void bind_plot(nb::module_& m) {
    m.def("plot_weftnet", &plot_weftnet, "G"_a.none(), nb::kw_only(), "prog"_a.none() = "neato",
          "show"_a.none() = true,
          nb::sig("def plot_weftnet(G: nx.DiGraph, *, prog: str = 'neato', show: bool = True) -> None"),
          "Plot a call graph.\n\n"
          "prog is the graphviz layout program ('neato', 'dot', ...). Nodes are coloured by library, "
          "with a legend entry per library. With show=False the figure is left on pyplot's current "
          "figure for the caller (to save, for example).");
    m.def("_color_map", &color_map, "G"_a.none(), nb::sig("def _color_map(G: nx.DiGraph) -> dict[str, str]"),
          "A colour reference ('C0'...'C9') per library, in the order the libraries are met among the "
          "nodes; with at most nine libraries no two share a colour.");
    m.def("_int_hash", &int_hash, "s"_a.none(), nb::sig("def _int_hash(s: str) -> int"),
          "Digit-sum hash of a text: characters count as their digit value or code point, and the "
          "sum's digits are summed until one digit remains.");
    m.def("_main", &main_program, "folder"_a.none() = nb::none(),
          nb::sig("def _main(folder: str | os.PathLike[str] | None = None) -> None"),
          "Plot the call graph of the project in folder (default ~/Projects/cvn-ostrakit): change "
          "into it, create_weftnet(), plot_weftnet(G). A folder that does not exist is a "
          "FileNotFoundError naming it.");
}

}  // namespace weftnet
