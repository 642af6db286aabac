// The choice between the core's simplifier and shapely's, per batch.
#include "lumino/py/simplify/simplifier.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "lumino/core/simplify/simplify.hpp"
#include "lumino/py/simplify/shapely_simplify.hpp"
#include "lumino/py/simplify/simplify_py.hpp"

namespace lumino {

core::Simplifier outline_simplifier() { return outline_simplifier(installed_geos_rules()); }

core::Simplifier outline_simplifier(std::optional<simplify::Rules> rules) {
    // shapely's simplifier, made on first need (it imports shapely).
    auto shapely = std::make_shared<core::Simplifier>();
    return [rules, shapely](std::vector<core::Outline>& outlines, double tolerance) {
        auto by_shapely = [&](std::vector<core::Outline>& batch) {
            if (!*shapely) *shapely = shapely_simplifier();
            (*shapely)(batch, tolerance);
        };
        if (!rules || !std::isfinite(tolerance)) {
            by_shapely(outlines);
            return;
        }
        // The outlines belong to the caller's parse, not to Python: nothing
        // here can change them while the lock is released.
        std::vector<size_t> left;
        {
            nb::gil_scoped_release unlocked;
            left = simplify::simplify_each(outlines, tolerance, *rules);
        }
        if (left.empty()) return;
        std::vector<core::Outline> batch;
        batch.reserve(left.size());
        for (size_t k : left) batch.push_back(std::move(outlines[k]));
        by_shapely(batch);
        for (size_t j = 0; j < left.size(); ++j) outlines[left[j]] = std::move(batch[j]);
    };
}

}  // namespace lumino
