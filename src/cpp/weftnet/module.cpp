// corvane.core.weftnet: wires the names of the component call graph to
// Python, in the order in which the module defines them.
#include <tuple>
#include <utility>

#include "common/py.hpp"
#include "weftnet/discovery.hpp"
#include "weftnet/graph.hpp"
#include "weftnet/plot.hpp"
#include "weftnet/records.hpp"

NB_MODULE(weftnet, m) {
    corvane::ModuleHandle::begin_init("corvane.core.weftnet");
    m.doc() = "Create a call graph from Velloc components and functions.";

    m.attr("importlib") = nb::module_::import_("importlib");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    nb::object lazy = nb::module_::import_("corvane.core.lazy").attr("lazy_import");
    m.attr("lazy_import") = lazy;

    // Outside names, bound lazily and read from the module at call time.
    const std::pair<const char*, const char*> modules[] = {
        {"nx", "networkx"},          {"plt", "matplotlib.pyplot"}, {"vl", "velloc"},
        {"m", "corvane.models"},     {"database", "corvane.core.database"},
    };
    for (auto& [alias, path] : modules) m.attr(alias) = lazy(path);
    const std::tuple<const char*, const char*, const char*> names[] = {
        {"get_pics_dir", "corvane.settings", "get_pics_dir"},
        {"get_pdk_name", "corvane.settings", "get_pdk_name"},
        {"is_a_pdk", "corvane.settings", "is_a_pdk"},
        {"ignored_paths", "corvane.settings", "ignored_paths"},
        {"get_base_pdk", "corvane.core.pdk", "get_base_pdk"},
        {"log", "corvane.logger", "get_logger"},
        {"generate_call_graph", "corvane.weftnet", "generate_call_graph"},
        {"lambda_callees", "corvane.weftnet", "lambda_callees"},
    };
    for (auto& [alias, path, attr] : names) m.attr(alias) = lazy(path, attr);

    weftnet::bind_discovery(m);
    weftnet::bind_graph(m);
    weftnet::bind_records(m);
    weftnet::bind_plot(m);

    corvane::ModuleHandle::finish_init(m);
}
