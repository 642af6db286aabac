// Per-factory records of a call graph: every factory after the factories it
// calls, optionally only those defined (or overridden) in given source files.
#include "weftnet/records.hpp"

#include "weftnet/pyutil.hpp"

namespace weftnet {

using namespace nb::literals;

nb::dict get_static_records(nb::handle G_in, nb::handle paths) {
    // A single text is not a collection of paths (it would be taken
    // character by character).
    if (PyUnicode_Check(paths.ptr()) || PyBytes_Check(paths.ptr())) wrong_type("paths", "an iterable of paths", paths);

    if (!G_in.is_none()) require_graph("G", G_in);
    nb::object G = nb::borrow(G_in);
    if (G.is_none()) G = corvane::module_attr("create_weftnet")();

    // Taken as a list first, so that an empty iterator counts as no paths.
    nb::list selected;
    corvane::for_each(paths, [&](nb::object p) { selected.append(resolved(p)); });
    const bool filter = nb::len(selected) > 0;

    nb::object nx = corvane::module_attr("nx");
    nb::object order = nx.attr("topological_sort")(nx.attr("reverse_view")(G));
    nb::object nodes = G.attr("nodes");
    nb::object from_weftnet = corvane::module_attr("m").attr("FactoryRecord").attr("from_weftnet");

    Resolver resolve;
    corvane::GcPause gc_pause;  // the records are all reachable from the result
    nb::dict records;
    corvane::for_each(order, [&](nb::object name) {
        nb::object attrs = get_item(nodes, name);
        nb::list relevant;
        relevant.append(resolve(get_item(attrs, "source")));
        corvane::for_each(get_item(attrs, "other_sources"), [&](nb::object s) { relevant.append(resolve(s)); });
        if (filter) {
            bool hit = false;
            for (nb::handle p : selected)
                if (contains(relevant, p)) {
                    hit = true;
                    break;
                }
            if (!hit) return;
        }
        records[name] = from_weftnet(G, name);
    });
    return records;
}

void bind_records(nb::module_& m) {
    m.def("get_static_records", &get_static_records, "G"_a.none() = nb::none(), nb::kw_only(),
          "paths"_a.none() = nb::tuple(),
          nb::sig("def get_static_records(G: nx.DiGraph | None = None, *, paths: Iterable[Path] = ()) "
                  "-> dict[str, m.FactoryRecord]"),
          "Get static records from a call graph.\n\n"
          "One FactoryRecord per factory, every factory after the factories it calls. G defaults to "
          "create_weftnet(). With paths, only factories whose source or one of whose other_sources "
          "is one of those files (compared resolved).");
}

}  // namespace weftnet
