// A private binding of the core's JSON writer, for tests that hold it
// against orjson: _json_text(value) for a text, an integer or a float; None
// where the writer refuses the value (see core/emit/json.hpp).
#include "lumino/core/emit/json.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/json_py.hpp"

namespace lumino {

void bind_json(nb::module_& m) {
    m.def(
        "_json_text",
        [](nb::handle value) -> nb::object {
            std::string out;
            if (PyFloat_CheckExact(value.ptr())) {
                const double v = PyFloat_AS_DOUBLE(value.ptr());
                if (!json::positional(v)) return nb::none();
                json::append_double(out, v);
            } else if (PyLong_CheckExact(value.ptr())) {
                json::append_int(out, nb::cast<int64_t>(value));
            } else if (PyUnicode_CheckExact(value.ptr())) {
                const std::string text = to_utf8(value);
                if (!json::valid_utf8(text)) return nb::none();
                json::append_string(out, text);
            } else {
                wrong_type("value", "a str, int or float", value);
            }
            return from_utf8(out);
        },
        nb::arg("value").none(), nb::sig("def _json_text(value: str | int | float) -> str | None"),
        "The core JSON writer's text of a value; None where it refuses the value.");
}

}  // namespace lumino
