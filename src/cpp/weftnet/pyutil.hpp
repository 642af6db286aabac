// Python-side helpers of the call-graph module: texts, maps, type checks,
// logging through the host logger and path operations through pathlib.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "common/py.hpp"

namespace weftnet {

// UTF-8 form of a str; lone surrogates pass through, so any text converts.
std::string utf8(nb::handle s);
nb::str to_str(std::string_view s);
// str(obj).
nb::str text_of(nb::handle obj);

using corvane::type_name_of;

// A dict or any collections.abc.Mapping.
bool is_mapping(nb::handle h);

using corvane::wrong_type;
void require_str(const char* what, nb::handle h);
void require_mapping(const char* what, nb::handle h);
void require_mapping_or_none(const char* what, nb::handle h);
// A collection of items that is not itself a text (str, bytes) or a map.
bool is_collection(nb::handle h);
// A filesystem path: a str or an os.PathLike.
bool is_path(nb::handle h);
void require_path(const char* what, nb::handle h);
// A networkx graph.
void require_graph(const char* what, nb::handle h);

// getattr(obj, name, fallback): only a missing attribute gives the fallback.
nb::object getattr_or(nb::handle obj, const char* name, nb::handle fallback);

// mapping[key], raising as Python does.
nb::object get_item(nb::handle mapping, nb::handle key);
nb::object get_item(nb::handle mapping, const char* key);
// mapping.get(key, fallback); fallback is returned when the key is missing.
nb::object get_or(nb::handle mapping, nb::handle key, nb::handle fallback);
// key in container.
bool contains(nb::handle container, nb::handle key);
// len(obj) == 0 for None or an empty container; truth value otherwise.
bool truthy(nb::handle h);
// Python's a != b.
bool not_equal(nb::handle a, nb::handle b);

// The host logger, fetched anew for each message through the module's `log`.
void log_debug(const std::string& text);
void log_warning(const std::string& text);

// pathlib.Path(p) through the module's `Path`.
nb::object make_path(nb::handle p);
// Path(p).resolve(): absolute, symbolic links followed.
nb::object resolved(nb::handle p);

// resolved() for many paths within one call: a text met again is resolved
// once (graphs hold many factories per source file).
class Resolver {
  public:
    nb::object operator()(nb::handle p);

  private:
    std::unordered_map<std::string, nb::object> done_;
};

}  // namespace weftnet
