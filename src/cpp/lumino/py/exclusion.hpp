// Layer exclusion by name patterns (exclude_layers), with fnmatch's rules.
#pragma once

#include <deque>
#include <optional>
#include <string>

#include "common/py.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/core/model/wildcard.hpp"

namespace lumino {

namespace exclusion_detail {

inline std::u32string code_points(nb::handle text) {
    PyObject* s = text.ptr();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    std::u32string out(size_t(n), U'\0');
    for (Py_ssize_t k = 0; k < n; ++k) out[size_t(k)] = PyUnicode_READ(kind, data, k);
    return out;
}

inline bool truthy(nb::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

}  // namespace exclusion_detail

// Layer exclusion: the lower-cased layer name against each lower-cased
// pattern of exclude_layers, with fnmatch's rules.  Patterns are compiled on
// first use; one that is not a text, or that fnmatch itself would reject, is
// handed to the module's `fnmatch`, so the outcome (or error) is fnmatch's.
class Exclusion {
  public:
    explicit Exclusion(nb::handle patterns) : patterns_(nb::borrow(patterns)) {}

    bool operator()(nb::handle layer_name) {
        if (patterns_.is_none()) return false;
        if (!listed_) {
            list_ = snapshot(patterns_);
            listed_ = true;
        }
        nb::object name = layer_name.attr("lower")();
        std::optional<std::u32string> name_points;
        for (size_t k = 0; k < list_.size(); ++k) {
            const Compiled& c = compiled(k);
            bool hit;
            if (c.pattern && PyUnicode_Check(name.ptr())) {
                if (!name_points) name_points = exclusion_detail::code_points(name);
                hit = c.pattern->matches(*name_points);
            } else {
                hit = exclusion_detail::truthy(corvane::module_attr("fnmatch")(name, c.lowered));
            }
            if (hit) return true;
        }
        return false;
    }

  private:
    struct Compiled {
        nb::object lowered;
        std::optional<wildcard::Pattern> pattern;
    };

    const Compiled& compiled(size_t k) {
        while (compiled_.size() <= k) {
            nb::object lowered = list_[compiled_.size()].attr("lower")();
            std::optional<wildcard::Pattern> p;
            if (PyUnicode_Check(lowered.ptr())) {
                p.emplace(exclusion_detail::code_points(lowered));
                if (!p->valid()) p.reset();
            }
            compiled_.push_back({lowered, std::move(p)});
        }
        return compiled_[k];
    }

    nb::object patterns_;
    nb::list list_;
    bool listed_ = false;
    std::deque<Compiled> compiled_;
};

}  // namespace lumino
